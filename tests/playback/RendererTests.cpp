// The player's renderer attachment and graph building in-process: the step
// trace's result names, the graph helpers, and files that cannot play.
#include "DShowPlayer.h"
#include "Handles.h"
#include "TestProcess.h"
#include "VideoPlayerMsg.h"
#include "VideoRenderer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using Microsoft::WRL::ComPtr;

TEST(RendererAttachment, StepTraceNamesTheKnownResultsAndPrintsOthersInHexadecimal)
{
    EXPECT_EQ(" OK", ResultName(S_OK));
    EXPECT_EQ(" VFW_S_DUPLICATE_NAME", ResultName(static_cast<HRESULT>(0x0004022D)));
    EXPECT_EQ(" VFW_E_CANNOT_RENDER", ResultName(VFW_E_CANNOT_RENDER));
    EXPECT_EQ(" REGDB_E_CLASSNOTREG", ResultName(REGDB_E_CLASSNOTREG));
    EXPECT_EQ(" VFW_E_CERTIFICATION_FAILURE", ResultName(static_cast<HRESULT>(0x80040295)));
    EXPECT_EQ(" E_OUTOFMEMORY", ResultName(E_OUTOFMEMORY));
    EXPECT_EQ(" 0x1", ResultName(S_FALSE)) << "a success other than S_OK";
    EXPECT_EQ(" 0x80070057", ResultName(E_INVALIDARG));
}

TEST(RendererAttachment, WithoutAFilterTheAttachmentHasNoVideoAndNothingToRemove)
{
    EVR renderer;
    EXPECT_FALSE(renderer.HasVideo());
    EXPECT_EQ(nullptr, renderer.GetFrameData());
    renderer.SetPresenterMode(PRESENTER_MODE_PLAYBACK); // no presenter: nothing to forward to
    bool removed = true;
    EXPECT_EQ(S_OK, renderer.RemoveIfUnconnected(nullptr, &removed));
    EXPECT_TRUE(removed) << "untouched without a filter";
}

TEST(RendererAttachment, GraphHelpersAddByClassAndRemoveAnUnconnectedFilter)
{
    ScopedComInit com(COINIT_MULTITHREADED);
    ASSERT_HRESULT_SUCCEEDED(com.Result());
    ComPtr<IGraphBuilder> graph;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                              reinterpret_cast<void**>(graph.GetAddressOf())));

    IBaseFilter* filter = reinterpret_cast<IBaseFilter*>(1);
    EXPECT_EQ(E_POINTER, AddFilterByCLSID(nullptr, CLSID_FilterGraph, &filter, L"x"));
    const CLSID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(REGDB_E_CLASSNOTREG, AddFilterByCLSID(graph.Get(), unknown, &filter, L"x"));
    EXPECT_EQ(nullptr, filter) << "the out value starts at null";

    ComPtr<IBaseFilter> evr;
    ASSERT_HRESULT_SUCCEEDED(AddFilterByCLSID(graph.Get(), kClsidEnhancedVideoRenderer, &evr, L"EVR"));
    ComPtr<IBaseFilter> found;
    EXPECT_HRESULT_SUCCEEDED(graph->FindFilterByName(L"EVR", &found));
    EXPECT_FALSE(HasConnectedInput(evr.Get()));
    bool removed = false;
    EXPECT_HRESULT_SUCCEEDED(RemoveFilterIfUnconnected(graph.Get(), evr.Get(), &removed));
    EXPECT_TRUE(removed);
    found.Reset();
    EXPECT_TRUE(FAILED(graph->FindFilterByName(L"EVR", &found))) << "the filter left the graph";
}

namespace
{
struct RecordingHandler : IVideoNotifyHandler
{
    std::vector<std::string> errors;
    void onEvent(VideoPlayer*, uint32_t, int32_t, int64_t, const wchar_t*) override {}
    void onError(VideoPlayer*, uint32_t, const std::string& description) override
    {
        errors.push_back(description);
    }
};
} // namespace

TEST(PlayerGraph, FilesThatCannotPlayLeaveThePlayerClosedWithoutARenderer)
{
    if (!HaveTestMedia(L"audio-only.m4a"))
        GTEST_SKIP() << "test-data is made by the qv-test-media target";
    ScopedComInit com(COINIT_MULTITHREADED);
    ASSERT_HRESULT_SUCCEEDED(com.Result());
    struct Case
    {
        const wchar_t* file;
        HRESULT result;
        const char* firstError;
    };
    for (const Case& c : {Case{L"audio-only.m4a", VFW_E_CANNOT_RENDER, " VE_PLAY_ERROR 'failed to render file'"},
                          Case{L"no such file.mp4", static_cast<HRESULT>(0x80070002), nullptr}})
    {
        DShowPlayer player;
        RecordingHandler handler;
        player.SetNotifyHandler(&handler);
        ASSERT_EQ(S_OK, player.Initialize(nullptr, 0));
        EXPECT_EQ(c.result, player.Open(TestMedia(c.file), 1, 0.0f, 0, FloatToBits(1.0f)));
        EXPECT_EQ(PLAYER_STATE_CLOSED, player.GetState());
        EXPECT_FALSE(player.HasVideo());
        EXPECT_EQ(nullptr, player.GetFrameData());
        ASSERT_FALSE(handler.errors.empty());
        if (c.firstError)
        {
            EXPECT_EQ(0u, handler.errors[0].find(c.firstError)) << handler.errors[0];
            EXPECT_EQ(0u, handler.errors.back().find(" VE_PLAY_ERROR 'failed to render, is codec installed?'"))
                << handler.errors.back();
        }
        else
            EXPECT_EQ(0u, handler.errors.back().find(" VE_PLAY_ERROR 'file open has failed'")) << handler.errors.back();
        EXPECT_EQ(c.result, player.Open(TestMedia(c.file), 1, 0.0f, 0, FloatToBits(1.0f)))
            << "a failed open may be tried again: the next graph replaces the aborted one";
        EXPECT_EQ(S_OK, player.Close(true));
        EXPECT_EQ(PLAYER_STATE_SHUTDOWN, player.GetState());
    }
}

// The renderer's mixer control is part of the attachment: a renderer that does
// not serve it fails InitializeEVR, and the real one (with the test prefix's
// layer, as Windows') serves it.
TEST(RendererAttachment, InitializeEvrHandsOutTheMixerControlTheRendererServes)
{
    ScopedComInit com(COINIT_MULTITHREADED);
    ASSERT_HRESULT_SUCCEEDED(com.Result());
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 64, 64, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    {
        ComPtr<IGraphBuilder> graph;
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                                  reinterpret_cast<void**>(graph.GetAddressOf())));
        EVR renderer;
        ASSERT_HRESULT_SUCCEEDED(renderer.AddToGraph(graph.Get(), window, 0));
        ComPtr<IBaseFilter> filter;
        ASSERT_HRESULT_SUCCEEDED(graph->FindFilterByName(L"EVR", &filter));
        ComPtr<IMFVideoDisplayControl> display;
        ComPtr<IMFVideoMixerControl> mixer;
        EXPECT_EQ(S_OK, InitializeEVR(filter.Get(), window, &display, &mixer));
        EXPECT_NE(nullptr, mixer.Get());
    }
    DestroyWindow(window);
}
