// A private Direct3D 9Ex device of the library; it exists only while the stub
// texture is being made.
#pragma once

#include <d3d9.h>
#include <wrl/client.h>

class Direct3d9Device
{
public:
    Direct3d9Device() = default;
    virtual ~Direct3d9Device() = default;

    Direct3d9Device(const Direct3d9Device&) = delete;
    Direct3d9Device& operator=(const Direct3d9Device&) = delete;

    // A windowed HAL device with a width x height back buffer (2 x 2 when both
    // are below 16); on failure nothing is kept and the HRESULT is returned.
    HRESULT Create(UINT width, UINT height, D3DFORMAT format, HWND window);
    bool IsCreated() const { return m_pDevice != nullptr; }
    IDirect3DDevice9Ex* GetDevice() const { return m_pDevice.Get(); } // borrowed
    // Drops the device, then the Direct3D object.
    void Release();
    // Lets go of both without releasing them, for the end of the process.
    void Abandon();

private:
    Microsoft::WRL::ComPtr<IDirect3D9Ex> m_pD3D;
    Microsoft::WRL::ComPtr<IDirect3DDevice9Ex> m_pDevice;
};
