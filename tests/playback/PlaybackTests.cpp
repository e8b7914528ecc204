// A client plays the media made at build time through the real server: open
// to ready, frames with their pixels on the client's side, commands, the
// events at the end of the media, failures, and the server's graph log.
#include "ClientFixture.h"
#include "TestColours.h"
#include "ShareRecords.h"
#include "ShareTestDevice.h"
#include "TestProcess.h"
#include "VideoPlayerMsg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

using Microsoft::WRL::ComPtr;

namespace
{
// EC_COMPLETE, the graph's end-of-media event, which the server passes along.
const int64_t kGraphComplete = 1;

// The client's side of a frame: the descriptor's handle opened on a device of
// the test's own, its centre pixel classified.
class ClientFrames
{
public:
    HRESULT Create() { return m_device.Create(); }

    char CentreColour(const FrameParams& frame)
    {
        ComPtr<IDirect3DTexture9> texture;
        HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(frame.textureHandle));
        if (FAILED(m_device.OpenShared(handle, frame.width, frame.height, static_cast<D3DFORMAT>(frame.format),
                                       &texture)))
            return 'x';
        std::vector<uint32_t> pixels;
        UINT width = 0;
        if (FAILED(m_device.ReadPixels(texture.Get(), &pixels, &width)) || pixels.empty() || width == 0)
            return 'x';
        const size_t height = pixels.size() / width;
        return ClassifyColour(pixels[(height / 2) * width + width / 2]);
    }

private:
    ShareTestDevice m_device;
};

struct PlaybackRun : ClientRun
{
    bool Open(const wchar_t* media, bool loop, float start = 0.0f)
    {
        client->SetStubMode(nullptr, false);
        OpenParameters parameters;
        parameters.mediaFile = TestMedia(media);
        parameters.startPosition = start;
        parameters.soundVolume = 0.5f;
        parameters.isLoopEnabled = loop ? 1 : 0;
        return ClientRun::Open(parameters);
    }

    // Polls until a frame of the given colour is named, or the time is up.
    bool WaitColour(ClientFrames& frames, char colour, char* lastSeen = nullptr, DWORD timeoutMs = 10000,
                    FrameParams* frame = nullptr)
    {
        FrameParams last = {};
        char lastColour = '-';
        const bool seen = PumpUntil(
            [&] {
                if (client->GetFrameData(&last) != VPC_FRAME_OK)
                    return false;
                lastColour = frames.CentreColour(last);
                return lastColour == colour;
            },
            timeoutMs);
        if (frame)
            *frame = last;
        if (lastSeen)
            *lastSeen = lastColour;
        return seen;
    }

    // Waits as a showing client does, polling frames: the presenter ends the
    // stream only once the client has taken the last frame.
    bool PollUntil(const std::function<bool()>& done, DWORD timeoutMs)
    {
        FrameParams frame = {};
        return PumpUntil(
            [&] {
                client->GetFrameData(&frame);
                return done();
            },
            timeoutMs);
    }

    size_t EventCount(int32_t code) const
    {
        size_t count = 0;
        for (const auto& event : log->events)
            count += event.first == code ? 1 : 0;
        return count;
    }
};

std::string ServerLog()
{
    UniqueHandle file(CreateFileW((BinDirectory() + L"\\qvfx-reviv.exe.log").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    std::string text;
    if (!file)
        return text;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

class PlaybackTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!HaveTestMedia(L"clip-rgb.mp4"))
            GTEST_SKIP() << "test-data is made by the qv-test-media target";
        ASSERT_HRESULT_SUCCEEDED(m_frames.Create());
    }

    ClientFrames m_frames;
};
} // namespace

TEST_F(PlaybackTest, OpenEndsPausedAtTheStartWithTheFirstFrameOnTheClientSide)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-rgb.mp4", false));
    ASSERT_TRUE(run.WaitReady(20000)) << (run.log->errors.empty() ? "" : run.log->errors[0].text);
    FrameParams frame = {};
    EXPECT_TRUE(run.WaitColour(m_frames, 'r', nullptr, 10000, &frame)) << "the paused frame is the first, red one";
    EXPECT_EQ(320u, frame.width);
    EXPECT_EQ(240u, frame.height);
    EXPECT_NE(0u, frame.textureHandle);
    EXPECT_NEAR(3.0f, run.client->GetDuration(), 0.05f);
    EXPECT_NEAR(0.0f, run.client->GetPosition(), 0.05f);
    EXPECT_TRUE(run.log->errors.empty());

    UniqueHandle server = OpenServerProcess(run.log->readyServer);
    ASSERT_TRUE(server);
    EXPECT_TRUE(run.client->Close());
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_OK), PumpUntilExit(server.Get(), 15000)) << "the graph goes down cleanly";
}

// The graph flushes the renderer on a seek, and the renderer must pass that
// on to the presenter (MFVP_MESSAGE_FLUSH), which then shows one new frame.
TEST_F(PlaybackTest, SeekWhilePausedCuesTheFrameOfTheNewPosition)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-rgb.mp4", false));
    ASSERT_TRUE(run.WaitReady(20000));
    ASSERT_TRUE(run.WaitColour(m_frames, 'r'));
    ASSERT_TRUE(run.client->SetPosition(1.5f));
    char seen = 0;
    EXPECT_TRUE(run.WaitColour(m_frames, 'g', &seen)) << "1.5 s is in the green second; seen " << seen;
    EXPECT_NEAR(1.5f, run.client->GetPosition(), 0.05f);
    ASSERT_TRUE(run.client->SetPosition(2.5f));
    EXPECT_TRUE(run.WaitColour(m_frames, 'b', &seen)) << "seen " << seen;
    EXPECT_TRUE(run.log->events.empty()) << "nothing reaches the end while paused";
    EXPECT_TRUE(run.client->Close());
}

TEST_F(PlaybackTest, StartPositionIsWhereTheFirstFrameComesFrom)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-rgb.mp4", false, 2.2f));
    ASSERT_TRUE(run.WaitReady(20000));
    char seen = 0;
    EXPECT_TRUE(run.WaitColour(m_frames, 'b', &seen)) << "the open cues the start position, not 0; seen " << seen;
    EXPECT_NEAR(2.2f, run.client->GetPosition(), 0.05f);
    EXPECT_TRUE(run.client->Close());
}

TEST_F(PlaybackTest, TheVideoWithSoundOpensWithItsSizeAndDuration)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-av.mp4", true));
    ASSERT_TRUE(run.WaitReady(20000)) << (run.log->errors.empty() ? "" : run.log->errors[0].text);
    FrameParams frame = {};
    ASSERT_TRUE(PumpUntil([&] { return run.client->GetFrameData(&frame) == VPC_FRAME_OK; }, 10000));
    EXPECT_EQ(640u, frame.width);
    EXPECT_EQ(360u, frame.height);
    EXPECT_NEAR(4.0f, run.client->GetDuration(), 0.1f);
    EXPECT_EQ(1, run.client->GetLoopEnabled());
    EXPECT_TRUE(run.log->errors.empty()) << run.log->errors[0].text;
    EXPECT_TRUE(run.client->Close());
}

TEST_F(PlaybackTest, FilesWithoutAVideoStreamFailTheOpenWithTheRenderError)
{
    struct Case
    {
        const wchar_t* media;
        const char* text;
    };
    // The audio-only file renders its sound but leaves the video renderer
    // unconnected; the text file gets a source but no stream that renders.
    for (const wchar_t* media : {L"audio-only.m4a", L"not-media.mp4"})
    {
        PlaybackRun run;
        run.Open(media, false);
        ASSERT_TRUE(run.WaitErrors(1, 20000)) << "the server's report";
        EXPECT_EQ(VE_INIT_ERROR, run.log->errors[0].code);
        EXPECT_EQ(" VE_PLAY_ERROR 'failed to render, is codec installed?' nt 0x0 0xffffffff80040218",
                  run.log->errors[0].text);
        // The server's end (-6) ends the player's loop but is not reported again.
        EXPECT_TRUE(PumpUntil([&] { return !IsWindow(run.client->GetClientWindow()); }, 20000));
        run.Settle(300);
        EXPECT_EQ(1u, run.log->errors.size());
        EXPECT_EQ(0, run.log->readyCount);
        EXPECT_FALSE(IsWindow(run.client->GetClientWindow()));
    }
    const std::string log = ServerLog();
    EXPECT_NE(std::string::npos, log.find("player open failed 80040218"));
}

TEST_F(PlaybackTest, TheServerLogsThePinsItRendersAndTheFiltersItPlays)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-av.mp4", false));
    ASSERT_TRUE(run.WaitReady(20000));
    EXPECT_TRUE(run.client->Close());
    run.Settle(1000);
    const std::string log = ServerLog();
    EXPECT_NE(std::string::npos, log.find("DShowPlayer PIN")) << "pin log";
    EXPECT_NE(std::string::npos, log.find("rendering pin[")) << "pin log";
    EXPECT_NE(std::string::npos, log.find("]->[Output]")) << "the source's output pin";
    EXPECT_NE(std::string::npos, log.find("DShowPlayer FILTERS")) << "filter log";
    EXPECT_NE(std::string::npos, log.find(" filters\r\n")) << "the count comes first";
    EXPECT_NE(std::string::npos, log.find("    EVR Input0<-")) << "the renderer's pin is connected";
    EXPECT_NE(std::string::npos, log.find("CLSID {FA10746C-9B63-4B6C-BC49-FC300EA5F256}"));
}

TEST_F(PlaybackTest, PlayingShowsTheColoursInOrderAndCompletesOnceWithoutLoop)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-rgb.mp4", false));
    ASSERT_TRUE(run.WaitReady(20000));
    ASSERT_TRUE(run.WaitColour(m_frames, 'r'));
    ASSERT_TRUE(run.client->Play());
    EXPECT_TRUE(run.WaitColour(m_frames, 'g', nullptr, 5000)) << "frames advance while playing";
    EXPECT_TRUE(run.WaitColour(m_frames, 'b', nullptr, 5000));
    EXPECT_TRUE(run.PollUntil([&] { return run.EventCount(VE_PLAY_COMPLETE) > 0; }, 5000));
    run.Settle(500);
    EXPECT_EQ(1u, run.EventCount(VE_PLAY_COMPLETE));
    EXPECT_EQ(0u, run.EventCount(VE_PLAY_LOOP_RESTART));
    EXPECT_TRUE(run.log->errors.empty()) << run.log->errors[0].text;
    EXPECT_TRUE(run.client->Close());
    run.Settle(500);
    // The presenter's processing latency event came with each of the 75
    // frames; the server's log names it once. Every frame came with its time.
    const std::string log = ServerLog();
    EXPECT_EQ(1u, CountOf(log, "native 0x21 "));
    EXPECT_EQ(0u, CountOf(log, "without a time stamp"));
}

TEST_F(PlaybackTest, PauseHoldsThePositionAndResumeMovesOn)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-rgb.mp4", false));
    ASSERT_TRUE(run.WaitReady(20000));
    ASSERT_TRUE(run.client->Play());
    ASSERT_TRUE(PumpUntil([&] { return run.client->GetPosition() > 0.4f; }, 3000)) << "playing moves on";
    ASSERT_TRUE(run.client->Pause());
    run.Settle(300);
    const float paused = run.client->GetPosition();
    EXPECT_LT(paused, 2.0f);
    run.Settle(600);
    EXPECT_NEAR(paused, run.client->GetPosition(), 0.05f) << "paused means the position holds";
    ASSERT_TRUE(run.client->Play());
    float resumed = paused;
    EXPECT_TRUE(PumpUntil(
        [&] {
            resumed = run.client->GetPosition();
            return resumed - paused > 0.2f;
        },
        3000))
        << "resumed playback moves on from " << paused << ", still at " << resumed;
    EXPECT_TRUE(run.log->errors.empty()) << run.log->errors[0].text;
    EXPECT_TRUE(run.client->Close());
}

TEST_F(PlaybackTest, SeekWhilePlayingJumpsBack)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-rgb.mp4", false));
    ASSERT_TRUE(run.WaitReady(20000));
    ASSERT_TRUE(run.client->Play());
    ASSERT_TRUE(run.WaitColour(m_frames, 'b', nullptr, 5000)) << "the last second plays";
    // Without looping nothing but the seek brings the first second back.
    ASSERT_TRUE(run.client->SetPosition(0.2f));
    char seen = 0;
    EXPECT_TRUE(run.WaitColour(m_frames, 'r', &seen, 3000)) << "seen " << seen;
    EXPECT_TRUE(run.WaitColour(m_frames, 'g', &seen, 3000)) << "and plays on; seen " << seen;
    const float position = run.client->GetPosition();
    EXPECT_TRUE(position > 0.9f && position < 2.5f) << "the position follows the seek after the end: " << position;
    EXPECT_TRUE(run.log->errors.empty()) << run.log->errors[0].text;
    EXPECT_TRUE(run.client->Close());
}

TEST_F(PlaybackTest, LoopingRestartsAtEachEndFromTheStartPosition)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-rgb.mp4", true));
    ASSERT_TRUE(run.WaitReady(20000));
    ASSERT_TRUE(run.client->Play());
    ASSERT_TRUE(run.PollUntil([&] { return run.EventCount(VE_PLAY_LOOP_RESTART) >= 2; }, 12000))
        << "restarts seen: " << run.EventCount(VE_PLAY_LOOP_RESTART);
    EXPECT_EQ(0u, run.EventCount(VE_PLAY_COMPLETE));
    for (const auto& event : run.log->events)
        EXPECT_EQ(kGraphComplete, event.second) << "the graph's own event code comes along";
    char seen = 0;
    EXPECT_TRUE(run.WaitColour(m_frames, 'r', &seen, 5000)) << "each restart shows the start again; seen " << seen;
    const float position = run.client->GetPosition();
    EXPECT_TRUE(position >= 0.0f && position < 1.5f) << "the position counts from the start again: " << position;
    EXPECT_TRUE(run.log->errors.empty()) << run.log->errors[0].text;

    UniqueHandle server = OpenServerProcess(run.log->readyServer);
    ASSERT_TRUE(server);
    EXPECT_TRUE(run.client->Close());
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_OK), PumpUntilExit(server.Get(), 15000)) << "a running graph goes down too";
}

// A hung or removed adapter fails every frame after it; the player hears of it
// once, as a play error, and the server still closes cleanly.
TEST_F(PlaybackTest, ARemovedDeviceWhilePlayingIsReportedOnceAsAPlayError)
{
    PlaybackRun run;
    ASSERT_TRUE(run.Open(L"clip-rgb.mp4", true));
    ASSERT_TRUE(run.WaitReady(20000));
    ASSERT_TRUE(run.WaitColour(m_frames, 'r'));
    DWORD serverPid = 0;
    GetWindowThreadProcessId(run.log->readyServer, &serverPid);
    ASSERT_TRUE(d3d9share::InjectDeviceFault(serverPid, D3DERR_DEVICEREMOVED));
    ASSERT_TRUE(run.client->Play());
    ASSERT_TRUE(PumpUntil([&] { return !run.log->errors.empty(); }, 5000));
    run.Settle(1000);
    ASSERT_EQ(1u, run.log->errors.size()) << run.log->errors[1].text;
    EXPECT_EQ(VE_PLAY_ERROR, run.log->errors[0].code);
    EXPECT_NE(std::string::npos, run.log->errors[0].text.find("playback has failed")) << run.log->errors[0].text;
    EXPECT_NE(std::string::npos, ServerLog().find("device unusable 88760870"));

    UniqueHandle server = OpenServerProcess(run.log->readyServer);
    ASSERT_TRUE(server);
    EXPECT_TRUE(run.client->Close());
    EXPECT_EQ(static_cast<DWORD>(VSRV_EXIT_OK), PumpUntilExit(server.Get(), 15000));
}
