// qv-bench-platform CLIENT_HWND INDEX MODE [MEDIA]: the platform's own cost of
// what a video server does at start, with nothing of ours in between.
//   hello   posts its first message at once (a trivial program's start);
//   device  creates a Direct3D 9Ex device as the server's present engine does;
//   graph   builds a DirectShow graph on MEDIA with the system's default
//           renderers and pauses it;
//   run     as graph, then runs it and reports the time to the video
//           renderer's first drawn frame (IQualProp::get_FramesDrawn), or -1
//           when the renderer does not count its frames.
#include "FloorMessages.h"
#include "Handles.h"

#include <windows.h>
#include <d3d9.h>
#include <dshow.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <cwchar>
#include <string>

using Microsoft::WRL::ComPtr;

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
    }
    return nullptr;
}

int Graph(const std::wstring& media, bool run)
{
    ScopedComInit com;
    const double start = NowUs();
    ComPtr<IGraphBuilder> graph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(graph.GetAddressOf()));
    ComPtr<IMediaControl> control;
    if (SUCCEEDED(hr))
        hr = graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(control.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = graph->RenderFile(media.c_str(), nullptr);
    if (SUCCEEDED(hr))
        hr = control->Pause();
    if (SUCCEEDED(hr))
        hr = WaitForState(control.Get());
    if (FAILED(hr))
        return Failed(FLOOR_KIND_GRAPH, hr);
    Figure(FLOOR_KIND_GRAPH, NowUs() - start);
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
    else if (mode == L"graph" || mode == L"run")
        code = Graph(media, mode == L"run");
    DestroyWindow(window);
    return code;
}
