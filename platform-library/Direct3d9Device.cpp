#include "Direct3d9Device.h"

namespace
{
// The SDK version with the debug-information flag, as the library has always
// asked for it; runtimes without debug layers ignore the flag.
static_assert((D3D_SDK_VERSION & 0xFFFF) == 32, "built against the Direct3D 9 SDK version 32");
constexpr UINT kSdkVersion = 0x80000000u | 32u;

constexpr DWORD kBehaviorFlags =
    D3DCREATE_HARDWARE_VERTEXPROCESSING | D3DCREATE_MULTITHREADED | D3DCREATE_FPU_PRESERVE | D3DCREATE_NOWINDOWCHANGES;
static_assert(kBehaviorFlags == 0x846, "behaviour flags");
} // namespace

HRESULT Direct3d9Device::Create(UINT width, UINT height, D3DFORMAT format, HWND window)
{
    Release();
    HRESULT hr = Direct3DCreate9Ex(kSdkVersion, m_pD3D.ReleaseAndGetAddressOf());
    if (FAILED(hr))
    {
        m_pD3D.Reset();
        return hr;
    }

    D3DPRESENT_PARAMETERS parameters{};
    const bool tiny = width < 16 && height < 16;
    parameters.BackBufferWidth = tiny ? 2 : width;
    parameters.BackBufferHeight = tiny ? 2 : height;
    parameters.BackBufferFormat = format;
    parameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
    parameters.hDeviceWindow = window;
    parameters.Windowed = TRUE;
    parameters.Flags = D3DPRESENTFLAG_VIDEO;
    parameters.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;

    hr = m_pD3D->CreateDeviceEx(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, nullptr, kBehaviorFlags, &parameters, nullptr,
                                m_pDevice.ReleaseAndGetAddressOf());
    if (FAILED(hr))
    {
        m_pDevice.Reset();
        m_pD3D.Reset();
        return hr;
    }
    return S_OK;
}

void Direct3d9Device::Release()
{
    m_pDevice.Reset();
    m_pD3D.Reset();
}

void Direct3d9Device::Abandon()
{
    m_pDevice.Detach();
    m_pD3D.Detach();
}
