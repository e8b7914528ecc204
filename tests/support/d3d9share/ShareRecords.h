// What the shared-texture stand-in keeps across processes: the registry of
// shared handles and the request record of an owner's copy service. Every
// process that loads the stand-in reads and writes these through this header.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace d3d9share
{

constexpr uint32_t kRegistryMagic = 0x51564433; // "QVD3"
constexpr uint32_t kRegistrySlots = 1024;

// Handles look like the small kernel-style values Windows hands out: non-zero,
// a multiple of 4, well inside 32 bits (they also travel as signed decimals).
constexpr uint64_t kHandleBase = 0x40000000;

// Every wait on another process is bounded by this.
constexpr DWORD kOwnerTimeoutMs = 2000;

#pragma pack(push, 8)

// One shared texture. A slot is free while handle is 0; handle is written last.
struct RegistryEntry
{
    uint64_t handle;
    uint64_t ownerStartTime; // creation FILETIME of the owner: a reused process id is not the owner
    uint32_t ownerPid;
    uint32_t width;
    uint32_t height;
    uint32_t format; // D3DFORMAT
};
static_assert(sizeof(RegistryEntry) == 32, "RegistryEntry layout");
static_assert(offsetof(RegistryEntry, ownerPid) == 16, "RegistryEntry layout");

struct RegistryBlock
{
    uint32_t magic;
    uint32_t lastId;
    RegistryEntry entries[kRegistrySlots];
};
static_assert(offsetof(RegistryBlock, entries) == 8, "RegistryBlock layout");

// The request record of one owner process. An opener holds the owner's serve
// mutex while it uses the record; sequence is written last by the opener and
// answeredSequence last by the owner.
struct ServiceBlock
{
    uint64_t handle;
    uint32_t sequence;
    uint32_t answeredSequence;
    int32_t status; // HRESULT of the copy
    uint32_t width;
    uint32_t height;
    uint32_t format;
    uint32_t rowBytes; // bytes of one packed row in the transfer block
    uint32_t reserved;
    wchar_t transferName[64]; // block the opener made for the pixels
};
static_assert(sizeof(ServiceBlock) == 40 + 128, "ServiceBlock layout");
static_assert(offsetof(ServiceBlock, transferName) == 40, "ServiceBlock layout");

#pragma pack(pop)

// Names of the kernel objects, built only here.
std::wstring RegistryBlockName();
std::wstring RegistryMutexName();
// kind is one of "service" (block), "request" and "answer" (events) and
// "serve" (the mutex that gives one opener at a time the service block).
std::wstring OwnerObjectName(const wchar_t* kind, DWORD ownerPid);
std::wstring TransferBlockName(DWORD openerPid, uint32_t number);

// Bytes per pixel of the formats the stand-in can copy, 0 for the others.
uint32_t BytesPerPixel(uint32_t format);

} // namespace d3d9share
