#include "RenderThread.h"

#include "Handles.h"
#include "HexText.h"
#include "HostState.h"
#include "JavaHost.h"
#include "Log.h"
#include "MemoryWatch.h"
#include "PlayerCycle.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"

#include <d3d9.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{
const DWORD kMinFrameIntervalUs = 4000;
const DWORD kOccludedSleepMs = 20;
const int kFrameStage = 0;
// GDI colours (0x00BBGGRR) of the overlay text and of the last player error.
const COLORREF kOverlayColour = RGB(255, 255, 160);
const COLORREF kErrorColour = RGB(255, 96, 96);
const int kOverlayWidth = 640;
const int kOverlayHeight = 360;
const int kOverlayLineHeight = 20;

class UniqueFont
{
public:
    UniqueFont() = default;
    ~UniqueFont() { Reset(); }
    UniqueFont(const UniqueFont&) = delete;
    UniqueFont& operator=(const UniqueFont&) = delete;
    HFONT Get() const { return m_font; }
    void Reset(HFONT font = nullptr)
    {
        if (m_font)
            DeleteObject(m_font);
        m_font = font;
    }

private:
    HFONT m_font = nullptr;
};

struct QuadVertex
{
    float x, y, z, rhw;
    D3DCOLOR diffuse;
    float u, v;
};
const DWORD kQuadFvf = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1;

void RenderError(const char* step, HRESULT hr)
{
    const std::string text = "render error " + Hex(hr) + " (" + step + ")";
    OutputDebugStringA((text + "\n").c_str());
    Log("RenderThread [ERROR]", text);
}

// Decodes a picture file with WIC, part of Windows, into a default-pool
// texture. A Direct3D 9Ex device has no managed pool and a default-pool
// texture cannot be locked, so the pixels go through a system-memory copy.
HRESULT LoadTexture(IDirect3DDevice9Ex* device, const wchar_t* path, ComPtr<IDirect3DTexture9>* texture)
{
    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
    ComPtr<IWICBitmapDecoder> decoder;
    if (SUCCEEDED(hr))
        hr = factory->CreateDecoderFromFilename(path, nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, &decoder);
    ComPtr<IWICBitmapFrameDecode> frame;
    if (SUCCEEDED(hr))
        hr = decoder->GetFrame(0, &frame);
    ComPtr<IWICFormatConverter> converter;
    if (SUCCEEDED(hr))
        hr = factory->CreateFormatConverter(&converter);
    // BGRA bytes are D3DFMT_A8R8G8B8; straight alpha, as the blending expects.
    if (SUCCEEDED(hr))
        hr = converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom);
    UINT width = 0, height = 0;
    if (SUCCEEDED(hr))
        hr = converter->GetSize(&width, &height);
    ComPtr<IDirect3DTexture9> staging;
    if (SUCCEEDED(hr))
        hr = device->CreateTexture(width, height, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &staging, nullptr);
    D3DLOCKED_RECT locked = {};
    if (SUCCEEDED(hr))
        hr = staging->LockRect(0, &locked, nullptr, 0);
    if (SUCCEEDED(hr))
    {
        hr = converter->CopyPixels(nullptr, static_cast<UINT>(locked.Pitch), static_cast<UINT>(locked.Pitch) * height,
                                   static_cast<BYTE*>(locked.pBits));
        staging->UnlockRect(0);
    }
    ComPtr<IDirect3DTexture9> loaded;
    if (SUCCEEDED(hr))
        hr = device->CreateTexture(width, height, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_DEFAULT, &loaded, nullptr);
    if (SUCCEEDED(hr))
        hr = device->UpdateTexture(staging.Get(), loaded.Get());
    if (SUCCEEDED(hr))
        *texture = std::move(loaded);
    return hr;
}

SIZE ClientSize(HWND window)
{
    RECT client = {};
    GetClientRect(window, &client);
    return SIZE{client.right - client.left, client.bottom - client.top};
}

class Renderer
{
public:
    explicit Renderer(HostState& state) : m_state(state) {}
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    bool Create();
    void Run();

private:
    HRESULT CreateDevice();
    HRESULT CreateDrawingResources();
    void ResizeIfNeeded();
    HRESULT ResetDevice(UINT width, UINT height);
    void DrawFrame();
    void DrawDecoration();
    void DrawPlayerFrame();
    // textureAlpha: the texture's alpha times the diffuse one, else the diffuse alone.
    void DrawQuad(const RECT& rect, D3DCOLOR diffuse, bool alphaBlend = true, bool textureAlpha = false);
    void DrawOverlay();
    void UpdateOverlayText(const std::vector<std::string>& lines);
    bool Present();
    void WaitForFrameInterval();

    HostState& m_state;
    ComPtr<IDirect3D9Ex> m_d3d;
    ComPtr<IDirect3DDevice9Ex> m_device;
    ComPtr<IDirect3DSwapChain9Ex> m_swapChain;
    ComPtr<IDirect3DTexture9> m_decorationTexture;
    ComPtr<IDirect3DTexture9> m_spriteTexture;
    // The overlay text: drawn by GDI on a system-memory surface and copied to
    // a texture. GDI text works on every device and needs no runtime that
    // Windows does not ship.
    UniqueFont m_font;
    ComPtr<IDirect3DSurface9> m_overlaySurface;
    ComPtr<IDirect3DTexture9> m_overlayTexture;
    D3DPRESENT_PARAMETERS m_params = {};
    bool m_fullScreenApplied = false;
    bool m_occluded = false;

    // The render thread joins the VM when the first player appears.
    std::unique_ptr<JvmThreadScope> m_jvm;
    jlongArray m_frameData = nullptr; // global reference

    LARGE_INTEGER m_frequency = {};
    LARGE_INTEGER m_lastFrame = {};
    double m_lastFrameSeconds = 0.0;
    int m_alpha = 0;
    unsigned m_frameCount = 0;
    std::string m_status;
    std::string m_lastError;
    OverlayFigures m_figures;
    MemoryWatch m_memory;
};

Renderer::~Renderer()
{
    if (m_frameData && m_jvm && m_jvm->Env())
        m_jvm->Env()->DeleteGlobalRef(m_frameData);
}

bool Renderer::Create()
{
    CScopedLock lock(m_state.deviceLock);
    QueryPerformanceFrequency(&m_frequency);
    QueryPerformanceCounter(&m_lastFrame);
    HRESULT hr = Direct3DCreate9Ex(D3D_SDK_VERSION, &m_d3d);
    if (FAILED(hr) || !m_d3d)
    {
        // Not foreseen by a start-up that waits for initialised or finished;
        // reported like the later steps so that nobody waits for nothing.
        RenderError("Direct3DCreate9Ex", FAILED(hr) ? hr : E_FAIL);
        return false;
    }
    if (m_state.stop)
        return false;
    hr = CreateDevice();
    if (SUCCEEDED(hr))
        hr = CreateDrawingResources();
    if (FAILED(hr))
        return false;
    hr = m_device->SetGPUThreadPriority(5);
    if (FAILED(hr))
        Log("RenderThread", "SetGPUThreadPriority failed; drawing goes on at the default priority");
    return !m_state.stop;
}

HRESULT Renderer::CreateDevice()
{
    const SIZE size = ClientSize(m_state.window);
    m_params.BackBufferWidth = size.cx > 0 ? size.cx : HostSettings::kClientWidth;
    m_params.BackBufferHeight = size.cy > 0 ? size.cy : HostSettings::kClientHeight;
    m_params.BackBufferFormat = D3DFMT_X8R8G8B8;
    m_params.BackBufferCount = 1;
    m_params.SwapEffect = D3DSWAPEFFECT_DISCARD;
    m_params.hDeviceWindow = m_state.window;
    m_params.Windowed = TRUE;
    m_params.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
    HRESULT hr = m_d3d->CreateDeviceEx(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, m_state.window,
                                       D3DCREATE_HARDWARE_VERTEXPROCESSING | D3DCREATE_MULTITHREADED |
                                           D3DCREATE_FPU_PRESERVE,
                                       &m_params, nullptr, &m_device);
    if (FAILED(hr))
    {
        RenderError("CreateDeviceEx", hr);
        return hr;
    }
    ComPtr<IDirect3DSwapChain9> swapChain;
    if (SUCCEEDED(m_device->GetSwapChain(0, &swapChain)))
        swapChain.As(&m_swapChain); // without it the refresh counts stay 0
    return S_OK;
}

HRESULT Renderer::CreateDrawingResources()
{
    HRESULT hr = LoadTexture(m_device.Get(), HostSettings::kDecorationTexture, &m_decorationTexture);
    if (FAILED(hr))
    {
        RenderError("texture1.jpg", hr);
        return hr;
    }
    hr = LoadTexture(m_device.Get(), HostSettings::kDecorationSprite, &m_spriteTexture);
    if (FAILED(hr))
    {
        RenderError("sprite.png", hr);
        return hr;
    }
    m_font.Reset(CreateFontW(kOverlayLineHeight - 2, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                             HostSettings::kOverlayFont));
    if (!m_font.Get())
    {
        RenderError("CreateFont", E_FAIL);
        return E_FAIL;
    }
    hr = m_device->CreateOffscreenPlainSurface(kOverlayWidth, kOverlayHeight, D3DFMT_X8R8G8B8, D3DPOOL_SYSTEMMEM,
                                               &m_overlaySurface, nullptr);
    if (SUCCEEDED(hr))
        hr = m_device->CreateTexture(kOverlayWidth, kOverlayHeight, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT,
                                     &m_overlayTexture, nullptr);
    if (FAILED(hr))
        RenderError("overlay surface", hr);
    return hr;
}

void Renderer::Run()
{
    while (!m_state.stop)
    {
        if (m_occluded)
        {
            Sleep(kOccludedSleepMs);
            if (m_device->CheckDeviceState(m_state.window) == S_OK)
                m_occluded = false;
            continue;
        }
        ResizeIfNeeded();
        DrawFrame();
        if (!Present())
            break;
    }
}

void Renderer::ResizeIfNeeded()
{
    const bool fullScreen = m_state.fullScreen;
    if (fullScreen && !m_fullScreenApplied)
    {
        m_fullScreenApplied = true;
        HWND window = m_state.window;
        SetWindowLongPtrW(window, GWL_STYLE, GetWindowLongPtrW(window, GWL_STYLE) & ~(WS_CAPTION | WS_THICKFRAME));
        SetWindowLongPtrW(window, GWL_EXSTYLE, GetWindowLongPtrW(window, GWL_EXSTYLE) & ~WS_EX_CLIENTEDGE);
        MONITORINFO monitor = {};
        monitor.cbSize = sizeof(monitor);
        GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
        SetWindowPos(window, HWND_TOP, 0, 0, monitor.rcMonitor.right - monitor.rcMonitor.left,
                     monitor.rcMonitor.bottom - monitor.rcMonitor.top, SWP_FRAMECHANGED | SWP_SHOWWINDOW);
    }
    const SIZE size = ClientSize(m_state.window);
    if (size.cx <= 0 || size.cy <= 0)
        return; // minimised: keep the back buffer
    if (static_cast<UINT>(size.cx) != m_params.BackBufferWidth ||
        static_cast<UINT>(size.cy) != m_params.BackBufferHeight)
        ResetDevice(size.cx, size.cy);
}

HRESULT Renderer::ResetDevice(UINT width, UINT height)
{
    m_params.BackBufferWidth = width;
    m_params.BackBufferHeight = height;
    const HRESULT hr = m_device->ResetEx(&m_params, nullptr);
    if (FAILED(hr))
    {
        RenderError("ResetEx", hr); // tried again at the next lost device or size change
    }
    else
    {
        std::ostringstream text;
        text << "back buffer " << width << "x" << height;
        Log("RenderThread", text);
    }
    return hr;
}

void Renderer::WaitForFrameInterval()
{
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    const LONGLONG minTicks = m_frequency.QuadPart * kMinFrameIntervalUs / 1000000;
    const LONGLONG elapsed = now.QuadPart - m_lastFrame.QuadPart;
    if (elapsed < minTicks)
    {
        Sleep(static_cast<DWORD>((minTicks - elapsed) * 1000 / m_frequency.QuadPart) + 1);
        QueryPerformanceCounter(&now);
    }
    m_lastFrameSeconds = static_cast<double>(now.QuadPart - m_lastFrame.QuadPart) / m_frequency.QuadPart;
    m_lastFrame = now;
}

void Renderer::DrawFrame()
{
    CScopedLock lock(m_state.playerLock);
    WaitForFrameInterval();
    m_device->Clear(0, nullptr, D3DCLEAR_TARGET, D3DCOLOR_XRGB(16, 24, 48), 1.0f, 0);
    if (FAILED(m_device->BeginScene()))
        return; // a lost device: Present reports it
    DrawDecoration();
    DrawPlayerFrame();
    m_figures.lastFrameSeconds = m_lastFrameSeconds;
    m_figures.playerCount = m_state.playerCount;
    m_memory = m_state.memory;
    m_lastError = m_state.lastPlayerError;
    DrawOverlay();
    m_device->EndScene();
    ++m_frameCount;
}

void Renderer::DrawQuad(const RECT& rect, D3DCOLOR diffuse, bool alphaBlend, bool textureAlpha)
{
    const float left = rect.left - 0.5f, top = rect.top - 0.5f;
    const float right = rect.right - 0.5f, bottom = rect.bottom - 0.5f;
    const QuadVertex quad[4] = {{left, top, 0.0f, 1.0f, diffuse, 0.0f, 0.0f},
                                {right, top, 0.0f, 1.0f, diffuse, 1.0f, 0.0f},
                                {left, bottom, 0.0f, 1.0f, diffuse, 0.0f, 1.0f},
                                {right, bottom, 0.0f, 1.0f, diffuse, 1.0f, 1.0f}};
    m_device->SetFVF(kQuadFvf);
    m_device->SetRenderState(D3DRS_LIGHTING, FALSE);
    m_device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    m_device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
    if (alphaBlend)
    {
        m_device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
        m_device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
    }
    m_device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
    m_device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    m_device->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
    m_device->SetTextureStageState(0, D3DTSS_ALPHAOP, textureAlpha ? D3DTOP_MODULATE : D3DTOP_SELECTARG1);
    m_device->SetTextureStageState(0, D3DTSS_ALPHAARG1, textureAlpha ? D3DTA_TEXTURE : D3DTA_DIFFUSE);
    m_device->SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_DIFFUSE);
    m_device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(QuadVertex));
}

void Renderer::DrawDecoration()
{
    const UINT width = m_params.BackBufferWidth, height = m_params.BackBufferHeight;
    // A dimmed background picture and two bars under the overlay.
    m_device->SetTexture(0, m_decorationTexture.Get());
    m_device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
    m_device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
    DrawQuad(RECT{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)}, D3DCOLOR_ARGB(255, 96, 96, 96));
    m_device->SetTexture(0, nullptr);
    const D3DRECT bars[2] = {{0, 0, static_cast<LONG>(width), 4},
                             {0, static_cast<LONG>(height) - 4, static_cast<LONG>(width), static_cast<LONG>(height)}};
    m_device->Clear(2, bars, D3DCLEAR_TARGET, D3DCOLOR_XRGB(200, 120, 0), 1.0f, 0);
}

void Renderer::DrawPlayerFrame()
{
    const jlong player = m_state.player;
    if (!player)
    {
        m_status = "player not initialized ";
        return;
    }
    if (!m_jvm)
        m_jvm.reset(new JvmThreadScope(m_state.java.vm));
    JNIEnv* env = m_jvm->Env();
    if (!env)
    {
        m_status = "player not initialized (no Java environment)";
        return;
    }
    if (!m_frameData)
    {
        jlongArray local = env->NewLongArray(4);
        if (local)
        {
            m_frameData = static_cast<jlongArray>(env->NewGlobalRef(local));
            env->DeleteLocalRef(local);
        }
        if (!m_frameData)
        {
            m_status = "no render data";
            return;
        }
    }

    const float opacity = m_alpha / 255.0f;
    if (m_alpha <= 255)
        m_alpha = m_alpha + 4 > 255 ? 256 : m_alpha + 4;
    const jint got =
        Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetFrameTexture(env, nullptr, player,
                                                                                              m_frameData);
    if (got != 0)
    {
        m_status = "no render data";
        return;
    }
    const UINT width = m_params.BackBufferWidth, height = m_params.BackBufferHeight;
    const RECT target = {static_cast<LONG>(width / 8), static_cast<LONG>(height / 8), static_cast<LONG>(width * 7 / 8),
                         static_cast<LONG>(height * 7 / 8)};
    const jint applied = Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nApplyFrameTexture(
        env, nullptr, player, 0, static_cast<jlong>(reinterpret_cast<intptr_t>(m_device.Get())), kFrameStage,
        target.right - target.left, target.bottom - target.top, opacity > 1.0f ? 1.0f : opacity, m_frameData);
    if (applied != 0)
    {
        m_status = "video render has failed " + std::to_string(applied);
        return;
    }
    const int alpha = m_alpha > 255 ? 255 : m_alpha;
    DrawQuad(target, D3DCOLOR_ARGB(alpha, 255, 255, 255));
    m_device->SetTexture(kFrameStage, nullptr);
    m_status.clear();
    ++m_state.framesOfPlayer;
    if (m_state.firstFrame)
    {
        m_state.firstFrame = false;
        const bool stub = HostSettings::kClientStubMode || HostSettings::kServerStubMode;
        RequestPlayerTimer(m_state, stub ? 1 : 2000);
        jlong frame[4] = {};
        env->GetLongArrayRegion(m_frameData, 0, 4, frame);
        std::ostringstream text;
        text << "first frame drawn, Player Count: " << m_state.playerCount << ", frame " << frame[0] << "x" << frame[1]
             << " format " << frame[2];
        Log("RenderThread", text);
    }
}

void Renderer::DrawOverlay()
{
    if (m_swapChain)
    {
        D3DPRESENTSTATS stats = {};
        if (SUCCEEDED(m_swapChain->GetPresentStats(&stats)))
        {
            m_figures.presentRefreshCount = stats.PresentRefreshCount;
            m_figures.syncRefreshCount = stats.SyncRefreshCount;
        }
    }
    if (m_frameCount % 30 == 0)
        m_figures.memoryCurrent = CurrentWorkingSet();

    std::vector<std::string> lines = OverlayLines(m_figures, m_memory);
    if (!m_status.empty())
        lines.push_back(m_status);
    // Text changes a few times a second; redrawing it every frame would only cost.
    if (m_frameCount % 10 == 0)
        UpdateOverlayText(lines);
    m_device->SetTexture(0, m_overlayTexture.Get());
    m_device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ONE);
    m_device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ONE);
    DrawQuad(RECT{12, 12, 12 + kOverlayWidth, 12 + kOverlayHeight}, D3DCOLOR_ARGB(255, 255, 255, 255), false);
    m_device->SetTexture(0, nullptr);

    // The sprite moves along the top edge, blended by its own alpha.
    D3DSURFACE_DESC sprite = {};
    if (SUCCEEDED(m_spriteTexture->GetLevelDesc(0, &sprite)))
    {
        const LONG left = static_cast<LONG>(m_params.BackBufferWidth) - 80 - static_cast<LONG>(m_frameCount % 200);
        m_device->SetTexture(0, m_spriteTexture.Get());
        DrawQuad(RECT{left, 12, left + static_cast<LONG>(sprite.Width), 12 + static_cast<LONG>(sprite.Height)},
                 D3DCOLOR_ARGB(255, 255, 255, 255), true, true);
        m_device->SetTexture(0, nullptr);
    }
}

void Renderer::UpdateOverlayText(const std::vector<std::string>& lines)
{
    HDC dc = nullptr;
    if (FAILED(m_overlaySurface->GetDC(&dc)))
        return; // the previous text stays
    const RECT all = {0, 0, kOverlayWidth, kOverlayHeight};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    HGDIOBJ previousFont = SelectObject(dc, m_font.Get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kOverlayColour);
    int y = 0;
    for (const std::string& text : lines)
    {
        TextOutA(dc, 0, y, text.c_str(), static_cast<int>(text.size()));
        y += kOverlayLineHeight;
    }
    if (!m_lastError.empty())
    {
        SetTextColor(dc, kErrorColour);
        TextOutA(dc, 0, y, m_lastError.c_str(), static_cast<int>(m_lastError.size()));
    }
    SelectObject(dc, previousFont);
    m_overlaySurface->ReleaseDC(dc);
    ComPtr<IDirect3DSurface9> target;
    if (SUCCEEDED(m_overlayTexture->GetSurfaceLevel(0, &target)))
        m_device->UpdateSurface(m_overlaySurface.Get(), nullptr, target.Get(), nullptr);
}

bool Renderer::Present()
{
    const HRESULT hr = m_device->PresentEx(nullptr, nullptr, nullptr, nullptr, 0);
    if (hr == S_PRESENT_OCCLUDED)
    {
        m_occluded = true;
    }
    else if (hr == D3DERR_DEVICELOST || hr == S_PRESENT_MODE_CHANGED)
    {
        ResetDevice(m_params.BackBufferWidth, m_params.BackBufferHeight);
    }
    else if (hr == D3DERR_DEVICEHUNG)
    {
        MessageBoxW(m_state.window,
                    L"This application has caused the graphics adapter to hang, check with the hardware vendor for a "
                    L"new driver.",
                    L"Graphics Adapter Hang", MB_OK | MB_ICONERROR);
        PostMessageW(m_state.window, WM_CLOSE, 0, 0);
        return false;
    }
    else if (hr == D3DERR_DEVICEREMOVED)
    {
        // No reset brings a removed adapter back; going on would spin at this thread's priority.
        RenderError("PresentEx", hr);
        PostMessageW(m_state.window, WM_CLOSE, 0, 0);
        return false;
    }
    return true;
}
} // namespace

DWORD WINAPI RenderThreadMain(void* context)
{
    auto& state = *static_cast<HostState*>(context);
    try
    {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        // The pictures are decoded by WIC, a COM component.
        ScopedComInit com(COINIT_MULTITHREADED);
        Renderer renderer(state);
        if (HostSettings::kRenderThreadEnabled && renderer.Create())
        {
            state.renderInitialised = true;
            Log("RenderThread", "initialised");
            renderer.Run();
        }
    }
    catch (...)
    {
        Log("RenderThread [ERROR]", "unexpected exception");
    }
    state.renderFinished = true;
    Log("RenderThread", "finished");
    return 0;
}
