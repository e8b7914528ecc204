// Prints what one open of a shared 1280 x 720 texture costs with the stand-in:
// from another process (this process copies the owner's published pixels and
// uploads them) and from another device of the owning process, and what one
// publication (an event query after a write) costs the owner. Run it with
// WINEDLLOVERRIDES="mscoree,mshtml=;d3d9=n,b".
#include "OwnerControl.h"
#include "ShareTestDevice.h"

#include "TestProcess.h"
#include "VideoPlayerMsg.h"

#include <cstdio>
#include <string>

using Microsoft::WRL::ComPtr;

namespace
{

constexpr int kRounds = 40;

double Milliseconds(LARGE_INTEGER start, LARGE_INTEGER end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Mean and worst time of an open plus a one-pixel read, which waits for the upload.
bool Measure(const char* label, ShareTestDevice& device, HANDLE handle)
{
    double total = 0, worst = 0;
    for (int i = 0; i < kRounds; ++i)
    {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        ComPtr<IDirect3DTexture9> opened;
        if (FAILED(device.OpenShared(handle, 1280, 720, D3DFMT_X8R8G8B8, &opened)))
        {
            std::printf("%s: open failed\n", label);
            return false;
        }
        QueryPerformanceCounter(&end);
        const double ms = Milliseconds(start, end);
        total += ms;
        worst = ms > worst ? ms : worst;
    }
    std::printf("%s: %d opens of 1280x720 X8R8G8B8, mean %.2f ms, worst %.2f ms\n", label, kRounds, total / kRounds,
                worst);
    return true;
}

// Mean time of a write plus an event query, which publishes a shared texture.
double MeanWriteAndSync(ShareTestDevice& device, IDirect3DTexture9* texture)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < kRounds; ++i)
    {
        if (FAILED(device.Fill(texture, 0x00c01010 + i, 0x00e0e020)) || FAILED(device.Synchronise()))
            return -1;
    }
    QueryPerformanceCounter(&end);
    return Milliseconds(start, end) / kRounds;
}

} // namespace

int main()
{
    ShareTestDevice device;
    if (FAILED(device.Create()))
    {
        std::printf("no device\n");
        return 1;
    }

    const std::string blockName = "qv_d3d9share_bench_" + std::to_string(GetCurrentProcessId());
    SharedMemory block;
    TestProcess owner;
    if (!block.create(blockName, sizeof(OwnerControl)) ||
        !owner.Start(L"d3d9share-owner.exe", std::wstring(blockName.begin(), blockName.end()) +
                                                 L" 1280 720 00c01010 00e0e020"))
    {
        std::printf("cannot start the owner\n");
        return 1;
    }
    auto* control = static_cast<volatile OwnerControl*>(block.data());
    if (!PumpUntil([&] { return control->state != OWNER_STATE_STARTING; }, 20000) ||
        control->state != OWNER_STATE_READY)
    {
        std::printf("owner not ready\n");
        owner.Terminate(1);
        return 1;
    }
    const bool crossProcess = Measure("other process", device, reinterpret_cast<HANDLE>(control->handle));
    owner.Terminate(0);

    ComPtr<IDirect3DTexture9> own;
    HANDLE handle = nullptr;
    ShareTestDevice other;
    const bool sameProcess = SUCCEEDED(device.CreateShared(1280, 720, D3DFMT_X8R8G8B8, &own, &handle)) &&
                             SUCCEEDED(device.Fill(own.Get(), 0x00c01010, 0x00e0e020)) &&
                             SUCCEEDED(device.Synchronise()) &&
                             SUCCEEDED(other.Create()) && Measure("other device, same process", other, handle);
    ComPtr<IDirect3DTexture9> plain;
    if (FAILED(device.Get()->CreateTexture(1280, 720, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT,
                                           &plain, nullptr)))
        return 1;
    std::printf("write and event query, 1280x720: shared %.2f ms, not shared %.2f ms\n",
                MeanWriteAndSync(device, own.Get()), MeanWriteAndSync(device, plain.Get()));
    return crossProcess && sameProcess ? 0 : 1;
}
