#include "PresentEngine.h"

#include "DeviceSync.h"
#include "Diagnostics.h"
#include "HexText.h"
#include "Log.h"
#include "Scheduler.h"
#include "mfcommon/mediatype.h"

#include <evr.h>
#include <mfapi.h>
#include <mferror.h>

#include <atomic>
#include <new>
#include <sstream>
#include <utility>

using Microsoft::WRL::ComPtr;

namespace
{
// Numbers the samples of the current set; the engine exists once per process.
std::atomic<UINT32> g_SampleNumber{0};
// The mixer renders into the sample textures; the format check asks for the same use.
const DWORD kSampleTextureUsage = D3DUSAGE_RENDERTARGET;
// Current, replaced, one for the mixer, and three to wait in the queue for
// the next poll: a busy client polls 100 ms apart and more, and a mixer
// that finds no sample keeps its input, so the renderer's next frame has
// nowhere to go and is lost.
constexpr int kDefaultSampleCount = 6;
// A frame's writes take milliseconds; far longer means the adapter is in trouble.
constexpr DWORD kSampleWriteTimeoutMs = 1000;
} // namespace

void D3DPresentEngine::PresentFrameData::SetTexture(IDirect3DTexture9* pTexture, HANDLE hSharedHandle)
{
    m_pTexture.Reset();
    m_hSharedHandle = nullptr;
    if (pTexture)
    {
        m_hSharedHandle = hSharedHandle;
        m_pTexture = pTexture;
    }
}

void D3DPresentEngine::PresentFrameData::SetFromSample(SampleData* pSampleData)
{
    if (!pSampleData)
    {
        SetTexture(nullptr, nullptr);
        return;
    }
    const TextureData& texture = pSampleData->GetTextureData();
    SetTexture(texture.m_pTexture.Get(), texture.m_hSharedHandle);
    m_Width = texture.m_Width;
    m_Height = texture.m_Height;
    m_Format = texture.m_Format;
}

HWND AdapterWindow(HWND adapterWindow, HWND videoWindow)
{
    return adapterWindow && IsWindow(adapterWindow) ? adapterWindow : videoWindow;
}

D3DPresentEngine::D3DPresentEngine(HRESULT& hr, HWND videoWindow, HWND adapterWindow)
    : m_hwnd(videoWindow), m_hwndAdapter(adapterWindow)
{
    SetRectEmpty(&m_rcDestRect);

    QV_ASSERT(m_pComposerD3D9 == nullptr, "m_pComposerD3D9 == NULL");
    QV_ASSERT(m_pComposerDeviceManager == nullptr, "m_pComposerDeviceManager == NULL");
    hr = Direct3DCreate9Ex(D3D_SDK_VERSION, &m_pComposerD3D9);
    if (SUCCEEDED(hr))
        hr = DXVA2CreateDirect3DDeviceManager9(&m_ResetToken, &m_pComposerDeviceManager);
    if (SUCCEEDED(hr))
        hr = CreateD3DDevice();
}

D3DPresentEngine::~D3DPresentEngine()
{
    CScopedLock frameLock(m_FrameLock);
    m_pCurrentSample.Reset();
    m_pReplacedSample.Reset();
    m_FrameData.SetTexture(nullptr, nullptr);
    m_pDevice.Reset();
    m_pComposerDeviceManager.Reset();
    m_pComposerD3D9.Reset();
}

HRESULT D3DPresentEngine::GetService(REFGUID /*guidService*/, REFIID riid, void** ppv)
{
    QV_ASSERT(ppv != nullptr, "ppv != NULL");
    if (!ppv)
        return E_POINTER;
    if (riid == __uuidof(IDirect3DDeviceManager9) && m_pComposerDeviceManager)
    {
        *ppv = m_pComposerDeviceManager.Get();
        m_pComposerDeviceManager->AddRef();
        return S_OK;
    }
    return MF_E_UNSUPPORTED_SERVICE;
}

HRESULT D3DPresentEngine::CheckTextureFormat(D3DFORMAT format)
{
    UINT adapter = D3DADAPTER_DEFAULT;
    D3DDEVTYPE type = D3DDEVTYPE_HAL;
    if (m_pDevice)
    {
        D3DDEVICE_CREATION_PARAMETERS params{};
        HRESULT hr = m_pDevice->GetCreationParameters(&params);
        if (FAILED(hr))
            return hr;
        adapter = params.AdapterOrdinal;
        type = params.DeviceType;
    }
    if (!m_pComposerD3D9)
        return MF_E_NOT_INITIALIZED;
    D3DDISPLAYMODE mode{};
    HRESULT hr = m_pComposerD3D9->GetAdapterDisplayMode(adapter, &mode);
    if (SUCCEEDED(hr))
        hr = m_pComposerD3D9->CheckDeviceFormat(adapter, type, mode.Format, kSampleTextureUsage, D3DRTYPE_TEXTURE,
                                                format);
    return hr;
}

HRESULT D3DPresentEngine::CreateD3DDevice()
{
    CScopedLock lock(m_ObjectLock);
    if (!m_pComposerD3D9 || !m_pComposerDeviceManager || !m_hwnd)
        return MF_E_NOT_INITIALIZED;

    D3DPRESENT_PARAMETERS pp{};
    pp.BackBufferWidth = static_cast<UINT>(m_rcDestRect.right - m_rcDestRect.left);
    pp.BackBufferHeight = static_cast<UINT>(m_rcDestRect.bottom - m_rcDestRect.top);
    if (pp.BackBufferWidth < 16 && pp.BackBufferHeight < 16)
    {
        pp.BackBufferWidth = 2;
        pp.BackBufferHeight = 2;
    }
    pp.BackBufferFormat = D3DFMT_UNKNOWN;
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    pp.hDeviceWindow = m_hwnd;
    pp.Windowed = TRUE;
    pp.Flags = D3DPRESENTFLAG_VIDEO;
    pp.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;

    const HMONITOR monitor = MonitorFromWindow(AdapterWindow(m_hwndAdapter, m_hwnd), MONITOR_DEFAULTTONEAREST);
    const UINT adapterCount = m_pComposerD3D9->GetAdapterCount();
    UINT adapter = adapterCount;
    for (UINT i = 0; i < adapterCount; ++i)
    {
        if (m_pComposerD3D9->GetAdapterMonitor(i) == monitor)
        {
            adapter = i;
            break;
        }
    }
    if (adapter == adapterCount)
        return E_FAIL;

    D3DCAPS9 caps{};
    HRESULT hr = m_pComposerD3D9->GetDeviceCaps(adapter, D3DDEVTYPE_HAL, &caps);
    if (FAILED(hr))
        return hr;
    const DWORD vertexProcessing = (caps.DevCaps & D3DDEVCAPS_HWTRANSFORMANDLIGHT)
                                       ? D3DCREATE_HARDWARE_VERTEXPROCESSING
                                       : D3DCREATE_SOFTWARE_VERTEXPROCESSING;

    ComPtr<IDirect3DDevice9Ex> device;
    hr = m_pComposerD3D9->CreateDeviceEx(
        adapter, D3DDEVTYPE_HAL, nullptr,
        vertexProcessing | D3DCREATE_NOWINDOWCHANGES | D3DCREATE_MULTITHREADED | D3DCREATE_FPU_PRESERVE, &pp,
        nullptr, &device);
    if (FAILED(hr))
        return hr;

    Log("D3DPresentEngine::CreateD3DDevice",
        "created d3d device on hwnd=0x" + Hex(reinterpret_cast<UINT_PTR>(m_hwnd)));

    // The lowest priority; a failure only costs scheduling order.
    device->SetGPUThreadPriority(-7);

    hr = m_pComposerD3D9->GetAdapterDisplayMode(adapter, &m_DisplayMode);
    if (FAILED(hr))
        return hr;
    hr = m_pComposerDeviceManager->ResetDevice(device.Get(), m_ResetToken);
    if (FAILED(hr))
        return hr;
    m_pDevice = device;
    return S_OK;
}

HRESULT D3DPresentEngine::AllocateSamples(IMFMediaType* pFormat, ComPtrList<IMFSample>& samples, int count)
{
    if (!pFormat)
        return MF_E_UNEXPECTED;
    if (count <= 0)
        count = kDefaultSampleCount;

    CScopedLock lock(m_ObjectLock);
    ReleaseSamples();

    VideoType type(pFormat);
    UINT32 width = 0;
    UINT32 height = 0;
    D3DFORMAT format = D3DFMT_UNKNOWN;
    HRESULT hr = type.GetFrameDimensions(&width, &height);
    if (SUCCEEDED(hr))
        hr = type.GetFormat(&format);

    for (int i = 0; SUCCEEDED(hr) && i < count; ++i)
    {
        ComPtr<IMFSample> sample;
        hr = CreateD3DSample(width, height, format, &sample);
        if (SUCCEEDED(hr))
            hr = samples.InsertBack(sample.Get());
    }

    if (FAILED(hr))
        ReleaseSamples();
    return hr;
}

HRESULT D3DPresentEngine::CreateD3DSample(UINT32 width, UINT32 height, D3DFORMAT format, IMFSample** ppSample)
{
    const UINT32 number = g_SampleNumber.fetch_add(1);
    {
        std::ostringstream text;
        text << "creating sample " << number << " texture " << width << "x" << height << " -> "
             << (m_rcDestRect.right - m_rcDestRect.left) << "x" << (m_rcDestRect.bottom - m_rcDestRect.top)
             << " f=" << static_cast<UINT32>(format);
        Log("D3DPresentEngine::CreateD3DSample", text);
    }

    HRESULT hr = m_pDevice ? S_OK : MF_E_NOT_INITIALIZED;
    ComPtr<IDirect3DTexture9> texture;
    HANDLE hShared = nullptr;
    if (SUCCEEDED(hr))
        hr = m_pDevice->CreateTexture(width, height, 1, kSampleTextureUsage, format, D3DPOOL_DEFAULT, &texture,
                                      &hShared);
    ComPtr<IDirect3DSurface9> surface;
    if (SUCCEEDED(hr))
        hr = texture->GetSurfaceLevel(0, &surface);
    ComPtr<IMFSample> sample;
    if (SUCCEEDED(hr))
        hr = MFCreateVideoSampleFromSurface(surface.Get(), &sample);
    if (SUCCEEDED(hr))
    {
        SampleData* data = new (std::nothrow)
            SampleData(TextureData(texture.Get(), hShared, width, height, format), static_cast<LONG>(number));
        if (!data)
            hr = E_OUTOFMEMORY;
        else
        {
            hr = AttachSampleData(sample.Get(), data);
            data->Release(); // the sample's attribute store keeps it
        }
    }

    if (SUCCEEDED(hr))
        *ppSample = sample.Detach();
    if (hr != S_OK)
        Log("D3DPresentEngine::CreateD3DSample", "failed " + Hex(hr));
    return hr;
}

void D3DPresentEngine::ReleaseSamples()
{
    g_SampleNumber.store(0);
    CScopedLock frameLock(m_FrameLock);
    m_FrameData.SetTexture(nullptr, nullptr);
    m_pCurrentSample.Reset();
    m_pReplacedSample.Reset();
}

IFrameData* D3DPresentEngine::GetFrameData(SampleQueue& queue)
{
    ComPtr<IMFSample> due = queue.TakeDueSample();
    const DWORD queued = queue.GetCount();

    CScopedLock frameLock(m_FrameLock);
    if (due)
    {
        m_IdlePollCount = 0;
        // The client may still be drawing the frame it was given last: that
        // sample returns to the pool only when the next frame replaces this one.
        m_pReplacedSample = std::move(m_pCurrentSample);
        if (ComPtr<SampleData> data = GetSampleData(due.Get()))
        {
            m_FrameData.SetFromSample(data.Get());
            data->SetState(SAMPLE_STATE_PRESENTED);
        }
        m_pCurrentSample = std::move(due);
    }
    else if (queued > 0)
    {
        m_IdlePollCount = 0;
    }
    else if (++m_IdlePollCount > 4)
    {
        // Let the sample go back to the pool (a mixer short of samples takes
        // it) but keep naming its texture: the client keeps the last frame.
        m_IdlePollCount = 0;
        m_pCurrentSample.Reset();
        m_pReplacedSample.Reset();
    }
    return new (std::nothrow) PresentFrameData(m_FrameData);
}

LONG D3DPresentEngine::GetShownSampleCount()
{
    CScopedLock frameLock(m_FrameLock);
    return (m_pCurrentSample ? 1 : 0) + (m_pReplacedSample ? 1 : 0);
}

void D3DPresentEngine::OnBeforeSampleProcess(IMFSample* pSample)
{
    if (!pSample)
        return;
    bool taken = false;
    {
        CScopedLock frameLock(m_FrameLock);
        if (pSample == m_pCurrentSample.Get())
        {
            m_pCurrentSample.Reset();
            m_FrameData.SetFromSample(nullptr);
            taken = true;
        }
        else if (m_FrameData.GetTexture())
        {
            // After idle polls released it, the descriptor may still name this
            // sample's texture; the mixer is about to overwrite it.
            ComPtr<SampleData> data = GetSampleData(pSample);
            if (data && data->GetTextureData().m_pTexture.Get() == m_FrameData.GetTexture())
            {
                m_FrameData.SetFromSample(nullptr);
                taken = true;
            }
        }
    }
    if (taken)
        Log("D3DPresentEngine::OnBeforeSampleProcess", "sample taken, texture released");
}

HRESULT D3DPresentEngine::CompleteSampleWrites()
{
    if (!m_pDevice)
        return MF_E_NOT_INITIALIZED;
    const HRESULT hr = WaitForDeviceWork(m_pDevice.Get(), kSampleWriteTimeoutMs);
    if (FAILED(hr))
        Log("D3DPresentEngine::CompleteSampleWrites", "event query failed " + Hex(hr));
    return hr;
}

HRESULT D3DPresentEngine::CheckDeviceState()
{
    if (!m_pDevice)
        return MF_E_NOT_INITIALIZED;
    // The device presents nowhere, so no window is named.
    return m_pDevice->CheckDeviceState(nullptr);
}
