// A Direct3D 9Ex device on a hidden window, and the few texture operations
// that the shared-texture tests, their owner program and the benchmark share.
#pragma once

#include <d3d9.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

// Owns a window created here.
class UniqueWindow
{
public:
    UniqueWindow() = default;
    ~UniqueWindow()
    {
        if (m_hwnd)
            DestroyWindow(m_hwnd);
    }
    UniqueWindow(const UniqueWindow&) = delete;
    UniqueWindow& operator=(const UniqueWindow&) = delete;

    void Reset(HWND hwnd)
    {
        if (m_hwnd)
            DestroyWindow(m_hwnd);
        m_hwnd = hwnd;
    }
    HWND Get() const { return m_hwnd; }

private:
    HWND m_hwnd = nullptr;
};

class ShareTestDevice
{
public:
    // behavior: the device's creation flags.
    HRESULT Create(DWORD behavior = D3DCREATE_SOFTWARE_VERTEXPROCESSING);
    IDirect3DDevice9Ex* Get() const { return m_device.Get(); }
    HWND Window() const { return m_window.Get(); }

    // A render target made as a shared resource ("create shared").
    HRESULT CreateShared(UINT width, UINT height, D3DFORMAT format, Microsoft::WRL::ComPtr<IDirect3DTexture9>* texture,
                         HANDLE* handle);
    // Opens a shared handle on this device ("open shared").
    HRESULT OpenShared(HANDLE handle, UINT width, UINT height, D3DFORMAT format,
                       Microsoft::WRL::ComPtr<IDirect3DTexture9>* texture);

    // Clears the whole texture to background, then marks a 16 x 16 block at the
    // top left and four full rows from the middle down with marker.
    HRESULT Fill(IDirect3DTexture9* texture, D3DCOLOR background, D3DCOLOR marker);
    // Waits for the device's work so far: an event query answered with D3DGETDATA_FLUSH.
    HRESULT Synchronise();
    // Level 0 of a 32-bit render target, row after row, alpha masked off.
    HRESULT ReadPixels(IDirect3DTexture9* texture, std::vector<uint32_t>* pixels, UINT* width = nullptr);

private:
    UniqueWindow m_window;
    Microsoft::WRL::ComPtr<IDirect3D9Ex> m_d3d;
    Microsoft::WRL::ComPtr<IDirect3DDevice9Ex> m_device;
};

// True when this process's d3d9.dll is Wine's own: Wine marks its PE
// builtins with "Wine builtin DLL" at offset 0x40 of the image.
bool LoadedD3d9IsWines();
