// The server's player without a filter graph: states, wrong-state answers,
// stored values and the notification path.
#include "DShowPlayer.h"
#include "TestProcess.h"
#include "VideoPlayerMsg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

namespace
{
struct RecordingNotifyHandler : IVideoNotifyHandler
{
    struct Event
    {
        uint32_t code;
        int32_t nativeCode;
        int64_t param;
    };
    std::vector<Event> events;
    std::vector<std::pair<uint32_t, std::string>> errors;

    void onEvent(VideoPlayer*, uint32_t code, int32_t nativeCode, int64_t param, const wchar_t*) override
    {
        events.push_back({code, nativeCode, param});
    }
    void onError(VideoPlayer*, uint32_t code, const std::string& description) override
    {
        errors.emplace_back(code, description);
    }
};

struct PlayerTest : ::testing::Test
{
    DShowPlayer player;
    RecordingNotifyHandler handler;
    void SetUp() override { player.SetNotifyHandler(&handler); }
};

std::string Describe(VideoPlayer& player)
{
    std::ostringstream out;
    describeLastError(player, out);
    return out.str();
}
} // namespace

TEST_F(PlayerTest, InitializeOnceCreatesTheMessageOnlyHelperWindow)
{
    EXPECT_EQ(PLAYER_STATE_NONE, player.GetState());
    ASSERT_EQ(S_OK, player.Initialize(nullptr, 0));
    EXPECT_EQ(PLAYER_STATE_CLOSED, player.GetState());
    HWND helper = player.GetHelperWindow();
    ASSERT_TRUE(IsWindow(helper));
    EXPECT_EQ(helper, FindWindowExW(HWND_MESSAGE, nullptr, L"QV_DSHOW_PLAYER_MSG_HELPER_WND", nullptr));
    EXPECT_EQ(0, SendMessageW(helper, kGraphEventMessage, 0, 0));

    EXPECT_EQ(static_cast<HRESULT>(0x8007139F), player.Initialize(nullptr, 0));
    EXPECT_TRUE(handler.errors.empty()) << "a repeated Initialize is refused without a report";
}

TEST_F(PlayerTest, CommandsInTheWrongStateAnswerAndReport)
{
    ASSERT_EQ(S_OK, player.Initialize(nullptr, 0));
    EXPECT_EQ(static_cast<HRESULT>(0x80040227), player.Play());
    EXPECT_EQ(static_cast<HRESULT>(0x80040227), player.Pause());
    EXPECT_EQ(static_cast<HRESULT>(0x80040227), player.Resume());
    EXPECT_EQ(static_cast<HRESULT>(0x80040227), player.Stop());
    EXPECT_EQ(E_UNEXPECTED, player.SetPosition(1.0));
    ASSERT_EQ(4u, handler.errors.size()) << "Stop refuses without a report";
    EXPECT_EQ(VE_PLAY_ERROR_WRONG_STATE, handler.errors[0].first);
    EXPECT_EQ(" VE_PLAY_ERROR_WRONG_STATE 'Play: wrong state' nt 0x0 0x4", handler.errors[0].second);
    EXPECT_EQ(" VE_PLAY_ERROR_WRONG_STATE 'Pause: wrong state' nt 0x0 0x4", handler.errors[1].second);
    EXPECT_EQ(" VE_PLAY_ERROR_WRONG_STATE 'Resume: wrong state' nt 0x0 0x4", handler.errors[2].second);
    EXPECT_EQ(" VE_PLAY_ERROR_WRONG_STATE 'SetPosition: wrong state' nt 0x0 0x4", handler.errors[3].second);
    EXPECT_EQ(PLAYER_STATE_CLOSED, player.GetState());
}

TEST_F(PlayerTest, OpenBeforeInitializeIsAnInvalidState)
{
    EXPECT_EQ(static_cast<HRESULT>(0x8007139F), player.Open(L"x.mp4", 1, 0.0f, 0, FloatToBits(1.0f)));
    ASSERT_EQ(1u, handler.errors.size());
    EXPECT_EQ(" VE_PLAY_ERROR 'Open: invalid state' nt 0x0 0x0", handler.errors[0].second);
}

TEST_F(PlayerTest, OpenWithoutComFailsToMakeTheGraphButKeepsLoopStartAndVolume)
{
    // This thread never initialised COM, so no filter graph can be created.
    ASSERT_EQ(S_OK, player.Initialize(nullptr, 0));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(CO_E_NOTINITIALIZED, player.Open(L"x.mp4", 0, nan, 0, FloatToBits(0.5f)));
    EXPECT_EQ(PLAYER_STATE_CLOSED, player.GetState());
    EXPECT_EQ(" VE_PLAY_ERROR 'initialization failed' nt 0x0 0xffffffff800401f0", Describe(player));
    EXPECT_EQ(0, player.GetLoopEnabled());
    EXPECT_EQ(0.0f, player.GetStartPosition());
    EXPECT_EQ(0.5f, player.GetVolume());
    EXPECT_EQ(0, player.GetMute());

    DShowPlayer second;
    ASSERT_EQ(S_OK, second.Initialize(nullptr, 0));
    second.Open(L"x.mp4", 1, -2.0f, 0, FloatToBits(0.0f));
    EXPECT_EQ(0.0f, second.GetStartPosition());
    EXPECT_EQ(1, second.GetMute()) << "a volume of 0 mutes";
    EXPECT_EQ(1, second.GetLoopEnabled());
}

TEST_F(PlayerTest, QueriesWithoutAGraphReadZero)
{
    EXPECT_EQ(1, player.GetLoopEnabled());
    EXPECT_EQ(1.0f, player.GetVolume());
    ASSERT_EQ(S_OK, player.Initialize(nullptr, 0));
    EXPECT_EQ(0.0, player.GetDuration());
    EXPECT_EQ(0.0, player.GetPosition());
    EXPECT_FALSE(player.CanSeek());
    EXPECT_FALSE(player.HasVideo());
    EXPECT_EQ(nullptr, player.GetFrameData());
    EXPECT_EQ(S_OK, player.SetVolume(0.25f)) << "without audio the value is only stored";
    EXPECT_EQ(0.25f, player.GetVolume());
}

TEST_F(PlayerTest, CloseShutsDownForGood)
{
    ASSERT_EQ(S_OK, player.Initialize(nullptr, 0));
    HWND helper = player.GetHelperWindow();
    EXPECT_EQ(S_OK, player.Close(true));
    EXPECT_EQ(PLAYER_STATE_SHUTDOWN, player.GetState());
    EXPECT_EQ(S_OK, player.Stop());
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(helper); }, 2000)) << "the helper window closes";
    EXPECT_EQ(static_cast<HRESULT>(0x80040227), player.Play());
    EXPECT_EQ(static_cast<HRESULT>(0x8007139F), player.Initialize(nullptr, 0));
}

TEST_F(PlayerTest, EventsPassThroughAndErrorsAreRecordedFirst)
{
    player.NotifyCallback(VE_PLAY_COMPLETE, 1, 0, nullptr);
    ASSERT_EQ(1u, handler.events.size());
    EXPECT_EQ(VE_PLAY_COMPLETE, handler.events[0].code);
    EXPECT_EQ(1, handler.events[0].nativeCode);
    EXPECT_EQ(0u, player.GetErrorRecord().code) << "events leave the record alone";
    EXPECT_EQ("", Describe(player));

    player.NotifyCallback(VE_PLAY_ERROR, 0, static_cast<int32_t>(0x80070002), L"file open has failed");
    ASSERT_EQ(1u, handler.errors.size());
    EXPECT_EQ(" VE_PLAY_ERROR 'file open has failed' nt 0x0 0xffffffff80070002", handler.errors[0].second);
    EXPECT_EQ(VE_PLAY_ERROR, player.GetErrorRecord().code);

    // Unnamed codes, negative native codes and no text.
    player.NotifyCallback(0xF0300000, -2, 0x1F, nullptr);
    EXPECT_EQ(" 0xf0300000 nt 0xfffffffe 0x1f", handler.errors[1].second);
    player.ClearErrorRecord();
    EXPECT_EQ("", Describe(player));
}

TEST(VideoCodeName, NamesTheProtocolCodes)
{
    EXPECT_EQ(" VE_PLAY_LOOP_RESTART", VideoCodeName(VE_PLAY_LOOP_RESTART));
    EXPECT_EQ(" VE_CLOCK_SET", VideoCodeName(VE_CLOCK_SET));
    EXPECT_EQ(" VE_INIT_ERROR", VideoCodeName(VE_INIT_ERROR));
    EXPECT_EQ(" 0xffff", VideoCodeName(VE_UNKNOWN_EVENT));
}
