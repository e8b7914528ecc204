// Frames through the presenter as the renderer drives it: mixer output,
// queue, the client's polls, the return of samples, end of stream and
// frame stepping. Pixels read back from the textures identify the frames.
#include "EvrFixture.h"
#include "SampleData.h"
#ifdef QV_HAVE_D3D9SHARE
#include "ShareRecords.h"
#endif

#include <evcode.h>
#include <mferror.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using Microsoft::WRL::ComPtr;

namespace
{
VideoTypeSpec Qvga()
{
    return VideoTypeSpec{};
}

class SampleFlowTest : public PresenterTest
{
protected:
    // Negotiated, with the clock at 0 and started.
    void StartPlaying(bool withClock = true)
    {
        Attach(withClock);
        ASSERT_HRESULT_SUCCEEDED(Negotiate({Qvga()}));
        ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockStart(0, 0));
    }

    // Waits until the mixer was asked count times in all (a returned sample asks again).
    void ExpectCallsReach(LONG count) { EXPECT_TRUE(m_mixer->WaitForCalls(count)) << "calls: " << Calls(); }
};
} // namespace

TEST_F(SampleFlowTest, ALateFrameIsDroppedAndTheLastQueuedOneShown)
{
    StartPlaying();
    m_mixer->AddFrame({kRed, 400 * kMs, 40 * kMs});
    m_mixer->AddFrame({kGreen, 440 * kMs, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(2u, m_mixer->Outputs().size());

    m_clock->SetTime(470 * kMs);
    const LONG calls = Calls();
    FramePtr frame = Poll();
    ASSERT_NE(nullptr, frame->GetTexture());
    EXPECT_EQ(m_mixer->Outputs()[1].texture, frame->GetTexture());
    EXPECT_EQ(kGreen, PixelOf(frame));
    EXPECT_EQ(320u, frame->GetWidth());
    EXPECT_EQ(240u, frame->GetHeight());
    EXPECT_EQ(D3DFMT_X8R8G8B8, frame->GetFormat());

    // The dropped frame's sample comes back and the mixer is asked for more.
    ExpectCallsReach(calls + 1);
}

TEST_F(SampleFlowTest, WithoutAClockTheNewestFrameReplacesTheQueue)
{
    StartPlaying(false);
    m_mixer->AddFrame({kRed, 400 * kMs, 40 * kMs});
    m_mixer->AddFrame({kBlue, 440 * kMs, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(2u, m_mixer->Outputs().size());

    FramePtr frame = Poll();
    EXPECT_EQ(kBlue, PixelOf(frame));
    EXPECT_EQ(frame->GetTexture(), Poll()->GetTexture()) << "polling again shows the same frame";
}

TEST_F(SampleFlowTest, WhilePausedOneFrameIsDeliveredAfterEachFlush)
{
    Attach();
    ASSERT_HRESULT_SUCCEEDED(Negotiate({Qvga()}));
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockStart(0, 0));
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockPause(0));
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    m_mixer->AddFrame({kGreen, 0, 40 * kMs});

    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    EXPECT_EQ(1u, m_mixer->Outputs().size()) << "prerolled: no second frame while paused";
    EXPECT_EQ(kRed, PixelOf(Poll()));

    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0));
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(2u, m_mixer->Outputs().size());
    EXPECT_EQ(kGreen, PixelOf(Poll()));
}

TEST_F(SampleFlowTest, StartingAtTheCurrentPositionKeepsTheQueueButASeekFlushesIt)
{
    StartPlaying();
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockPause(0));
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(1u, m_mixer->Outputs().size());

    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockStart(0, 0x7FFFFFFFFFFFFFFF));
    EXPECT_EQ(kRed, PixelOf(Poll())) << "the queued frame survived";

    m_mixer->AddFrame({kGreen, 50 * kMs, 40 * kMs});
    m_clock->SetTime(0);
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(2u, m_mixer->Outputs().size());
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockStart(0, 0));
    m_clock->SetTime(50 * kMs);
    EXPECT_EQ(kRed, PixelOf(Poll())) << "the seek dropped the queued green frame";
}

TEST_F(SampleFlowTest, AFormatChangeStartsANewGenerationAndOldSamplesDie)
{
    StartPlaying();
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(1u, m_mixer->Outputs().size());
    FramePtr old = Poll();
    ASSERT_EQ(kRed, PixelOf(old));
    const MixerOutput first = m_mixer->Outputs()[0];

    VideoTypeSpec bigger;
    bigger.width = 640;
    bigger.height = 480;
    ASSERT_HRESULT_SUCCEEDED(Negotiate({bigger}));
    EXPECT_EQ(nullptr, Poll()->GetTexture()) << "no frame until the first one of the new set is due";

    for (int i = 0; i < 3; ++i)
        m_mixer->AddFrame({kGreen, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    Poll();
    Poll(); // shows the second new frame and holds the first back
    ASSERT_HRESULT_SUCCEEDED(InputNotify()); // the third sample of the set
    ASSERT_TRUE(m_mixer->WaitForOutputs(4));
    const std::vector<MixerOutput> outputs = m_mixer->Outputs();
    for (size_t i = 1; i < outputs.size(); ++i)
    {
        EXPECT_EQ(first.token + 1, outputs[i].token) << "output " << i;
        EXPECT_NE(first.sample, outputs[i].sample) << "an old sample never returns to the pool";
        EXPECT_LE(outputs[i].sampleNumber, 2) << "sample numbers restart with the set";
    }
    FramePtr frame = Poll();
    EXPECT_EQ(640u, frame->GetWidth());
    EXPECT_EQ(kGreen, PixelOf(frame));
    EXPECT_EQ(kRed, PixelOf(old)) << "the client's copy of the old descriptor still holds its texture";
}

TEST_F(SampleFlowTest, FiveIdlePollsReturnTheCurrentSampleWhileTheDescriptorStillNamesIt)
{
    m_presenter->SetPresenterMode(PRESENTER_MODE_ONE_TEXTURE); // one sample: the mixer waits for exactly that one
    StartPlaying();
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    FramePtr shown = Poll();
    ASSERT_EQ(kRed, PixelOf(shown));

    const LONG calls = Calls();
    m_mixer->AddFrame({kGreen, 0, 40 * kMs});
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(shown->GetTexture(), Poll()->GetTexture());
    Sleep(50);
    EXPECT_EQ(calls, Calls()) << "the only sample is still held after four idle polls";

    FramePtr fifth = Poll();
    EXPECT_EQ(shown->GetTexture(), fifth->GetTexture()) << "the client keeps naming the last frame";
    ExpectCallsReach(calls + 1);
    ASSERT_TRUE(m_mixer->WaitForOutputs(2));
    ASSERT_TRUE(WaitUntil([&] { return Poll()->GetTexture() != nullptr; })); // queued once its writes completed
    EXPECT_EQ(kGreen, PixelOf(Poll()));
}

// The end is reported as soon as the client has the last frame, not once it
// has polled on without a new one: a loop restarts from there.
TEST_F(SampleFlowTest, EndOfStreamCompletesWithThePollThatTakesTheLastFrame)
{
    StartPlaying();
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    m_mixer->AddFrame({kGreen, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(kRed, PixelOf(Poll()));
    ASSERT_HRESULT_SUCCEEDED(InputNotify()); // green is queued

    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_ENDOFSTREAM, 0));
    Sleep(50);
    EXPECT_EQ(0u, m_sink->Count(EC_COMPLETE)) << "the last frame is still queued";

    ASSERT_EQ(kGreen, PixelOf(Poll())); // red is held back while the client may draw it
    EXPECT_EQ(1u, m_sink->Count(EC_COMPLETE)) << "the poll that takes the last frame completes the stream";
    for (int i = 1; i <= 5; ++i)
        Poll();
    Sleep(50);
    ASSERT_EQ(1u, m_sink->Count(EC_COMPLETE)) << "completion is reported once";
    EXPECT_EQ(S_OK, static_cast<HRESULT>(m_sink->Events(EC_COMPLETE)[0].param1));
}

// A flush (a seek) after the end of stream takes the end back: nothing
// completes until the stream ends again.
TEST_F(SampleFlowTest, AFlushAfterTheEndOfStreamTakesItBack)
{
    StartPlaying();
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify()); // queued: the end waits for the client to take it
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_ENDOFSTREAM, 0));
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0));
    for (int i = 1; i <= 5; ++i)
        Poll();
    Sleep(100);
    EXPECT_EQ(0u, m_sink->Count(EC_COMPLETE));
}

// A seek near the end while paused delivers the end at once; the graph hears
// of it only when the clock runs again, or a paused player would loop.
TEST_F(SampleFlowTest, AStreamThatEndsWhilePausedCompletesWhenTheClockRestarts)
{
    StartPlaying();
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(kRed, PixelOf(Poll()));
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockPause(0));
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0));
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_ENDOFSTREAM, 0));
    for (int i = 1; i <= 5; ++i)
        Poll();
    Sleep(50);
    EXPECT_EQ(0u, m_sink->Count(EC_COMPLETE)) << "paused";

    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->OnClockRestart(0));
    Sleep(50);
    EXPECT_EQ(1u, m_sink->Count(EC_COMPLETE));
}

#ifdef QV_HAVE_D3D9SHARE
// Frames fail for good on a hung or removed adapter; the graph hears of it once.
TEST_F(SampleFlowTest, AFrameFailingOnAHungDeviceIsReportedOnceAsAnAbort)
{
    StartPlaying();
    m_mixer->ForceNextResult(E_FAIL);
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    InputNotify();
    EXPECT_EQ(0u, m_sink->Count(EC_ERRORABORT)) << "a usable device: the next frame may succeed";

    if (!d3d9share::InjectDeviceFault(GetCurrentProcessId(), D3DERR_DEVICEHUNG))
        GTEST_SKIP() << "runs as evr-tests-shared, with the test-only d3d9.dll";
    struct FaultEnd
    {
        ~FaultEnd() { d3d9share::InjectDeviceFault(GetCurrentProcessId(), S_OK); }
    } faultEnd;
    m_mixer->AddFrame({kGreen, 0, 40 * kMs});
    const LONG calls = Calls();
    InputNotify();
    InputNotify();
    EXPECT_EQ(calls + 1, Calls()) << "the mixer is not asked again on a failed device";
    std::vector<RecordedEvent> aborts = m_sink->Events(EC_ERRORABORT);
    ASSERT_EQ(1u, aborts.size());
    EXPECT_EQ(D3DERR_DEVICEHUNG, static_cast<HRESULT>(aborts[0].param1));
    EXPECT_FALSE(Poll()->HasFrame()) << "no frame of a failed device is handed out";
}
#endif

TEST_F(SampleFlowTest, TheMixerTakingBackTheShownSampleLeavesNoFrame)
{
    m_presenter->SetPresenterMode(PRESENTER_MODE_ONE_TEXTURE);
    StartPlaying();
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ASSERT_EQ(kRed, PixelOf(Poll()));

    // The next frame lies in the future, so once the mixer has the sample
    // again there is nothing to show.
    m_mixer->AddFrame({kGreen, 500 * kMs, 40 * kMs});
    for (int i = 0; i < 5; ++i)
        Poll();
    ASSERT_TRUE(m_mixer->WaitForOutputs(2));
    FramePtr frame = Poll();
    EXPECT_FALSE(frame->HasFrame());
    EXPECT_EQ(nullptr, frame->GetTexture());

    m_clock->SetTime(500 * kMs);
    ASSERT_TRUE(WaitUntil([&] { return Poll()->GetTexture() != nullptr; })); // queued once its writes completed
    EXPECT_EQ(kGreen, PixelOf(Poll()));
}

TEST_F(SampleFlowTest, AStreamChangeDropsTheTypeAndTypeNotSetRenegotiates)
{
    StartPlaying();
    m_mixer->ForceNextResult(MF_E_TRANSFORM_STREAM_CHANGE);
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    ComPtr<IMFVideoMediaType> current;
    EXPECT_EQ(MF_E_NOT_INITIALIZED, m_videoPresenter->GetCurrentMediaType(&current));
    EXPECT_EQ(MF_E_TRANSFORM_TYPE_NOT_SET, InputNotify());

    ASSERT_HRESULT_SUCCEEDED(Negotiate({Qvga()}));
    m_mixer->ForceNextResult(MF_E_TRANSFORM_TYPE_NOT_SET);
    ASSERT_HRESULT_SUCCEEDED(InputNotify()); // the presenter negotiates again on its own
    EXPECT_HRESULT_SUCCEEDED(m_videoPresenter->GetCurrentMediaType(&current));
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    EXPECT_EQ(kRed, PixelOf(Poll()));
}

TEST_F(SampleFlowTest, ATwoFrameStepSkipsOneFrameAndShowsTheSecond)
{
    StartPlaying();
    m_mixer->AddFrame({kRed, 0, 40 * kMs});
    m_mixer->AddFrame({kGreen, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_STEP, 2));
    ASSERT_HRESULT_SUCCEEDED(InputNotify());

    // The skipped red frame's sample returns and pulls the green one.
    ASSERT_TRUE(m_mixer->WaitForOutputs(2));
    ASSERT_TRUE(WaitUntil([&] { return Poll()->GetTexture() != nullptr; }));
    FramePtr frame = Poll();
    EXPECT_EQ(kGreen, PixelOf(frame));
    EXPECT_EQ(0u, m_sink->Count(EC_STEP_COMPLETE)) << "the step completes when its frame was shown and released";

    for (int i = 0; i < 5; ++i)
        Poll();
    ASSERT_TRUE(m_sink->WaitFor(EC_STEP_COMPLETE, 1));
    std::vector<RecordedEvent> steps = m_sink->Events(EC_STEP_COMPLETE);
    ASSERT_EQ(1u, steps.size());
    EXPECT_EQ(FALSE, steps[0].param1) << "not cancelled";
}

TEST_F(SampleFlowTest, ACancelledStepReportsCancellation)
{
    StartPlaying();
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_STEP, 3));
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_CANCELSTEP, 0));
    std::vector<RecordedEvent> steps = m_sink->Events(EC_STEP_COMPLETE);
    ASSERT_EQ(1u, steps.size());
    EXPECT_EQ(TRUE, steps[0].param1);

    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_CANCELSTEP, 0));
    EXPECT_EQ(1u, m_sink->Count(EC_STEP_COMPLETE)) << "nothing left to cancel";

    m_mixer->AddFrame({kBlue, 0, 40 * kMs});
    ASSERT_HRESULT_SUCCEEDED(InputNotify());
    EXPECT_EQ(kBlue, PixelOf(Poll())) << "frames flow normally again";
}

TEST_F(SampleFlowTest, PollingWhileTheRendererFlushesAndChangesFormatKeepsTheRingIntact)
{
    StartPlaying();
    m_mixer->SetEndless(true);
    std::atomic<bool> stop{false};
    std::atomic<long> polls{0};
    IEvrD3DPresenter* presenter = m_presenter.Get();
    std::thread poller([&] {
        while (!stop.load())
        {
            if (IFrameData* frame = presenter->GetFrameData())
                frame->Dispose();
            polls.fetch_add(1);
        }
    });

    VideoTypeSpec sizes[2];
    sizes[1].width = 352;
    sizes[1].height = 288;
    for (int i = 0; i < 200; ++i)
    {
        EXPECT_HRESULT_SUCCEEDED(InputNotify());
        if (i % 7 == 0)
        {
            EXPECT_HRESULT_SUCCEEDED(m_videoPresenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0));
        }
        if (i % 50 == 49)
        {
            EXPECT_HRESULT_SUCCEEDED(Negotiate({sizes[(i / 50) % 2]}));
        }
        m_clock->SetTime(i * 40 * kMs);
    }
    stop = true;
    poller.join(); // a lock-order fault would hang here and the test would time out
    EXPECT_GT(polls.load(), 0);

    // The ring still turns: stop the endless frames and see one more frame through.
    m_mixer->SetEndless(false);
    m_mixer->AddFrame({kBlue, 0, 40 * kMs});
    ASSERT_TRUE(WaitUntil([&] {
        InputNotify();
        FramePtr frame = Poll();
        D3DCOLOR colour = 0;
        return frame->GetTexture() && SUCCEEDED(ReadPixel(frame->GetTexture(), &colour)) && colour == kBlue;
    }));
}
