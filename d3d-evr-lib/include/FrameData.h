#pragma once

#include <windows.h>
#include <d3d9.h>

// The descriptor of the frame the client should show: a shared texture handle
// with its size and format. The receiver owns it and ends it with Dispose.
class IFrameData
{
public:
    virtual bool HasFrame() const = 0;
    virtual void Dispose() = 0;
    virtual HANDLE GetSharedHandle() const = 0;
    virtual IDirect3DTexture9* GetTexture() const = 0; // borrowed from the descriptor
    virtual UINT32 GetWidth() const = 0;
    virtual UINT32 GetHeight() const = 0;
    virtual D3DFORMAT GetFormat() const = 0;
    virtual ~IFrameData() = default;
};
