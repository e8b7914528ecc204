// The presenter installed in the platform's real Enhanced Video Renderer
// filter (with the test prefix's layer, which drives it as Windows' does):
// first alone, then in a graph with the test clip, where the filter looks up
// the presenter's services when its input pin connects.
#include "EvrFixture.h"
#include "Handles.h"
#include "TestColours.h"
#include "TestProcess.h"

#include <dshow.h>

#include <mferror.h>

#include <gtest/gtest.h>

using Microsoft::WRL::ComPtr;

namespace
{
// {FA10746C-9B63-4B6C-BC49-FC300EA5F256}
constexpr CLSID kClsidEnhancedVideoRenderer = {0xfa10746c, 0x9b63, 0x4b6c,
                                               {0xbc, 0x49, 0xfc, 0x30, 0x0e, 0xa5, 0xf2, 0x56}};
} // namespace

TEST(RendererTest, TheEnhancedVideoRendererTakesThePresenterAndServesItsDisplayControl)
{
    ScopedComInit com(COINIT_MULTITHREADED);
    ASSERT_HRESULT_SUCCEEDED(com.Result());
    MfSession mf;
    DeviceWindow window;
    DiagnosticRecorder diagnostics;

    ComPtr<IEvrD3DPresenter> presenter;
    ASSERT_HRESULT_SUCCEEDED(IEvrD3DPresenter::Create(window.Hwnd(), &presenter));
    ComPtr<IMFVideoPresenter> videoPresenter;
    ASSERT_HRESULT_SUCCEEDED(presenter.As(&videoPresenter));
    EXPECT_EQ(MF_E_SHUTDOWN, videoPresenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0)) << "not initialised yet";

    ComPtr<IUnknown> filter;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(kClsidEnhancedVideoRenderer, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_PPV_ARGS(&filter)));
    ComPtr<IMFVideoRenderer> renderer;
    ASSERT_HRESULT_SUCCEEDED(filter.As(&renderer));
    presenter->SetPresenterMode(PRESENTER_MODE_KEEP_TYPE);
    ASSERT_HRESULT_SUCCEEDED(renderer->InitializeRenderer(nullptr, videoPresenter.Get()));

    ComPtr<IMFGetService> service;
    ASSERT_HRESULT_SUCCEEDED(filter.As(&service));
    ComPtr<IMFVideoDisplayControl> display;
    ASSERT_HRESULT_SUCCEEDED(service->GetService(MR_VIDEO_RENDER_SERVICE, IID_PPV_ARGS(&display)));
    EXPECT_EQ(E_NOTIMPL, display->SetAspectRatioMode(MFVideoARMode_PreservePicture))
        << "the renderer hands out the presenter's own display control";
    display.Reset();
    service.Reset();

    filter.Reset();
    renderer.Reset();
    videoPresenter.Reset();
    EXPECT_TRUE(WaitUntil([&] { return RefCountOf(presenter.Get()) == 1; }))
        << "the renderer let the presenter go: " << RefCountOf(presenter.Get());
    presenter.Reset();
    EXPECT_EQ(std::vector<std::string>{}, diagnostics.Unexpected());
}

namespace
{
// The red-green-blue test clip rendered into the real renderer with our
// presenter, connected and stopped.
class ClipGraphTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::wstring media = TestMedia(L"clip-rgb.mp4");
        if (!HaveTestMedia(L"clip-rgb.mp4"))
            GTEST_SKIP() << "test-data/clip-rgb.mp4 is made by the qv-test-media target";
        ASSERT_HRESULT_SUCCEEDED(m_com.Result());
        ASSERT_HRESULT_SUCCEEDED(m_mf.Result());
        ASSERT_HRESULT_SUCCEEDED(IEvrD3DPresenter::Create(m_window.Hwnd(), &m_presenter));
        ASSERT_HRESULT_SUCCEEDED(m_presenter.As(&m_videoPresenter));
        m_presenter->SetPresenterMode(PRESENTER_MODE_PLAYBACK);

        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&m_graph)));
        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(kClsidEnhancedVideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&m_evr)));
        ASSERT_HRESULT_SUCCEEDED(m_evr.As(&m_renderer));
        ASSERT_HRESULT_SUCCEEDED(m_renderer->InitializeRenderer(nullptr, m_videoPresenter.Get()));
        ASSERT_HRESULT_SUCCEEDED(m_graph->AddFilter(m_evr.Get(), L"EVR"));

        ComPtr<IBaseFilter> source;
        ASSERT_HRESULT_SUCCEEDED(m_graph->AddSourceFilter(media.c_str(), L"source", &source));
        ComPtr<IEnumPins> pins;
        ASSERT_HRESULT_SUCCEEDED(source->EnumPins(&pins));
        ComPtr<IPin> pin;
        HRESULT rendered = E_FAIL;
        while (pins->Next(1, &pin, nullptr) == S_OK)
        {
            PIN_DIRECTION direction = PINDIR_INPUT;
            if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT)
                rendered = m_graph->RenderEx(pin.Get(), AM_RENDEREX_RENDERTOEXISTINGRENDERERS, nullptr);
            pin.Reset();
        }
        ASSERT_HRESULT_SUCCEEDED(rendered) << "the video reached the renderer";
        ASSERT_HRESULT_SUCCEEDED(m_graph.As(&m_control));
    }

    void TearDown() override
    {
        if (!m_presenter)
            return;
        if (m_control)
        {
            EXPECT_HRESULT_SUCCEEDED(m_control->Stop());
        }
        // The renderer refuses a new presenter while connected (as Windows'
        // does, with the test prefix's layer); its teardown releases the
        // presenter's services.
        m_control.Reset();
        m_renderer.Reset();
        m_evr.Reset();
        m_graph.Reset();
        EXPECT_EQ(MF_E_SHUTDOWN, m_videoPresenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0))
            << "the renderer released the presenter's services";
        m_videoPresenter.Reset();
        EXPECT_TRUE(WaitUntil([&] { return RefCountOf(m_presenter.Get()) == 1; }))
            << "references left: " << RefCountOf(m_presenter.Get());
        m_presenter.Reset();
        EXPECT_EQ(std::vector<std::string>{}, m_diagnostics.Unexpected());
    }

    ScopedComInit m_com{COINIT_MULTITHREADED};
    MfSession m_mf;
    DeviceWindow m_window;
    DiagnosticRecorder m_diagnostics;
    ComPtr<IEvrD3DPresenter> m_presenter;
    ComPtr<IMFVideoPresenter> m_videoPresenter;
    ComPtr<IFilterGraph2> m_graph;
    ComPtr<IBaseFilter> m_evr;
    ComPtr<IMFVideoRenderer> m_renderer;
    ComPtr<IMediaControl> m_control;
};
} // namespace

TEST_F(ClipGraphTest, TheRealMixerNegotiatesAndRendersThePausedFrameIntoAnEngineTexture)
{
    ComPtr<IMFVideoMediaType> type;
    ASSERT_HRESULT_SUCCEEDED(m_videoPresenter->GetCurrentMediaType(&type)) << "negotiated at connection";
    UINT32 width = 0, height = 0;
    ASSERT_HRESULT_SUCCEEDED(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height));
    EXPECT_EQ(320u, width);
    EXPECT_EQ(240u, height);
    GUID subtype{};
    ASSERT_HRESULT_SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype));
    EXPECT_NE(static_cast<DWORD>(D3DFMT_A8R8G8B8), subtype.Data1);

    // Pausing prerolls: the real mixer renders the first (red) frame into one
    // of the engine's textures, which the next poll names.
    EXPECT_HRESULT_SUCCEEDED(m_control->Pause());
    OAFilterState state = State_Stopped;
    EXPECT_HRESULT_SUCCEEDED(m_control->GetState(5000, &state));
    EXPECT_EQ(State_Paused, state);
    FramePtr frame;
    ASSERT_TRUE(WaitUntil([&] {
        frame.reset(m_presenter->GetFrameData());
        return frame && frame->GetTexture() != nullptr;
    })) << "no frame arrived";
    D3DCOLOR colour = 0;
    ASSERT_HRESULT_SUCCEEDED(ReadPixel(frame->GetTexture(), &colour));
    EXPECT_EQ('r', ClassifyColour(colour)) << std::hex << colour;
    EXPECT_EQ(320u, frame->GetWidth());
    EXPECT_EQ(240u, frame->GetHeight());
}

TEST_F(ClipGraphTest, PlayingThroughTheClipShowsItsColoursInOrderWhileTheClientPolls)
{
    ComPtr<IMediaEvent> events;
    ASSERT_HRESULT_SUCCEEDED(m_graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf())));
    ASSERT_HRESULT_SUCCEEDED(m_control->Run());

    // The client's pace: a poll every 10 ms, each shown texture read back.
    std::string seen;
    bool complete = false;
    const ULONGLONG deadline = GetTickCount64() + 15000;
    while (!complete && GetTickCount64() < deadline)
    {
        FramePtr frame(m_presenter->GetFrameData());
        D3DCOLOR colour = 0;
        if (frame && frame->GetTexture() && SUCCEEDED(ReadPixel(frame->GetTexture(), &colour)))
        {
            const char c = ClassifyColour(colour);
            if (seen.empty() || seen.back() != c)
                seen.push_back(c);
        }
        long code = 0;
        LONG_PTR param1 = 0, param2 = 0;
        while (events->GetEvent(&code, &param1, &param2, 0) == S_OK)
        {
            complete = complete || code == EC_COMPLETE;
            events->FreeEventParams(code, param1, param2);
        }
        Sleep(10);
    }
    EXPECT_TRUE(complete) << "the graph reached the end of the clip";
    std::string colours;
    for (char c : seen)
        if (c != '?')
            colours.push_back(c);
    EXPECT_EQ("rgb", colours) << "shown in order: " << seen;
}
