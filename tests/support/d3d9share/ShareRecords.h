// What the shared-texture stand-in keeps across processes: the registry of
// shared handles, the published pixels of each shared texture and the fault
// block of each process. Every process that loads the stand-in reads and
// writes these through this header.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace d3d9share
{

constexpr uint32_t kRegistryMagic = 0x51564434; // "QVD4"
constexpr uint32_t kRegistrySlots = 1024;

// Handles look like the small kernel-style values Windows hands out: non-zero,
// a multiple of 4, well inside 32 bits (they also travel as signed decimals).
// A slot's handle is fixed by its index, so a freed value is handed out again
// at once: Windows does not promise unique values over time, and handing the
// same one out again at once (ours) makes a stale handle name a live texture.
constexpr uint64_t kHandleBase = 0x40000000;

// Every wait on another process is bounded by this.
constexpr DWORD kOwnerTimeoutMs = 2000;

#pragma pack(push, 8)

// One shared texture and the description its creator gave. A slot is free
// while handle is 0; handle is written last.
struct RegistryEntry
{
    uint64_t handle;
    uint64_t ownerStartTime; // creation FILETIME of the owner: a reused process id is not the owner
    uint32_t ownerPid;
    uint32_t width;
    uint32_t height;
    uint32_t format; // D3DFORMAT
    uint32_t levels;
    uint32_t usage;
    uint32_t pool;   // D3DPOOL
    uint32_t serial; // names the pixel block: a reused handle value gets a new one
};
static_assert(sizeof(RegistryEntry) == 48, "RegistryEntry layout");
static_assert(offsetof(RegistryEntry, ownerPid) == 16, "RegistryEntry layout");

struct RegistryBlock
{
    uint32_t magic;
    uint32_t lastSerial;
    RegistryEntry entries[kRegistrySlots];
};
static_assert(offsetof(RegistryBlock, entries) == 8, "RegistryBlock layout");

// The head of a shared texture's pixel block, followed by rowBytes x height
// bytes of level 0 as of the owner's last synchronisation point. The owner
// writes the pixels holding its serve mutex, then raises generation; openers
// copy them holding the same mutex.
struct PixelHeader
{
    volatile LONG generation;  // 0 until the owner first synchronised after a write
    volatile LONG boundStages; // texture stages of openers that hold the texture bound
    volatile LONG boundWrites; // owner writes made while boundStages was not 0
    uint32_t rowBytes;
    uint32_t height;
    uint32_t reserved[3];
};
static_assert(sizeof(PixelHeader) == 32, "PixelHeader layout");

// A process's injected device fault: 0, D3DERR_DEVICEHUNG or D3DERR_DEVICEREMOVED.
struct FaultBlock
{
    volatile LONG fault;
};

#pragma pack(pop)

// Names of the kernel objects, built only here.
std::wstring RegistryBlockName();
std::wstring RegistryMutexName();
// kind is "serve", the mutex that guards an owner's published pixels.
std::wstring OwnerObjectName(const wchar_t* kind, DWORD ownerPid);
std::wstring PixelBlockName(DWORD ownerPid, uint32_t serial);
std::wstring FaultBlockName(DWORD pid);

// Makes every device of process pid answer fault (0 ends it) from
// CheckDeviceState, CreateTexture and Present (and D3DERR_DEVICELOST from an
// event query's GetData), as a hung or removed adapter would. False when that process has not loaded the stand-in.
bool InjectDeviceFault(DWORD pid, HRESULT fault);

// Bytes per pixel of the formats the stand-in can copy, 0 for the others.
uint32_t BytesPerPixel(uint32_t format);

} // namespace d3d9share
