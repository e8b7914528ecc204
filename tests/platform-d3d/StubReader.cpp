// platform-d3d-reader.exe HANDLE WIDTH HEIGHT
//   opens the shared X8R8G8B8 texture HANDLE (hexadecimal) on a device of its
//   own and ends with 0 when every pixel is 0x008000 (the stub's green),
//   1 when some other colour is there, 2 without a device, 3 when the open
//   fails, 4 when the pixels cannot be read, 5 for bad arguments.
#include "ShareTestDevice.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
        return 5;
    const uint64_t handle = std::wcstoull(argv[1], nullptr, 16);
    const UINT width = static_cast<UINT>(std::wcstoul(argv[2], nullptr, 10));
    const UINT height = static_cast<UINT>(std::wcstoul(argv[3], nullptr, 10));
    ShareTestDevice device;
    if (FAILED(device.Create()))
        return 2;
    Microsoft::WRL::ComPtr<IDirect3DTexture9> texture;
    if (FAILED(device.OpenShared(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), width, height,
                                 D3DFMT_X8R8G8B8, &texture)))
        return 3;
    std::vector<uint32_t> pixels;
    if (FAILED(device.ReadPixels(texture.Get(), &pixels)) || pixels.size() != size_t(width) * height)
        return 4;
    for (uint32_t pixel : pixels)
    {
        if (pixel != 0x008000)
            return 1;
    }
    return 0;
}
