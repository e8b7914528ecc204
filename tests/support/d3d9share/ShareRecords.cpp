#include "ShareRecords.h"

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

std::wstring TransferBlockName(DWORD openerPid, uint32_t number)
{
    return L"qv_d3d9share_pixels_" + std::to_wstring(openerPid) + L"_" + std::to_wstring(number);
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
