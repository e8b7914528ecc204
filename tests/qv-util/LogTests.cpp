#include "Log.h"

#include "TestProcess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace
{
const char* const kTimestamp = R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d\.\d{1,3})";

std::vector<std::string> ReadLines(const std::wstring& file)
{
    std::ifstream in(file.c_str());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
} // namespace

TEST(Log, TimestampIsDayMonthYearTwelveHourClockAndTickFraction)
{
    const std::string stamp = Timestamp();
    EXPECT_TRUE(std::regex_match(stamp, std::regex(kTimestamp))) << stamp;
    const int hour = std::stoi(stamp.substr(11, 2));
    EXPECT_GE(hour, 1);
    EXPECT_LE(hour, 12);
    // No leading zeros in the fraction.
    const std::string fraction = stamp.substr(stamp.find('.') + 1);
    EXPECT_TRUE(fraction == "0" || fraction[0] != '0') << stamp;
}

TEST(Log, ProgramLogsToItsExecutableNamePlusLogWithAStartHeader)
{
    EXPECT_EQ(L"qv-util-tests.exe.log", LogFileName());
    Log("LogTest", "a line");
    const auto lines = ReadLines(LogFileName());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kTimestamp) + " started"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(std::string(kTimestamp) + " setting period"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex(std::string(kTimestamp) + R"( \[LogTest\] a line)")))
        << lines.back();
}

TEST(Log, StreamFormAndMarkedTagsAreWrittenAsGiven)
{
    std::ostringstream text;
    text << "hr=0x" << std::hex << 0x80004005u;
    Log("wWinMain [ERROR]", text);
    const auto lines = ReadLines(LogFileName());
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::string::npos, lines.back().find(" [wWinMain [ERROR]] hr=0x80004005")) << lines.back();
}

TEST(Log, ConcurrentWritersProduceWholeLines)
{
    const int kPerThread = 200;
    auto writer = [](char letter) {
        const std::string text(120, letter);
        for (int i = 0; i < kPerThread; ++i)
            Log("race", text);
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();

    int whole = 0;
    for (const std::string& line : ReadLines(LogFileName()))
    {
        if (line.find("[race]") == std::string::npos)
            continue;
        EXPECT_TRUE(std::regex_match(line, std::regex(std::string(kTimestamp) + R"( \[race\] (a{120}|b{120}))")))
            << line;
        ++whole;
    }
    EXPECT_EQ(2 * kPerThread, whole);
}

TEST(Log, EachStartOfAProgramTruncatesItsLog)
{
    const std::wstring file = BinDirectory() + L"\\qv-test-child.exe.log";
    ASSERT_EQ(0u, RunProgram(L"qv-test-child.exe", L"log 5"));
    EXPECT_EQ(2u + 5u, ReadLines(file).size());
    ASSERT_EQ(0u, RunProgram(L"qv-test-child.exe", L"log 1"));
    const auto lines = ReadLines(file);
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::string::npos, lines[2].find("[child] line 0"));
}

TEST(Log, ADeletedLogIsCreatedAgainByTheNextLine)
{
    ASSERT_TRUE(DeleteFileW(LogFileName().c_str()));
    Log("again", "x");
    const auto lines = ReadLines(LogFileName());
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("[again] x"));
}
