// A stand-in for JavaFX's D3DContext: a block with the device pointers and the
// device caps at the offsets the library reads.
#pragma once

#include <d3d9.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

class FakeD3DContext
{
public:
    static constexpr size_t kPlainDeviceOffset = 216;
    static constexpr size_t kDeviceExOffset = 224;
    static constexpr size_t kCapsOffset = 344;

    FakeD3DContext() { std::memset(m_bytes, 0, sizeof(m_bytes)); }

    void SetDevices(IDirect3DDevice9Ex* device)
    {
        SetDeviceEx(device);
        SetPlainDevice(device);
    }
    void SetDeviceEx(IDirect3DDevice9Ex* device) { std::memcpy(m_bytes + kDeviceExOffset, &device, sizeof(device)); }
    void SetPlainDevice(IDirect3DDevice9* device)
    {
        std::memcpy(m_bytes + kPlainDeviceOffset, &device, sizeof(device));
    }
    void SetMaxTextureSize(DWORD width, DWORD height)
    {
        Caps()->MaxTextureWidth = width;
        Caps()->MaxTextureHeight = height;
    }
    D3DCAPS9* Caps() { return reinterpret_cast<D3DCAPS9*>(m_bytes + kCapsOffset); }
    int64_t Address() const { return static_cast<int64_t>(reinterpret_cast<intptr_t>(m_bytes)); }

private:
    alignas(16) unsigned char m_bytes[kCapsOffset + sizeof(D3DCAPS9)];
};
