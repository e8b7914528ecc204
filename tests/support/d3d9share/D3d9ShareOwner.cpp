// The owner process of the shared-texture tests.
//   d3d9share-owner.exe which
//       ends with kOwnerUsesSystemD3d9 when its d3d9.dll is Wine's own,
//       kOwnerUsesStandIn otherwise
//   d3d9share-owner.exe BLOCK WIDTH HEIGHT BACKGROUND MARKER
//       creates a shared WIDTH x HEIGHT X8R8G8B8 render target, fills it (see
//       ShareTestDevice::Fill; colours in hexadecimal) and synchronises, publishes its handle in
//       the OwnerControl block BLOCK and then follows the block's commands
#include "OwnerControl.h"
#include "ShareRecords.h"
#include "ShareTestDevice.h"

#include "Handles.h"
#include "VideoPlayerMsg.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{

int Serve(const std::wstring& blockName, UINT width, UINT height, D3DCOLOR background, D3DCOLOR marker)
{
    SharedMemory block;
    if (!block.open(std::string(blockName.begin(), blockName.end()), sizeof(OwnerControl)))
        return 2;
    auto* control = static_cast<volatile OwnerControl*>(block.data());

    ShareTestDevice device;
    ComPtr<IDirect3DTexture9> texture;
    HANDLE handle = nullptr;
    HRESULT hr = device.Create();
    if (SUCCEEDED(hr))
        hr = device.CreateShared(width, height, D3DFMT_X8R8G8B8, &texture, &handle);
    if (SUCCEEDED(hr))
        hr = device.Fill(texture.Get(), background, marker);
    if (SUCCEEDED(hr))
        hr = device.Synchronise();
    control->result = hr;
    control->handle = reinterpret_cast<uintptr_t>(handle);
    MemoryBarrier();
    control->state = SUCCEEDED(hr) ? OWNER_STATE_READY : OWNER_STATE_FAILED;
    if (FAILED(hr))
        return 3;

    UniqueHandle heldTurn;
    std::vector<ComPtr<IDirect3DTexture9>> filler;
    uint32_t done = 0;
    for (;;)
    {
        Sleep(2);
        if (control->commandNumber == done)
            continue;
        MemoryBarrier();
        done = control->commandNumber;
        hr = S_OK;
        switch (control->command)
        {
        case OWNER_COMMAND_FILL:
            hr = texture ? device.Fill(texture.Get(), control->colour, marker) : E_POINTER;
            if (SUCCEEDED(hr))
                hr = device.Synchronise();
            break;
        case OWNER_COMMAND_FILL_ONLY:
            hr = texture ? device.Fill(texture.Get(), control->colour, marker) : E_POINTER;
            break;
        case OWNER_COMMAND_PRESENT:
            hr = device.Get()->PresentEx(nullptr, nullptr, nullptr, nullptr, 0);
            break;
        case OWNER_COMMAND_RELEASE:
            texture.Reset();
            break;
        case OWNER_COMMAND_HOLD_SERVICE:
            heldTurn.Reset(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE,
                                      d3d9share::OwnerObjectName(L"serve", GetCurrentProcessId()).c_str()));
            hr = heldTurn && WaitForSingleObject(heldTurn.Get(), 0) == WAIT_OBJECT_0 ? S_OK : E_FAIL;
            break;
        case OWNER_COMMAND_FILL_REGISTRY:
            for (;;)
            {
                ComPtr<IDirect3DTexture9> small;
                HANDLE smallHandle = nullptr;
                if (FAILED(device.CreateShared(1, 1, D3DFMT_X8R8G8B8, &small, &smallHandle)))
                    break;
                filler.push_back(small);
            }
            hr = static_cast<HRESULT>(filler.size());
            break;
        case OWNER_COMMAND_QUIT:
            control->doneNumber = done;
            return 0;
        default:
            hr = E_INVALIDARG;
        }
        control->result = hr;
        MemoryBarrier();
        control->doneNumber = done;
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return 1;
    int result = 1;
    if (argc == 2 && std::wstring(argv[1]) == L"which")
        result = LoadedD3d9IsWines() ? kOwnerUsesSystemD3d9 : kOwnerUsesStandIn;
    else if (argc == 6)
        result = Serve(argv[1], wcstoul(argv[2], nullptr, 10), wcstoul(argv[3], nullptr, 10),
                       wcstoul(argv[4], nullptr, 16), wcstoul(argv[5], nullptr, 16));
    LocalFree(argv);
    return result;
}
