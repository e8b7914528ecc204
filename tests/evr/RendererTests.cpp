// The presenter installed in the platform's real Enhanced Video Renderer
// filter: first alone, then in a graph with the test clip, where Wine's filter
// looks up the presenter's services when its input pin connects.
#include "EvrFixture.h"
#include "EvrGuids.h"
#include "Handles.h"
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
    presenter->SetPresenterMode(2);
    ASSERT_HRESULT_SUCCEEDED(renderer->InitializeRenderer(nullptr, videoPresenter.Get()));

    ComPtr<IMFGetService> service;
    ASSERT_HRESULT_SUCCEEDED(filter.As(&service));
    ComPtr<IMFVideoDisplayControl> display;
    ASSERT_HRESULT_SUCCEEDED(service->GetService(evrguids::MR_VIDEO_RENDER_SERVICE, IID_PPV_ARGS(&display)));
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

TEST(RendererTest, TheRealMixerNegotiatesAndRendersThePausedFrameIntoAnEngineTexture)
{
    const std::wstring media = BinDirectory() + L"\\..\\test-data\\clip-rgb.mp4";
    if (GetFileAttributesW(media.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "test-data/clip-rgb.mp4 is made by the qv-test-media target";

    ScopedComInit com(COINIT_MULTITHREADED);
    ASSERT_HRESULT_SUCCEEDED(com.Result());
    MfSession mf;
    DeviceWindow window;
    DiagnosticRecorder diagnostics;

    ComPtr<IEvrD3DPresenter> presenter;
    ASSERT_HRESULT_SUCCEEDED(IEvrD3DPresenter::Create(window.Hwnd(), &presenter));
    ComPtr<IMFVideoPresenter> videoPresenter;
    ASSERT_HRESULT_SUCCEEDED(presenter.As(&videoPresenter));
    presenter->SetPresenterMode(1);
    {
        ComPtr<IFilterGraph2> graph;
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
        ComPtr<IBaseFilter> evr;
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(kClsidEnhancedVideoRenderer, nullptr, CLSCTX_INPROC_SERVER,
                                                  IID_PPV_ARGS(&evr)));
        ComPtr<IMFVideoRenderer> renderer;
        ASSERT_HRESULT_SUCCEEDED(evr.As(&renderer));
        ASSERT_HRESULT_SUCCEEDED(renderer->InitializeRenderer(nullptr, videoPresenter.Get()));
        ASSERT_HRESULT_SUCCEEDED(graph->AddFilter(evr.Get(), L"EVR"));

        ComPtr<IBaseFilter> source;
        ASSERT_HRESULT_SUCCEEDED(graph->AddSourceFilter(media.c_str(), L"source", &source));
        ComPtr<IEnumPins> pins;
        ASSERT_HRESULT_SUCCEEDED(source->EnumPins(&pins));
        ComPtr<IPin> pin;
        HRESULT rendered = E_FAIL;
        while (pins->Next(1, &pin, nullptr) == S_OK)
        {
            PIN_DIRECTION direction = PINDIR_INPUT;
            if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT)
                rendered = graph->RenderEx(pin.Get(), AM_RENDEREX_RENDERTOEXISTINGRENDERERS, nullptr);
            pin.Reset();
        }
        ASSERT_HRESULT_SUCCEEDED(rendered) << "the video reached the renderer";

        ComPtr<IMFVideoMediaType> type;
        ASSERT_HRESULT_SUCCEEDED(videoPresenter->GetCurrentMediaType(&type)) << "negotiated with the real mixer";
        UINT32 width = 0, height = 0;
        ASSERT_HRESULT_SUCCEEDED(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height));
        EXPECT_EQ(320u, width);
        EXPECT_EQ(240u, height);
        GUID subtype{};
        ASSERT_HRESULT_SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype));
        EXPECT_NE(static_cast<DWORD>(D3DFMT_A8R8G8B8), subtype.Data1);

        // Pausing prerolls: the real mixer renders the first (red) frame into
        // one of the engine's textures, which the next poll names.
        ComPtr<IMediaControl> control;
        ASSERT_HRESULT_SUCCEEDED(graph.As(&control));
        EXPECT_HRESULT_SUCCEEDED(control->Pause());
        OAFilterState state = State_Stopped;
        EXPECT_HRESULT_SUCCEEDED(control->GetState(5000, &state));
        EXPECT_EQ(State_Paused, state);
        FramePtr frame;
        EXPECT_TRUE(WaitUntil([&] {
            frame.reset(presenter->GetFrameData());
            return frame && frame->GetTexture() != nullptr;
        })) << "no frame arrived";
        if (frame && frame->GetTexture())
        {
            D3DCOLOR colour = 0;
            ASSERT_HRESULT_SUCCEEDED(ReadPixel(frame->GetTexture(), &colour));
            EXPECT_GE((colour >> 16) & 0xFF, 0xE0u) << std::hex << colour << " is not the clip's red";
            EXPECT_LE((colour >> 8) & 0xFF, 0x20u) << std::hex << colour;
            EXPECT_LE(colour & 0xFF, 0x20u) << std::hex << colour;
            EXPECT_EQ(320u, frame->GetWidth());
            EXPECT_EQ(240u, frame->GetHeight());
        }
        frame.reset();
        EXPECT_HRESULT_SUCCEEDED(control->Stop());

        // Wine 8's mixer dereferences the NULL input type with which the
        // renderer's pin disconnects (SetInputType(0, NULL, 0)) once it has a
        // device manager. Handing the renderer back its own mixer and presenter
        // first lets the graph go down; it also lets our presenter go.
        EXPECT_HRESULT_SUCCEEDED(renderer->InitializeRenderer(nullptr, nullptr));
    }
    // Wine 8's renderer never calls ReleaseServicePointers, neither when its
    // presenter is replaced nor when it goes down; the shown frame would keep
    // the presenter alive through its release callback. Do what the renderer should.
    ComPtr<IMFTopologyServiceLookupClient> lookupClient;
    ASSERT_HRESULT_SUCCEEDED(presenter.As(&lookupClient));
    EXPECT_HRESULT_SUCCEEDED(lookupClient->ReleaseServicePointers());
    lookupClient.Reset();
    videoPresenter.Reset();
    EXPECT_TRUE(WaitUntil([&] { return RefCountOf(presenter.Get()) == 1; }))
        << "references left: " << RefCountOf(presenter.Get());
    presenter.Reset();
    EXPECT_EQ(std::vector<std::string>{}, diagnostics.Unexpected());
}
