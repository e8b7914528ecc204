#include "VideoTextures.h"

#include "DeviceSync.h"
#include "Direct3d9Device.h"
#include "HelperWindow.h"
#include "HexText.h"
#include "Log.h"

#include <wrl/client.h>

#include <atomic>
#include <cstdint>

using Microsoft::WRL::ComPtr;

namespace
{
const char kTag[] = "CreateStubTexture";
constexpr UINT kStubWidth = 1280;
constexpr UINT kStubHeight = 720;
constexpr D3DCOLOR kStubColour = 0xFF008000; // opaque green

const wchar_t kDeviceWindowClass[] = L"QvStubDeviceWindow";

struct VideoState
{
    // Reached at process exit only with something left (unload releases it
    // first): Direct3D's threads are gone by then and a release could wait
    // for them for ever. The system reclaims it with the process.
    ~VideoState()
    {
        stubTexture.Detach();
        device.Abandon();
    }

    CCriticalSection lock;
    Direct3d9Device device; // only alive while the stub texture is being made
    ComPtr<IDirect3DTexture9> stubTexture;
    std::atomic<HANDLE> stubHandle{nullptr};
};

// Made on first use: exports of other source files may reach it during load.
VideoState& State()
{
    static VideoState state;
    return state;
}

// Makes the state when the library loads rather than on the render thread.
const bool g_stateMade = (State(), true);

void LogFailure(const char* step, HRESULT hr)
{
    Log(std::string(kTag) + " [ERROR]", std::string(step) + " failed, hr=0x" + Hex(hr));
}

// Fills the new texture green on the device that made it.
void FillStubTexture(IDirect3DDevice9Ex* device, IDirect3DTexture9* texture)
{
    ComPtr<IDirect3DSurface9> pTextureSurface;
    HRESULT hr = texture->GetSurfaceLevel(0, &pTextureSurface);
    if (FAILED(hr))
        return LogFailure("GetSurfaceLevel", hr);
    hr = device->SetRenderTarget(0, pTextureSurface.Get());
    if (FAILED(hr))
        return LogFailure("SetRenderTarget", hr);
    hr = device->Clear(0, nullptr, D3DCLEAR_TARGET, kStubColour, 0.0f, 0);
    if (FAILED(hr))
        return LogFailure("Clear", hr);
    // Other devices may read the texture only once the clear is complete.
    hr = WaitForDeviceWork(device, 1000);
    if (FAILED(hr))
        LogFailure("event query", hr);
}
} // namespace

CCriticalSection& GlobalVideoLock()
{
    return State().lock;
}

HRESULT CreateStubTexture()
{
    VideoState& state = State();
    CScopedLock lock(state.lock);
    if (state.stubTexture)
        return S_OK;

    state.stubHandle = nullptr;
    HRESULT result = E_FAIL;
    // Windows makes no windowed device without a focus or a device window. The
    // window goes with this call (it belongs to this thread); the device before it.
    HelperWindow deviceWindow(kDeviceWindowClass, nullptr);
    if (!state.device.IsCreated())
    {
        result = deviceWindow.Create(nullptr, false);
        if (SUCCEEDED(result))
            result = state.device.Create(kStubWidth, kStubHeight, D3DFMT_X8R8G8B8, deviceWindow.GetHwnd());
    }
    if (IDirect3DDevice9Ex* device = state.device.GetDevice())
    {
        HANDLE handle = nullptr; // null asks for a new shared texture
        ComPtr<IDirect3DTexture9> texture;
        result = device->CreateTexture(kStubWidth, kStubHeight, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8,
                                       D3DPOOL_DEFAULT, &texture, &handle);
        if (FAILED(result))
        {
            LogFailure("CreateTexture", result);
        }
        else if (!handle)
        {
            // A texture nobody else can open is no stub: players would get no frame at all.
            Log(std::string(kTag) + " [ERROR]", "the texture has no shared handle");
            result = E_FAIL;
        }
        else
        {
            FillStubTexture(device, texture.Get());
            state.stubTexture = std::move(texture);
            state.stubHandle = handle;
        }
    }
    else
    {
        LogFailure("Create", result);
    }
    // The texture keeps what it needs of the device; nothing else draws on it.
    state.device.Release();
    return result;
}

HANDLE StubTextureHandle()
{
    return State().stubHandle;
}

void ReleaseStubTexture(const char* logTag)
{
    VideoState& state = State();
    CScopedLock lock(state.lock);
    if (!state.stubTexture)
        return;
    Log(logTag, "destroying device");
    state.stubHandle = nullptr;
    state.stubTexture.Reset();
    state.device.Release();
}

void ReleaseStubTextureAtUnload()
{
    VideoState& state = State();
    CScopedLock lock(state.lock);
    state.stubHandle = nullptr;
    state.stubTexture.Reset();
    state.device.Release();
}

D3DTEXTUREFILTERTYPE ChooseTextureFilter(int textureWidth, int textureHeight, int renderWidth, int renderHeight)
{
    if (renderWidth <= 0 || renderHeight <= 0)
        return D3DTEXF_LINEAR;
    // 64 bits: the differences of extreme sizes do not fit an int.
    const int64_t dx = static_cast<int64_t>(renderWidth) - textureWidth;
    const int64_t dy = static_cast<int64_t>(renderHeight) - textureHeight;
    const int64_t dxAbs = dx < 0 ? -dx : dx;
    const int64_t dyAbs = dy < 0 ? -dy : dy;
    const int64_t d = dxAbs > dyAbs ? dxAbs : dyAbs;
    if (d > 100)
        return D3DTEXF_LINEAR;
    // Close sizes draw with the nearest texel: D3DTEXF_NONE is defined for the
    // mipmap filter only, not for magnification or minification.
    return D3DTEXF_POINT;
}
