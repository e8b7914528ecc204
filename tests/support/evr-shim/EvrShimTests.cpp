// The platform's Enhanced Video Renderer, with the test-only layer in front of
// it, drives our presenter as Windows' renderer does: the test clip plays,
// pauses, resumes, stops and plays again, and the graph goes down without a
// fault or a leak, with nothing of the renderer's work done by hand here.
#include "Diagnostics.h"
#include "EvrDoubles.h"
#include "EvrSlots.h"
#include "Handles.h"
#include "HelperWindow.h"
#include "Presenter.h"
#include "RendererSession.h"
#include "TestColours.h"
#include "TestProcess.h"

#include <dshow.h>
#include <mfapi.h>
#include <mferror.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{
// {FA10746C-9B63-4B6C-BC49-FC300EA5F256}
constexpr CLSID kClsidEnhancedVideoRenderer = {0xfa10746c, 0x9b63, 0x4b6c,
                                               {0xbc, 0x49, 0xfc, 0x30, 0x0e, 0xa5, 0xf2, 0x56}};

bool ExpectShim()
{
    const char* value = std::getenv("QV_EXPECT_EVR_SHIM");
    return value && std::string(value) == "1";
}

// Invariants of the video path that the presenter reported as violated: a
// clock call in the wrong state shows here ("m_RenderState == RENDER_STATE_PAUSED").
std::mutex g_diagnosticsLock;
std::vector<std::string> g_diagnostics;

void RecordDiagnostic(const char* text)
{
    std::lock_guard<std::mutex> lock(g_diagnosticsLock);
    g_diagnostics.push_back(text);
}

std::vector<std::string> Diagnostics()
{
    std::lock_guard<std::mutex> lock(g_diagnosticsLock);
    return g_diagnostics;
}

ULONG RefCountOf(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// The red-green-blue clip rendered into the real renderer with our presenter.
class ShimGraphTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!ExpectShim())
            GTEST_SKIP() << "runs with evr=n,b (the evr-shim-tests entry)";
        const std::wstring media = TestMedia(L"clip-rgb.mp4");
        if (!HaveTestMedia(L"clip-rgb.mp4"))
            GTEST_SKIP() << "test-data/clip-rgb.mp4 is made by the qv-test-media target";
        ASSERT_HRESULT_SUCCEEDED(m_com.Result());
        ASSERT_HRESULT_SUCCEEDED(m_mf.Result());
        ASSERT_HRESULT_SUCCEEDED(m_window.Result());
        {
            std::lock_guard<std::mutex> lock(g_diagnosticsLock);
            g_diagnostics.clear();
        }
        SetDiagnosticSink(RecordDiagnostic);
        ASSERT_HRESULT_SUCCEEDED(IEvrD3DPresenter::Create(m_window.Hwnd(), &m_presenter));
        ASSERT_HRESULT_SUCCEEDED(m_presenter.As(&m_videoPresenter));
        m_presenter->SetPresenterMode(PRESENTER_MODE_PLAYBACK);

        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&m_graph)));
        ComPtr<IBaseFilter> evr;
        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(kClsidEnhancedVideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&evr)));
        ASSERT_NE(nullptr, GetModuleHandleW(L"qvevrmended.dll")) << "the layer's renderer is in use";
        ComPtr<IMFVideoRenderer> renderer;
        ASSERT_HRESULT_SUCCEEDED(evr.As(&renderer));
        ASSERT_HRESULT_SUCCEEDED(renderer->InitializeRenderer(nullptr, m_videoPresenter.Get()));
        ASSERT_HRESULT_SUCCEEDED(m_graph->AddFilter(evr.Get(), L"EVR"));
        ASSERT_HRESULT_SUCCEEDED(m_graph->RenderFile(media.c_str(), nullptr));
        ASSERT_HRESULT_SUCCEEDED(m_graph.As(&m_control));
        ASSERT_HRESULT_SUCCEEDED(m_graph.As(&m_seeking));
        ASSERT_HRESULT_SUCCEEDED(
            m_graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(m_events.GetAddressOf())));
    }

    void TearDown() override
    {
        if (!m_presenter)
            return;
        // Released as a player does, running or not: the renderer's own
        // teardown must stop, release the presenter's services and not fault.
        m_events.Reset();
        m_seeking.Reset();
        m_control.Reset();
        m_graph.Reset();
        EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0))
            << "the renderer released the presenter's services";
        m_videoPresenter.Reset();
        EXPECT_TRUE(WaitUntil([&] { return RefCountOf(m_presenter.Get()) == 1; }))
            << "references left: " << RefCountOf(m_presenter.Get());
        EXPECT_EQ(0u, m_presenter.Reset());
        SetDiagnosticSink(nullptr);
        EXPECT_EQ(std::vector<std::string>{}, Diagnostics());
    }

    // Polls at the client's pace (10 ms) and records each change of the
    // shown colour, until stop() holds or the time runs out.
    void Watch(const std::function<bool()>& stop, DWORD timeoutMs = 15000)
    {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (!stop() && GetTickCount64() < deadline)
        {
            FramePtr frame(m_presenter->GetFrameData());
            D3DCOLOR colour = 0;
            if (frame && frame->GetTexture() && SUCCEEDED(ReadPixel(frame->GetTexture(), &colour)))
            {
                const char c = ClassifyColour(colour);
                if (c != '?' && (m_seen.empty() || m_seen.back() != c))
                    m_seen.push_back(c);
            }
            long code = 0;
            LONG_PTR param1 = 0, param2 = 0;
            while (m_events->GetEvent(&code, &param1, &param2, 0) == S_OK)
            {
                m_complete = m_complete || code == EC_COMPLETE;
                m_latency = m_latency || code == EC_PROCESSING_LATENCY;
                m_events->FreeEventParams(code, param1, param2);
            }
            Sleep(10);
        }
    }

    bool Shown(char colour) const { return !m_seen.empty() && m_seen.back() == colour; }

    struct FrameDeleter
    {
        void operator()(IFrameData* frame) const
        {
            if (frame)
                frame->Dispose();
        }
    };
    using FramePtr = std::unique_ptr<IFrameData, FrameDeleter>;

    ScopedComInit m_com{COINIT_MULTITHREADED};
    MfSession m_mf;
    DeviceWindow m_window;
    ComPtr<IEvrD3DPresenter> m_presenter;
    ComPtr<IMFVideoPresenter> m_videoPresenter;
    ComPtr<IFilterGraph2> m_graph;
    ComPtr<IMediaControl> m_control;
    ComPtr<IMediaSeeking> m_seeking;
    ComPtr<IMediaEvent> m_events;
    std::string m_seen;
    bool m_complete = false;
    bool m_latency = false; // an event only the presenter sends
};
} // namespace

// Wine 8 loads the prefix's native evr.dll even with the default overrides:
// there the layer must only forward, leaving the mended renderer's methods as
// they are; with evr=n,b the filter's Run is the layer's.
TEST(EvrShimLoad, TheLayerHooksTheRendererOnlyWithItsOverride)
{
    ScopedComInit com(COINIT_MULTITHREADED);
    ASSERT_HRESULT_SUCCEEDED(com.Result());
    ComPtr<IBaseFilter> evr;
    ASSERT_HRESULT_SUCCEEDED(
        CoCreateInstance(kClsidEnhancedVideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&evr)));
    ComPtr<IMFVideoRenderer> renderer;
    EXPECT_HRESULT_SUCCEEDED(evr.As(&renderer)) << "the filter keeps its interfaces";

    HMODULE layer = GetModuleHandleW(L"evr.dll");
    if (!layer || !GetProcAddress(layer, "DllGetClassObject") || !GetModuleHandleW(L"qvevrmended.dll"))
    {
        EXPECT_FALSE(ExpectShim()) << "the layer is installed and in use";
        return;
    }
    void* run = (*reinterpret_cast<void***>(evr.Get()))[kSlotFilterRun];
    HMODULE owner = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   static_cast<LPCWSTR>(run), &owner));
    EXPECT_EQ(ExpectShim(), owner == layer);
}

TEST_F(ShimGraphTest, RunPlaysTheClipsColoursInOrderToTheEnd)
{
    ASSERT_HRESULT_SUCCEEDED(m_control->Run());
    Watch([&] { return m_complete; });
    EXPECT_TRUE(m_complete) << "the graph reached the end of the clip";
    EXPECT_EQ("rgb", m_seen);
}

TEST_F(ShimGraphTest, PauseHoldsTheShownFrameAndRunResumesFromIt)
{
    ASSERT_HRESULT_SUCCEEDED(m_control->Run());
    Watch([&] { return Shown('g'); });
    ASSERT_EQ("rg", m_seen);
    ASSERT_HRESULT_SUCCEEDED(m_control->Pause());
    // Unpaused, the clip would be blue 1.2 s into its green second.
    Watch([] { return false; }, 1500);
    EXPECT_EQ("rg", m_seen) << "the picture stood still while paused";
    EXPECT_FALSE(m_complete);
    ASSERT_HRESULT_SUCCEEDED(m_control->Run());
    Watch([&] { return m_complete; });
    EXPECT_TRUE(m_complete);
    EXPECT_EQ("rgb", m_seen);
}

TEST_F(ShimGraphTest, StopAndASeekToTheStartPlayTheClipAgain)
{
    ASSERT_HRESULT_SUCCEEDED(m_control->Run());
    Watch([&] { return Shown('g'); });
    ASSERT_EQ("rg", m_seen);
    ASSERT_HRESULT_SUCCEEDED(m_control->Stop());
    LONGLONG start = 0;
    ASSERT_HRESULT_SUCCEEDED(
        m_seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning));
    m_seen.clear();
    ASSERT_HRESULT_SUCCEEDED(m_control->Run());
    Watch([&] { return m_complete; });
    EXPECT_TRUE(m_complete);
    // The green frame shown at the stop may stand until the first new one.
    if (m_seen.size() > 3 && m_seen[0] == 'g')
        m_seen.erase(0, 1);
    EXPECT_EQ("rgb", m_seen);
}

// The seek flushes the renderer; the layer passes that on to the mixer and
// the presenter, so the paused picture becomes the new position's frame.
TEST_F(ShimGraphTest, ASeekWhilePausedShowsTheFrameOfTheNewPosition)
{
    ASSERT_HRESULT_SUCCEEDED(m_control->Pause());
    Watch([&] { return Shown('r'); }, 5000);
    ASSERT_EQ("r", m_seen);
    for (const auto& step : {std::make_pair(25000000LL, 'b'), std::make_pair(15000000LL, 'g')})
    {
        LONGLONG position = step.first;
        ASSERT_HRESULT_SUCCEEDED(
            m_seeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning));
        Watch([&] { return Shown(step.second); }, 5000);
        EXPECT_TRUE(Shown(step.second)) << "seen " << m_seen;
    }
    EXPECT_EQ("rbg", m_seen) << "nothing in between while paused";
    EXPECT_FALSE(m_complete);
}

TEST_F(ShimGraphTest, AGraphReleasedWhilePlayingGoesDownWithoutAFaultOrALeak)
{
    ASSERT_HRESULT_SUCCEEDED(m_control->Run());
    Watch([&] { return Shown('r'); });
    EXPECT_EQ("r", m_seen);
    // TearDown releases the running graph and checks the presenter's end.
}

// The renderer's own presenter, as with no presenter of the caller's: its
// graph too goes down without the mixer's fault.
TEST(EvrShimOwnPresenter, AGraphWithTheRenderersOwnPresenterGoesDownWithoutAFault)
{
    if (!ExpectShim())
        GTEST_SKIP() << "runs with evr=n,b (the evr-shim-tests entry)";
    const std::wstring media = TestMedia(L"clip-rgb.mp4");
    if (!HaveTestMedia(L"clip-rgb.mp4"))
        GTEST_SKIP() << "test-data/clip-rgb.mp4 is made by the qv-test-media target";
    ScopedComInit com(COINIT_MULTITHREADED);
    ASSERT_HRESULT_SUCCEEDED(com.Result());
    MfSession mf;
    ASSERT_HRESULT_SUCCEEDED(mf.Result());

    ComPtr<IFilterGraph2> graph;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
    ComPtr<IBaseFilter> evr;
    ASSERT_HRESULT_SUCCEEDED(
        CoCreateInstance(kClsidEnhancedVideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&evr)));
    ASSERT_HRESULT_SUCCEEDED(graph->AddFilter(evr.Get(), L"EVR"));
    ASSERT_HRESULT_SUCCEEDED(graph->RenderFile(media.c_str(), nullptr));
    ComPtr<IMediaControl> control;
    ASSERT_HRESULT_SUCCEEDED(graph.As(&control));
    ComPtr<IMediaEvent> events;
    ASSERT_HRESULT_SUCCEEDED(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf())));
    ASSERT_HRESULT_SUCCEEDED(control->Run());
    long code = 0;
    EXPECT_HRESULT_SUCCEEDED(events->WaitForCompletion(10000, &code));
    EXPECT_EQ(EC_COMPLETE, code);
    EXPECT_HRESULT_SUCCEEDED(control->Stop());
    events.Reset();
    control.Reset();
    evr.Reset();
    graph.Reset(); // a fault here ends the program
}

namespace
{
ComPtr<IBaseFilter> RendererOf(IFilterGraph2* graph)
{
    ComPtr<IBaseFilter> evr;
    graph->FindFilterByName(L"EVR", &evr);
    return evr;
}

LONGLONG ClockTime(IMFClock* clock)
{
    LONGLONG time = -1;
    MFTIME system = 0;
    EXPECT_HRESULT_SUCCEEDED(clock->GetCorrelatedTime(0, &time, &system));
    return time;
}
} // namespace

// IMFVideoRenderer::InitializeRenderer: VFW_E_WRONG_STATE while a pin is connected.
TEST_F(ShimGraphTest, TheConnectedRendererRefusesANewMixerOrPresenter)
{
    ComPtr<IMFVideoRenderer> renderer;
    ASSERT_HRESULT_SUCCEEDED(RendererOf(m_graph.Get()).As(&renderer));
    EXPECT_EQ(VFW_E_WRONG_STATE, renderer->InitializeRenderer(nullptr, nullptr));
    EXPECT_EQ(VFW_E_WRONG_STATE, renderer->InitializeRenderer(nullptr, m_videoPresenter.Get()));
}

// As Windows' renderer, MR_VIDEO_MIXER_SERVICE reaches the mixer's controls.
TEST_F(ShimGraphTest, TheRendererServesItsMixersControl)
{
    ComPtr<IMFGetService> service;
    ASSERT_HRESULT_SUCCEEDED(RendererOf(m_graph.Get()).As(&service));
    ComPtr<IMFVideoMixerControl> mixer;
    EXPECT_HRESULT_SUCCEEDED(service->GetService(MR_VIDEO_MIXER_SERVICE, IID_PPV_ARGS(&mixer)));
    EXPECT_NE(nullptr, mixer.Get());
}

// The presenter's clock is the graph's stream time: zero while stopped,
// running with the graph, standing while paused; the presenter shows each
// colour of the clip (one second each) on its time stamp.
TEST_F(ShimGraphTest, TheRenderersClockFollowsTheStreamAndFramesShowOnTheirTimeStamps)
{
    ComPtr<IMFTopologyServiceLookup> lookup;
    ASSERT_HRESULT_SUCCEEDED(RendererOf(m_graph.Get()).As(&lookup));
    ComPtr<IMFClock> clock;
    DWORD count = 1;
    ASSERT_HRESULT_SUCCEEDED(lookup->LookupService(MF_SERVICE_LOOKUP_GLOBAL, 0, MR_VIDEO_RENDER_SERVICE,
                                                   __uuidof(IMFClock),
                                                   reinterpret_cast<void**>(clock.GetAddressOf()), &count));
    ASSERT_NE(nullptr, clock.Get());
    EXPECT_EQ(0, ClockTime(clock.Get()));

    ASSERT_HRESULT_SUCCEEDED(m_control->Run());
    LONGLONG greenAt = -1;
    Watch([&] {
        if (Shown('g') && greenAt < 0)
            greenAt = ClockTime(clock.Get());
        return Shown('g');
    });
    ASSERT_EQ("rg", m_seen);
    EXPECT_GE(greenAt, 10000000 - 400000) << "green is stamped at 1 s: not shown before";
    ASSERT_HRESULT_SUCCEEDED(m_control->Pause());
    const LONGLONG paused = ClockTime(clock.Get());
    Sleep(300);
    EXPECT_EQ(paused, ClockTime(clock.Get())) << "the clock stands while paused";
    ASSERT_HRESULT_SUCCEEDED(m_control->Run());
    Watch([&] { return m_complete; });
    EXPECT_EQ("rgb", m_seen);
    EXPECT_GE(ClockTime(clock.Get()), 25000000) << "the clip ends at 3 s of stream time";
}

// The end of stream reaches the presenter, whose EC_COMPLETE completes the
// graph once the client has taken the last frame; Wine's own, posted at the
// end of stream, does not. The presenter's other events reach the graph too.
TEST_F(ShimGraphTest, TheGraphCompletesOnThePresentersEndOfStream)
{
    ASSERT_HRESULT_SUCCEEDED(m_control->Run());
    Watch([&] { return Shown('b'); });
    ASSERT_EQ("rgb", m_seen);
    long code = 0;
    // Unpolled, the presenter holds the last frame past the clip's end (3 s).
    EXPECT_EQ(E_ABORT, m_events->WaitForCompletion(2500, &code));
    Watch([&] { return m_complete; });
    EXPECT_TRUE(m_complete);
    EXPECT_TRUE(m_latency) << "the presenter's other events reach the graph too";
}
