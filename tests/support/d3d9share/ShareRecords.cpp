#include "ShareRecords.h"

#include "Handles.h"

#include <d3d9types.h>

namespace d3d9share
{

std::wstring RegistryBlockName()
{
    return L"qv_d3d9share_registry";
}

std::wstring RegistryMutexName()
{
    return L"qv_d3d9share_registry_lock";
}

std::wstring OwnerObjectName(const wchar_t* kind, DWORD ownerPid)
{
    return std::wstring(L"qv_d3d9share_") + kind + L"_" + std::to_wstring(ownerPid);
}

std::wstring PixelBlockName(DWORD ownerPid, uint32_t serial)
{
    return L"qv_d3d9share_pixels_" + std::to_wstring(ownerPid) + L"_" + std::to_wstring(serial);
}

std::wstring FaultBlockName(DWORD pid)
{
    return L"qv_d3d9share_fault_" + std::to_wstring(pid);
}

bool InjectDeviceFault(DWORD pid, HRESULT fault)
{
    UniqueHandle mapping(OpenFileMappingW(FILE_MAP_WRITE, FALSE, FaultBlockName(pid).c_str()));
    UniqueView view(mapping ? MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, sizeof(FaultBlock)) : nullptr);
    if (!view)
        return false;
    InterlockedExchange(&static_cast<FaultBlock*>(view.Get())->fault, fault);
    return true;
}

uint32_t BytesPerPixel(uint32_t format)
{
    switch (format)
    {
    case D3DFMT_A8R8G8B8:
    case D3DFMT_X8R8G8B8:
    case D3DFMT_A8B8G8R8:
    case D3DFMT_X8B8G8R8:
    case D3DFMT_A2R10G10B10:
    case D3DFMT_A2B10G10R10:
        return 4;
    case D3DFMT_R5G6B5:
    case D3DFMT_X1R5G5B5:
    case D3DFMT_A1R5G5B5:
        return 2;
    case D3DFMT_A16B16G16R16F:
    case D3DFMT_A16B16G16R16:
        return 8;
    default:
        return 0;
    }
}

} // namespace d3d9share
