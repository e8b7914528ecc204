// The memory figures of the player cycle and the overlay lines that show them.
#include "MemoryWatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{
bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
} // namespace

TEST(MemoryWatchTest, ChangesCountOnlyAfterTheSettlingTime)
{
    MemoryWatch watch;
    watch.Sample(1000, 0);
    watch.Sample(5000, 2000);
    watch.Sample(7000, 5000); // exactly at the limit: still settling
    EXPECT_FALSE(watch.ChangesCounted());
    EXPECT_EQ(0, watch.ChangeCount());
    EXPECT_EQ(7000, watch.Before());
    EXPECT_EQ(7000, watch.BeforeMax());

    watch.Sample(7500, 5001);
    EXPECT_TRUE(watch.ChangesCounted());
    EXPECT_EQ(1, watch.ChangeCount());
    EXPECT_EQ(500, watch.CumulativeChange()); // from the previous sample, not the first
}

TEST(MemoryWatchTest, TracksTheLargestChangeBySizeAndHowOftenItWasSeen)
{
    MemoryWatch watch;
    watch.Sample(10000, 6000);
    watch.Sample(10300, 7000); // +300
    watch.Sample(10000, 8000); // -300: the same size again
    watch.Sample(10000, 9000); // no change is not counted
    watch.Sample(10100, 10000); // +100
    EXPECT_EQ(3, watch.ChangeCount());
    EXPECT_EQ(100, watch.CumulativeChange());
    EXPECT_EQ(300, watch.MaxChange());
    EXPECT_EQ(2, watch.MaxChangeCount());
    EXPECT_EQ(10300, watch.BeforeMax());
    EXPECT_EQ(10100, watch.Before());

    watch.Sample(9000, 11000); // -1100: a new largest change restarts its count
    EXPECT_EQ(1100, watch.MaxChange());
    EXPECT_EQ(1, watch.MaxChangeCount());
    EXPECT_EQ(-1000, watch.CumulativeChange());
}

TEST(OverlayLinesTest, ShowsTheFiguresInTheirFixedWording)
{
    OverlayFigures figures;
    figures.lastFrameSeconds = 0.004;
    figures.presentRefreshCount = 12;
    figures.syncRefreshCount = 34;
    figures.playerCount = 7;
    figures.memoryCurrent = 123456;
    MemoryWatch watch;
    watch.Sample(100000, 0);

    const std::vector<std::string> lines = OverlayLines(figures, watch);
    const std::vector<std::string> expected = {"Render Thread:",         "FPS: 250.00",
                                               "Present Refresh Count: 12", "Sync Refresh Count: 34",
                                               "Player Count: 7",        "100000 memory before",
                                               "100000 memory before max", "123456 memory current"};
    EXPECT_EQ(expected, lines);
}

TEST(OverlayLinesTest, MemoryChangeLinesAppearOnceChangesAreCounted)
{
    OverlayFigures figures;
    MemoryWatch watch;
    EXPECT_FALSE(Contains(OverlayLines(figures, watch), "0 memory before max")); // only when non-zero
    EXPECT_TRUE(Contains(OverlayLines(figures, watch), "FPS: 0.00")); // no frame yet: no division by zero

    watch.Sample(2000, 6000);
    watch.Sample(2500, 7000);
    const std::vector<std::string> lines = OverlayLines(figures, watch);
    EXPECT_TRUE(Contains(lines, "1 memory change count"));
    EXPECT_TRUE(Contains(lines, "500 memory cumultative change"));
    EXPECT_TRUE(Contains(lines, "1 memory max change count"));
    EXPECT_TRUE(Contains(lines, "500 memory max change"));
    EXPECT_EQ("500 memory max change", lines.back());
}
