// qv-bench-platform CLIENT_HWND INDEX MODE [MEDIA]: the platform's own cost of
// what a video server does at start, with nothing of ours in between.
//   hello   posts its first message at once (a trivial program's start);
//   device  creates a Direct3D 9Ex device as the server's present engine does;
//   graph   builds a DirectShow graph on MEDIA with the system's default
//           renderers and pauses it;
//   run     as graph, then runs it and reports the time to the video
//           renderer's first drawn frame (IQualProp::get_FramesDrawn), or -1
//           when the renderer does not count its frames; and, through a sample
//           grabber in front of the renderer, when the renderer lets go of its
//           first frame (the next sample then passes the grabber), after Run
//           and after a seek to the start while running;
//   loop    as run, but the seek follows the graph's report of its end;
//   play    as graph, then waits for the benchmark's go, which starts all
//           copies together, plays the file to its end and reports the video
//           samples that reached the renderer (through the sample grabber)
//           and the frames the renderer drew, if it counts them;
//   play-evr as play, with the Enhanced Video Renderer and its own presenter
//           as the renderer, the one the server uses with a presenter of ours,
//           fed by the decoder directly as in the server (no grabber: what
//           reaches it is not counted); while it plays, its current image is
//           read at 60 Hz, as a client polls our server, and the frames told
//           apart by their pixels are reported.
#include "FloorMessages.h"
#include "Handles.h"

#include <windows.h>
#include <d3d9.h>
#include <dshow.h>
#include <evr.h>
#include <mfidl.h>
#include <qedit.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>

using Microsoft::WRL::ComPtr;

// Defined in strmiids; MinGW's qedit.h leaves out its declaration.
EXTERN_C const CLSID CLSID_SampleGrabber;
constexpr CLSID kClsidEnhancedVideoRenderer = {0xfa10746c, 0x9b63, 0x4b6c,
                                               {0xbc, 0x49, 0xfc, 0x30, 0x0e, 0xa5, 0xf2, 0x56}};

namespace
{
HWND g_client = nullptr;
int g_index = 0;
LARGE_INTEGER g_frequency;

double NowUs()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(g_frequency.QuadPart);
}

void Figure(int kind, double us)
{
    PostMessageW(g_client, kFloorFigure, FloorTag(g_index, kind), static_cast<LPARAM>(us));
}

int Failed(int kind, HRESULT hr)
{
    PostMessageW(g_client, kFloorFailed, FloorTag(g_index, kind), static_cast<LPARAM>(hr));
    return 1;
}

void Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

int Device(HWND window)
{
    const double start = NowUs();
    ComPtr<IDirect3D9Ex> d3d;
    HRESULT hr = Direct3DCreate9Ex(D3D_SDK_VERSION, &d3d);
    if (FAILED(hr))
        return Failed(FLOOR_KIND_DEVICE, hr);
    D3DPRESENT_PARAMETERS pp{};
    pp.BackBufferWidth = 2;
    pp.BackBufferHeight = 2;
    pp.BackBufferFormat = D3DFMT_UNKNOWN;
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    pp.hDeviceWindow = window;
    pp.Windowed = TRUE;
    pp.Flags = D3DPRESENTFLAG_VIDEO;
    pp.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
    D3DCAPS9 caps{};
    hr = d3d->GetDeviceCaps(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, &caps);
    if (FAILED(hr))
        return Failed(FLOOR_KIND_DEVICE, hr);
    const DWORD vertexProcessing = (caps.DevCaps & D3DDEVCAPS_HWTRANSFORMANDLIGHT) ? D3DCREATE_HARDWARE_VERTEXPROCESSING
                                                                                   : D3DCREATE_SOFTWARE_VERTEXPROCESSING;
    ComPtr<IDirect3DDevice9Ex> device;
    hr = d3d->CreateDeviceEx(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, nullptr,
                             vertexProcessing | D3DCREATE_NOWINDOWCHANGES | D3DCREATE_MULTITHREADED |
                                 D3DCREATE_FPU_PRESERVE,
                             &pp, nullptr, &device);
    if (FAILED(hr))
        return Failed(FLOOR_KIND_DEVICE, hr);
    Figure(FLOOR_KIND_DEVICE, NowUs() - start);
    return 0;
}

// Waits for a state change while this thread's windows keep being served.
HRESULT WaitForState(IMediaControl* control)
{
    OAFilterState state = State_Stopped;
    HRESULT hr = VFW_S_STATE_INTERMEDIATE;
    for (int i = 0; i < 10000 && hr == VFW_S_STATE_INTERMEDIATE; ++i)
    {
        Pump();
        hr = control->GetState(1, &state);
    }
    return hr;
}

// Waits for the graph's EC_COMPLETE while this thread's windows keep being
// served; tick, when given, runs 60 times a second meanwhile, as a client's
// polls do.
void WaitForTheEnd(IMediaEvent* events, double timeoutUs, const std::function<void()>& tick = nullptr)
{
    long code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    const double from = NowUs();
    double next = from;
    while (code != EC_COMPLETE && NowUs() - from < timeoutUs)
    {
        Pump();
        long waitMs = 1;
        if (tick)
        {
            tick();
            next += 1e6 / 60.0;
            const double left = next - NowUs();
            waitMs = left > 0 ? static_cast<long>(std::ceil(left / 1000.0)) : 0;
        }
        if (SUCCEEDED(events->GetEvent(&code, &p1, &p2, waitMs)))
            events->FreeEventParams(code, p1, p2);
    }
}

// The video renderer's frame counter, if one of the graph's filters keeps one.
ComPtr<IQualProp> FindFrameCounter(IGraphBuilder* graph)
{
    ComPtr<IEnumFilters> filters;
    if (FAILED(graph->EnumFilters(&filters)))
        return nullptr;
    ComPtr<IBaseFilter> filter;
    while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK)
    {
        ComPtr<IQualProp> counter;
        int drawn = 0;
        if (SUCCEEDED(filter->QueryInterface(IID_IQualProp, reinterpret_cast<void**>(counter.GetAddressOf()))) &&
            SUCCEEDED(counter->get_FramesDrawn(&drawn)))
            return counter;
        // The Enhanced Video Renderer's presenter keeps the count.
        ComPtr<IMFGetService> service;
        if (SUCCEEDED(filter->QueryInterface(IID_IMFGetService, reinterpret_cast<void**>(service.GetAddressOf()))) &&
            SUCCEEDED(service->GetService(MR_VIDEO_RENDER_SERVICE, IID_IQualProp,
                                          reinterpret_cast<void**>(counter.ReleaseAndGetAddressOf()))) &&
            SUCCEEDED(counter->get_FramesDrawn(&drawn)))
            return counter;
    }
    return nullptr;
}

// Notes when video samples pass a sample grabber put in front of the
// renderer: the platform's own delivery, with nothing of ours downstream.
class SampleClock : public ISampleGrabberCB
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override
    {
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB)
        {
            *out = static_cast<ISampleGrabberCB*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; } // lives on the stack of Graph, beyond the graph
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    // Samples still in flight from before a Run or a seek also pass by; only
    // a sample whose media time lies in [m_from, m_to) counts, and the first
    // m_skip of those pass uncounted.
    STDMETHODIMP SampleCB(double time, IMediaSample*) override
    {
        ++m_passed;
        const double now = NowUs();
        const double runAt = m_runAt.load();
        if (runAt > 0.0 && m_firstAfterRun.load() < 0.0 && time >= m_from.load() && time < m_to.load())
        {
            if (m_skip.load() > 0)
                --m_skip;
            else
                m_firstAfterRun = now - runAt;
        }
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE*, long) override { return E_NOTIMPL; }

    std::atomic<double> m_runAt{0.0};
    std::atomic<double> m_firstAfterRun{-1.0};
    std::atomic<double> m_from{0.001}; // after Run: not the paused graph's first sample again
    std::atomic<double> m_to{1e9};
    std::atomic<int> m_skip{0};
    std::atomic<int> m_passed{0}; // every sample, the paused graph's first included
};

// The Enhanced Video Renderer, with its own presenter, put in the graph
// before it is built, as the server puts in its own: the graph's building
// tries the filters it already holds first, so the decoder feeds the EVR
// directly and hears its quality messages, as the server's decoder does.
HRESULT AddTheEvr(IGraphBuilder* graph, ComPtr<IBaseFilter>* evr)
{
    HRESULT hr = CoCreateInstance(kClsidEnhancedVideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(evr->GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = graph->AddFilter(evr->Get(), L"EVR");
    return hr;
}

// Whether the graph's building connected the filter's input.
bool IsFed(IBaseFilter* filter)
{
    ComPtr<IEnumPins> pins;
    ComPtr<IPin> pin, peer;
    if (FAILED(filter->EnumPins(&pins)))
        return false;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK)
    {
        PIN_DIRECTION direction = PINDIR_OUTPUT;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_INPUT &&
            SUCCEEDED(pin->ConnectedTo(peer.ReleaseAndGetAddressOf())))
            return true;
    }
    return false;
}

// The EVR's display control, through which its current image is read.
ComPtr<IMFVideoDisplayControl> FindDisplayControl(IGraphBuilder* graph)
{
    ComPtr<IBaseFilter> evr;
    ComPtr<IMFGetService> service;
    ComPtr<IMFVideoDisplayControl> display;
    if (SUCCEEDED(graph->FindFilterByName(L"EVR", &evr)) &&
        SUCCEEDED(evr->QueryInterface(IID_IMFGetService, reinterpret_cast<void**>(service.GetAddressOf()))) &&
        SUCCEEDED(service->GetService(MR_VIDEO_RENDER_SERVICE, IID_PPV_ARGS(&display))))
        return display;
    return nullptr;
}

// Reads the renderer's current image, as a client polls a server; counts
// the frames it shows, told apart by their pixels.
class ImageWatch
{
public:
    explicit ImageWatch(IMFVideoDisplayControl* display) : m_display(display) {}

    void Read()
    {
        BITMAPINFOHEADER header{};
        header.biSize = sizeof(header);
        BYTE* image = nullptr;
        DWORD size = 0;
        LONGLONG time = 0;
        if (FAILED(m_display->GetCurrentImage(&header, &image, &size, &time)) || !image)
            return;
        // Wine's presenter gives no time stamp. The test clips' scrolling
        // gradient changes every frame, so every 16th word of the image
        // tells frames apart at a fraction of the cost of reading it all.
        uint64_t hash = 1469598103934665603ull;
        for (DWORD at = 0; at + sizeof(uint64_t) <= size; at += 16 * sizeof(uint64_t))
        {
            uint64_t word = 0;
            std::memcpy(&word, image + at, sizeof(word));
            hash = (hash ^ word) * 1099511628211ull;
        }
        CoTaskMemFree(image);
        m_readable = true;
        if (hash != m_last)
            ++m_shown;
        m_last = hash;
    }

    // -1 when the renderer gave no image.
    int Shown() const { return m_readable ? m_shown : -1; }

private:
    IMFVideoDisplayControl* m_display; // borrowed
    int m_shown = 0;
    bool m_readable = false;
    uint64_t m_last = 0;
};

// Plays a paused graph to its end once the benchmark says go, with the
// other copies; reports what reached the renderer and what it drew.
int PlayToTheEnd(IGraphBuilder* graph, IMediaControl* control, const SampleClock& clock, bool grabbing)
{
    UniqueHandle go(OpenEventW(SYNCHRONIZE, FALSE, FloorGoName(g_client).c_str()));
    if (!go)
        return Failed(FLOOR_KIND_PLAYED_SAMPLES, HRESULT_FROM_WIN32(GetLastError()));
    HANDLE wait = go.Get();
    while (MsgWaitForMultipleObjects(1, &wait, FALSE, 120000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        Pump();
    ComPtr<IMediaEvent> events;
    HRESULT hr = graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf()));
    ComPtr<IQualProp> counter = FindFrameCounter(graph);
    ComPtr<IMFVideoDisplayControl> display = FindDisplayControl(graph);
    if (SUCCEEDED(hr))
        hr = control->Run();
    if (FAILED(hr))
        return Failed(FLOOR_KIND_PLAYED_SAMPLES, hr);
    int shown = -1;
    if (display)
    {
        ImageWatch watch(display.Get());
        WaitForTheEnd(events.Get(), 120e6, [&watch] { watch.Read(); });
        watch.Read(); // the end leaves its last frame in place, for the next read as for a player's next poll
        shown = watch.Shown();
    }
    else
        WaitForTheEnd(events.Get(), 120e6);
    int drawn = -1;
    if (counter && FAILED(counter->get_FramesDrawn(&drawn)))
        drawn = -1;
    Figure(FLOOR_KIND_PLAYED_SAMPLES, grabbing ? clock.m_passed.load() : -1);
    Figure(FLOOR_KIND_PLAYED_DRAWN, drawn);
    Figure(FLOOR_KIND_PLAYED_SHOWN, shown);
    control->Stop();
    return 0;
}

int Graph(const std::wstring& media, bool run, bool atEnd, bool play, bool evr)
{
    ScopedComInit com;
    const double start = NowUs();
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(graph.GetAddressOf()));
    ComPtr<IMediaControl> control;
    if (SUCCEEDED(hr))
        hr = graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(control.GetAddressOf()));
    // The run and play modes put a sample grabber in first; the graph's building tries
    // the filters it already holds before any other. The EVR's play mode has
    // none: a grabber would keep the renderer's quality messages from the decoder.
    SampleClock clock;
    ComPtr<IBaseFilter> grabberFilter, evrFilter;
    if (SUCCEEDED(hr) && evr)
        hr = AddTheEvr(graph.Get(), &evrFilter);
    else if (SUCCEEDED(hr) && (run || play) &&
        SUCCEEDED(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void**>(grabberFilter.GetAddressOf()))))
    {
        ComPtr<ISampleGrabber> grabber;
        AM_MEDIA_TYPE type{};
        type.majortype = MEDIATYPE_Video;
        if (SUCCEEDED(grabberFilter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(grabber.GetAddressOf()))) &&
            SUCCEEDED(grabber->SetMediaType(&type)) && SUCCEEDED(grabber->SetCallback(&clock, 0)))
            graph->AddFilter(grabberFilter.Get(), L"Sample clock");
        else
            grabberFilter.Reset();
    }
    if (SUCCEEDED(hr))
        hr = graph->RenderFile(media.c_str(), nullptr);
    if (SUCCEEDED(hr) && evrFilter && !IsFed(evrFilter.Get()))
        hr = VFW_E_NOT_CONNECTED;
    if (SUCCEEDED(hr))
        hr = control->Pause();
    if (SUCCEEDED(hr))
        hr = WaitForState(control.Get());
    if (FAILED(hr))
        return Failed(FLOOR_KIND_GRAPH, hr);
    Figure(FLOOR_KIND_GRAPH, NowUs() - start);
    if (play)
        return PlayToTheEnd(graph.Get(), control.Get(), clock, grabberFilter != nullptr);
    if (!run)
    {
        control->Stop();
        return 0;
    }

    ComPtr<IQualProp> counter = FindFrameCounter(graph.Get());
    int before = 0;
    if (counter)
        counter->get_FramesDrawn(&before);
    const double runAt = NowUs();
    clock.m_runAt = runAt;
    hr = control->Run();
    if (FAILED(hr))
        return Failed(FLOOR_KIND_FIRST_FRAME, hr);
    double firstUs = -1.0;
    while (counter && NowUs() - runAt < 3e6)
    {
        int drawn = before;
        if (SUCCEEDED(counter->get_FramesDrawn(&drawn)) && drawn > before)
        {
            firstUs = NowUs() - runAt;
            break;
        }
        Pump();
        Sleep(1);
    }
    Figure(FLOOR_KIND_FIRST_FRAME, firstUs);
    // The sample after the paused one, as it reaches the renderer.
    while (grabberFilter && clock.m_firstAfterRun.load() < 0.0 && NowUs() - runAt < 3e6)
    {
        Pump();
        Sleep(1);
    }
    Figure(FLOOR_KIND_SAMPLE_AFTER_RUN, grabberFilter ? clock.m_firstAfterRun.load() : -1.0);

    // A seek to the start while running: in the middle of the file, or, in the
    // loop mode, as a loop restart does it, once the graph reports its end.
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IMediaEvent> events;
    LONGLONG zero = 0;
    if (grabberFilter && clock.m_firstAfterRun.load() >= 0.0 &&
        SUCCEEDED(graph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(seeking.GetAddressOf()))) &&
        SUCCEEDED(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf()))))
    {
        if (atEnd)
            WaitForTheEnd(events.Get(), 20e6);
        else
            Sleep(500); // well into the file: its samples in flight lie beyond 0.2 s
        // The new segment's first sample passes at once and waits in the
        // renderer until its time; the second passes once the renderer has let
        // go of it. Which time the first carries is the splitter's (0 s, or
        // 0.08 s from Wine's for the test clips), so the first is counted out,
        // not told by its time; samples from before the seek lie beyond 0.2 s.
        clock.m_from = 0.0;
        clock.m_to = 0.2;
        clock.m_skip = 1;
        clock.m_firstAfterRun = -1.0;
        const double seekAt = NowUs();
        clock.m_runAt = seekAt;
        hr = seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
        while (SUCCEEDED(hr) && clock.m_firstAfterRun.load() < 0.0 && NowUs() - seekAt < 3e6)
        {
            Pump();
            Sleep(1);
        }
        Figure(FLOOR_KIND_SAMPLE_AFTER_SEEK, SUCCEEDED(hr) ? clock.m_firstAfterRun.load() : -1.0);
    }
    control->Stop();
    return 0;
}
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    QueryPerformanceFrequency(&g_frequency);
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 4)
        return 2;
    g_client = reinterpret_cast<HWND>(static_cast<intptr_t>(std::wcstoll(argv[1], nullptr, 10)));
    g_index = _wtoi(argv[2]);
    const std::wstring mode = argv[3];
    const std::wstring media = argc > 4 ? argv[4] : L"";
    LocalFree(argv);

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = L"QvBenchFloor";
    RegisterClassExW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, nullptr, WS_POPUP, 0, 0, 16, 16, nullptr, nullptr, instance,
                                  nullptr);
    if (!window)
        return Failed(FLOOR_KIND_HELLO, HRESULT_FROM_WIN32(GetLastError()));
    Figure(FLOOR_KIND_HELLO, 0.0);
    int code = 0;
    if (mode == L"device")
        code = Device(window);
    else if (mode == L"graph" || mode == L"run" || mode == L"loop" || mode == L"play" || mode == L"play-evr")
        code = Graph(media, mode == L"run" || mode == L"loop", mode == L"loop", mode == L"play" || mode == L"play-evr",
                     mode == L"play-evr");
    DestroyWindow(window);
    return code;
}
