#include "ShareTestDevice.h"

#include <cstring>

using Microsoft::WRL::ComPtr;

HRESULT ShareTestDevice::Create(DWORD behavior)
{
    m_window.Reset(CreateWindowExW(0, L"STATIC", L"d3d9share", WS_POPUP, 0, 0, 64, 64, nullptr, nullptr,
                                   GetModuleHandleW(nullptr), nullptr));
    if (!m_window.Get()) {
        // Without an X display Wine fails the window and leaves no error code.
        const DWORD error = GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    HRESULT hr = Direct3DCreate9Ex(D3D_SDK_VERSION, &m_d3d);
    if (FAILED(hr))
        return hr;
    D3DPRESENT_PARAMETERS parameters{};
    parameters.BackBufferWidth = 1;
    parameters.BackBufferHeight = 1;
    parameters.BackBufferFormat = D3DFMT_UNKNOWN;
    parameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
    parameters.hDeviceWindow = m_window.Get();
    parameters.Windowed = TRUE;
    return m_d3d->CreateDeviceEx(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, nullptr, behavior, &parameters, nullptr,
                                 &m_device);
}

HRESULT ShareTestDevice::CreateShared(UINT width, UINT height, D3DFORMAT format, ComPtr<IDirect3DTexture9>* texture,
                                      HANDLE* handle)
{
    *handle = nullptr;
    return m_device->CreateTexture(width, height, 1, D3DUSAGE_RENDERTARGET, format, D3DPOOL_DEFAULT,
                                   texture->ReleaseAndGetAddressOf(), handle);
}

HRESULT ShareTestDevice::OpenShared(HANDLE handle, UINT width, UINT height, D3DFORMAT format,
                                    ComPtr<IDirect3DTexture9>* texture)
{
    return m_device->CreateTexture(width, height, 1, D3DUSAGE_RENDERTARGET, format, D3DPOOL_DEFAULT,
                                   texture->ReleaseAndGetAddressOf(), &handle);
}

HRESULT ShareTestDevice::Fill(IDirect3DTexture9* texture, D3DCOLOR background, D3DCOLOR marker)
{
    D3DSURFACE_DESC desc{};
    HRESULT hr = texture->GetLevelDesc(0, &desc);
    ComPtr<IDirect3DSurface9> surface;
    if (SUCCEEDED(hr))
        hr = texture->GetSurfaceLevel(0, &surface);
    if (SUCCEEDED(hr))
        hr = m_device->SetRenderTarget(0, surface.Get());
    if (SUCCEEDED(hr))
        hr = m_device->Clear(0, nullptr, D3DCLEAR_TARGET, background, 1.0f, 0);
    const LONG w = static_cast<LONG>(desc.Width), h = static_cast<LONG>(desc.Height);
    const D3DRECT marks[2] = {{0, 0, 16, 16}, {0, h / 2, w, h / 2 + 4}};
    if (SUCCEEDED(hr))
        hr = m_device->Clear(2, marks, D3DCLEAR_TARGET, marker, 1.0f, 0);
    ComPtr<IDirect3DSurface9> backBuffer;
    if (SUCCEEDED(hr))
        hr = m_device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &backBuffer);
    if (SUCCEEDED(hr))
        hr = m_device->SetRenderTarget(0, backBuffer.Get());
    return hr;
}

HRESULT ShareTestDevice::Synchronise()
{
    ComPtr<IDirect3DQuery9> query;
    HRESULT hr = m_device->CreateQuery(D3DQUERYTYPE_EVENT, &query);
    if (SUCCEEDED(hr))
        hr = query->Issue(D3DISSUE_END);
    for (int tries = 0; hr == S_OK && tries < 1000; ++tries)
    {
        hr = query->GetData(nullptr, 0, D3DGETDATA_FLUSH);
        if (hr == S_FALSE)
        {
            Sleep(1);
            hr = S_OK;
            continue;
        }
        return hr;
    }
    return FAILED(hr) ? hr : HRESULT_FROM_WIN32(ERROR_TIMEOUT);
}

HRESULT ShareTestDevice::ReadPixels(IDirect3DTexture9* texture, std::vector<uint32_t>* pixels, UINT* width)
{
    D3DSURFACE_DESC desc{};
    HRESULT hr = texture->GetLevelDesc(0, &desc);
    ComPtr<IDirect3DSurface9> surface, copy;
    if (SUCCEEDED(hr))
        hr = texture->GetSurfaceLevel(0, &surface);
    if (SUCCEEDED(hr))
        hr = m_device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &copy,
                                                   nullptr);
    if (SUCCEEDED(hr))
        hr = m_device->GetRenderTargetData(surface.Get(), copy.Get());
    D3DLOCKED_RECT locked{};
    if (SUCCEEDED(hr))
        hr = copy->LockRect(&locked, nullptr, D3DLOCK_READONLY);
    if (FAILED(hr))
        return hr;
    pixels->resize(static_cast<size_t>(desc.Width) * desc.Height);
    for (UINT y = 0; y < desc.Height; ++y)
    {
        const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(locked.pBits) +
                                                            static_cast<size_t>(y) * locked.Pitch);
        for (UINT x = 0; x < desc.Width; ++x)
            (*pixels)[static_cast<size_t>(y) * desc.Width + x] = row[x] & 0x00FFFFFF;
    }
    if (width)
        *width = desc.Width;
    return copy->UnlockRect();
}

bool LoadedD3d9IsWines()
{
    const auto* image = reinterpret_cast<const char*>(GetModuleHandleW(L"d3d9.dll"));
    static const char marker[] = "Wine builtin DLL";
    return image && std::memcmp(image + 0x40, marker, sizeof(marker) - 1) == 0;
}
