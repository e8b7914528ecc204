// A test-only d3d9.dll for Wine. Loaded in front of Wine's own with
// WINEDLLOVERRIDES="d3d9=n,b", it forwards everything to Wine's d3d9.dll and
// adds the one thing Wine 8 lacks: Direct3D 9Ex textures created with a shared
// handle that another process can open. On Windows d3d9.dll is a known system
// DLL, so a copy beside a program is never loaded.
//
// How it works: device creation, a device's CreateTexture, CreateQuery,
// Present, read-backs, writes and texture binding, an event query's GetData
// and the texture's Release are patched in the real objects' method tables.
// A texture created with a shared-handle argument gets a handle, recorded
// with its creator's description in a registry that all processes map, and a
// pixel block in shared memory. At each completed synchronisation point of
// its device the owner copies the textures it wrote since the last one into
// their blocks. Opening the handle on the owner's device returns the same
// texture; any other device gets a texture of its own that shows the block's
// pixels and follows them whenever it is bound, copied from or read, or its
// device begins a scene (those moments are ours; Windows names none).
#include "ShareRecords.h"
#include "VtableSlots.h"

#include "CriticalSection.h"
#include "Handles.h"
#include "HexText.h"

#include <d3d9.h>
#include <wrl/client.h>

#include <atomic>
#include <cstring>
#include <string>
#include <map>
#include <memory>
#include <unordered_map>

using Microsoft::WRL::ComPtr;
using namespace d3d9share;

namespace
{

using CreateDeviceFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3D9Ex*, UINT, D3DDEVTYPE, HWND, DWORD,
                                                   D3DPRESENT_PARAMETERS*, IDirect3DDevice9**);
using CreateDeviceExFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3D9Ex*, UINT, D3DDEVTYPE, HWND, DWORD,
                                                     D3DPRESENT_PARAMETERS*, D3DDISPLAYMODEEX*, IDirect3DDevice9Ex**);
using CreateTextureFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9Ex*, UINT, UINT, UINT, DWORD, D3DFORMAT, D3DPOOL,
                                                    IDirect3DTexture9**, HANDLE*);
using TextureReleaseFn = ULONG(STDMETHODCALLTYPE*)(IDirect3DTexture9*);
using CreateQueryFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, D3DQUERYTYPE, IDirect3DQuery9**);
using GetDataFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DQuery9*, void*, DWORD, DWORD);
using PresentFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, const RECT*, const RECT*, HWND, const RGNDATA*);
using PresentExFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9Ex*, const RECT*, const RECT*, HWND, const RGNDATA*,
                                                DWORD);
using CheckDeviceStateFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9Ex*, HWND);
using TestCooperativeLevelFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*);
using GetRenderTargetDataFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, IDirect3DSurface9*, IDirect3DSurface9*);
using UpdateSurfaceFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, IDirect3DSurface9*, const RECT*,
                                                    IDirect3DSurface9*, const POINT*);
using StretchRectFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, IDirect3DSurface9*, const RECT*,
                                                  IDirect3DSurface9*, const RECT*, D3DTEXTUREFILTERTYPE);
using ColorFillFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, IDirect3DSurface9*, const RECT*, D3DCOLOR);
using ClearFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, DWORD, const D3DRECT*, DWORD, D3DCOLOR, float, DWORD);
using BeginSceneFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*);
using SetTextureFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, DWORD, IDirect3DBaseTexture9*);
using DrawPrimitiveFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, D3DPRIMITIVETYPE, UINT, UINT);
using DrawIndexedPrimitiveFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, D3DPRIMITIVETYPE, INT, UINT, UINT, UINT,
                                                           UINT);
using DrawPrimitiveUPFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, D3DPRIMITIVETYPE, UINT, const void*, UINT);
using DrawIndexedPrimitiveUPFn = HRESULT(STDMETHODCALLTYPE*)(IDirect3DDevice9*, D3DPRIMITIVETYPE, UINT, UINT, UINT,
                                                             const void*, D3DFORMAT, const void*, UINT);

void Trace(const std::string& text)
{
    OutputDebugStringA(("d3d9share: " + text + "\n").c_str());
}

bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

HMODULE RealD3d9()
{
    static const HMODULE module = [] {
        wchar_t dir[MAX_PATH] = {};
        const UINT length = GetSystemDirectoryW(dir, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return HMODULE(nullptr);
        const std::wstring path = std::wstring(dir, length) + L"\\d3d9.dll";
        HMODULE real = LoadLibraryW(path.c_str());
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&RunningUnderWine), &self);
        if (real == self)
            return HMODULE(nullptr);
        if (!real)
            Trace("cannot load the system d3d9.dll");
        return real;
    }();
    return module;
}

template <typename Fn>
Fn RealProc(const char* name)
{
    try
    {
        HMODULE module = RealD3d9();
        return module ? reinterpret_cast<Fn>(GetProcAddress(module, name)) : nullptr;
    }
    catch (...)
    {
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Method-table patches. Each patched slot remembers the original it replaced;
// a hook finds it again through the object's own table, so objects of
// different tables never call each other's originals.

struct SlotPatch
{
    void** slot;
    void* original;
};

constexpr unsigned kMaxPatches = 64;
SlotPatch g_patches[kMaxPatches];
std::atomic<unsigned> g_patchCount{0};
CCriticalSection* g_patchLock = new CCriticalSection; // never destroyed: hooks may run during unload

void** SlotOf(void* object, unsigned index)
{
    return *static_cast<void***>(object) + index;
}

void* FindOriginal(void** slot)
{
    const unsigned count = g_patchCount.load(std::memory_order_acquire);
    for (unsigned i = 0; i < count; ++i)
    {
        if (g_patches[i].slot == slot)
            return g_patches[i].original;
    }
    return nullptr;
}

template <typename Fn>
Fn OriginalOf(void* object, unsigned index)
{
    return reinterpret_cast<Fn>(FindOriginal(SlotOf(object, index)));
}

bool PatchSlot(void* object, unsigned index, void* hook)
{
    void** slot = SlotOf(object, index);
    CScopedLock lock(*g_patchLock);
    if (FindOriginal(slot))
        return true;
    const unsigned count = g_patchCount.load(std::memory_order_relaxed);
    if (count == kMaxPatches || *slot == hook)
        return false;
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection))
    {
        Trace("VirtualProtect failed: " + std::to_string(GetLastError()));
        return false;
    }
    g_patches[count] = SlotPatch{slot, *slot};
    g_patchCount.store(count + 1, std::memory_order_release);
    InterlockedExchangePointer(slot, hook);
    DWORD ignored = 0;
    VirtualProtect(slot, sizeof(void*), protection, &ignored); // a writable table still works
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof(void*));
    return true;
}

// ---------------------------------------------------------------------------
// Cross-process pieces.

// Holds a named mutex taken with a bounded wait; an abandoned mutex counts as
// taken, since its owner died and nothing else will release it.
class MutexOwner
{
public:
    MutexOwner(HANDLE mutex, HANDLE watchedProcess, DWORD timeoutMs) : m_mutex(mutex)
    {
        HANDLE waits[2] = {mutex, watchedProcess};
        const DWORD result = WaitForMultipleObjects(watchedProcess ? 2 : 1, waits, FALSE, timeoutMs);
        m_owned = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0;
    }
    ~MutexOwner()
    {
        if (m_owned)
            ReleaseMutex(m_mutex);
    }
    MutexOwner(const MutexOwner&) = delete;
    MutexOwner& operator=(const MutexOwner&) = delete;

    explicit operator bool() const { return m_owned; }

private:
    HANDLE m_mutex; // borrowed
    bool m_owned = false;
};

uint64_t ProcessStartTime(HANDLE process)
{
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return 0;
    return (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

uint64_t OwnStartTime()
{
    static const uint64_t time = ProcessStartTime(GetCurrentProcess());
    return time;
}

// The owner of an entry, when it is still running; empty otherwise.
UniqueHandle OpenLiveOwner(const RegistryEntry& entry)
{
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.ownerPid));
    if (!process || WaitForSingleObject(process.Get(), 0) != WAIT_TIMEOUT ||
        ProcessStartTime(process.Get()) != entry.ownerStartTime)
        return UniqueHandle();
    return process;
}

class SharedTextureRegistry
{
public:
    // Fills in entry's handle and serial; 0 when no slot is left.
    uint64_t Add(RegistryEntry& entry)
    {
        RegistryBlock* block = Open();
        if (!block)
            return 0;
        MutexOwner owner(m_mutex.Get(), nullptr, kOwnerTimeoutMs);
        if (!owner)
            return 0;
        RegistryEntry* slot = FreeSlot(block);
        if (!slot)
        {
            ForgetDeadOwners(block);
            slot = FreeSlot(block);
        }
        if (!slot)
            return 0;
        block->lastSerial = block->lastSerial == UINT32_MAX ? 1 : block->lastSerial + 1;
        entry.serial = block->lastSerial;
        entry.handle = kHandleBase + 4ull * static_cast<uint64_t>(slot - block->entries + 1);
        const uint64_t handle = entry.handle;
        entry.handle = 0;
        *slot = entry;
        slot->handle = handle;
        entry.handle = handle;
        return handle;
    }

    bool Find(uint64_t handle, RegistryEntry* entry)
    {
        RegistryBlock* block = Open();
        if (!block || handle == 0)
            return false;
        MutexOwner owner(m_mutex.Get(), nullptr, kOwnerTimeoutMs);
        if (!owner)
            return false;
        const RegistryEntry* slot = FindSlot(block, handle);
        if (!slot)
            return false;
        *entry = *slot;
        return true;
    }

    // Only the entry of that serial: the handle value may name a newer texture by now.
    void Remove(uint64_t handle, uint32_t serial)
    {
        RegistryBlock* block = Open();
        if (!block || handle == 0)
            return;
        MutexOwner owner(m_mutex.Get(), nullptr, kOwnerTimeoutMs);
        if (!owner)
        {
            Trace("registry busy, entry 0x" + Hex(handle) + " left behind");
            return;
        }
        RegistryEntry* slot = FindSlot(block, handle);
        if (slot && slot->serial == serial)
            *slot = RegistryEntry{};
    }

private:
    RegistryBlock* Open()
    {
        CScopedLock lock(m_openLock);
        if (m_view)
            return static_cast<RegistryBlock*>(m_view.Get());
        UniqueHandle mutex(CreateMutexW(nullptr, FALSE, RegistryMutexName().c_str()));
        UniqueHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                sizeof(RegistryBlock), RegistryBlockName().c_str()));
        if (!mutex || !mapping)
        {
            Trace("cannot create the registry: " + std::to_string(GetLastError()));
            return nullptr;
        }
        UniqueView view(MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(RegistryBlock)));
        if (!view)
            return nullptr;
        {
            MutexOwner owner(mutex.Get(), nullptr, kOwnerTimeoutMs);
            if (!owner)
                return nullptr;
            auto* block = static_cast<RegistryBlock*>(view.Get());
            if (block->magic != kRegistryMagic)
            {
                std::memset(block, 0, sizeof(*block));
                block->magic = kRegistryMagic;
            }
        }
        m_mutex = std::move(mutex);
        m_mapping = std::move(mapping);
        m_view = std::move(view);
        return static_cast<RegistryBlock*>(m_view.Get());
    }

    static RegistryEntry* FindSlot(RegistryBlock* block, uint64_t handle)
    {
        for (RegistryEntry& entry : block->entries)
        {
            if (entry.handle == handle)
                return &entry;
        }
        return nullptr;
    }

    // The lowest free slot, so that a freed handle value comes back first.
    static RegistryEntry* FreeSlot(RegistryBlock* block) { return FindSlot(block, 0); }

    // Processes that died without releasing their textures leave entries behind.
    static void ForgetDeadOwners(RegistryBlock* block)
    {
        for (RegistryEntry& entry : block->entries)
        {
            if (entry.handle != 0 && !OpenLiveOwner(entry))
                entry = RegistryEntry{};
        }
    }

    CCriticalSection m_openLock;
    UniqueHandle m_mutex;
    UniqueHandle m_mapping;
    UniqueView m_view;
};

// ---------------------------------------------------------------------------
// Published pixels. Windows gives shared surfaces no synchronisation across
// devices or processes: the producer must complete its work (an event query,
// a present, a read-back) before a consumer may rely on it ("Direct3D 9Ex
// improvements", shared resources). So the owner copies a texture's level 0
// into its pixel block only at such a point, and openers see that copy.

// The pixel block of one shared texture, mapped once per process: every
// texture that opens it in this process shows the same memory, as on Windows.
struct PixelBlock
{
    UniqueHandle mapping;
    UniqueView view;
    UniqueHandle serve; // the owner's mutex over the published pixels

    PixelHeader* Header() const { return static_cast<PixelHeader*>(view.Get()); }
    uint8_t* Pixels() const { return static_cast<uint8_t*>(view.Get()) + sizeof(PixelHeader); }
};

std::shared_ptr<PixelBlock> MapPixelBlock(const RegistryEntry& entry, bool create)
{
    auto block = std::make_shared<PixelBlock>();
    const uint32_t rowBytes = entry.width * BytesPerPixel(entry.format);
    const size_t bytes = sizeof(PixelHeader) + static_cast<size_t>(rowBytes) * entry.height;
    const std::wstring name = PixelBlockName(entry.ownerPid, entry.serial);
    const std::wstring serve = OwnerObjectName(L"serve", entry.ownerPid);
    if (create)
    {
        block->mapping.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                                static_cast<DWORD>(static_cast<uint64_t>(bytes) >> 32),
                                                static_cast<DWORD>(bytes), name.c_str()));
        block->serve.Reset(CreateMutexW(nullptr, FALSE, serve.c_str()));
    }
    else
    {
        block->mapping.Reset(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()));
        block->serve.Reset(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, serve.c_str()));
    }
    if (block->mapping)
        block->view.Reset(MapViewOfFile(block->mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, bytes));
    if (!block->view || !block->serve)
        return nullptr;
    if (create)
    {
        block->Header()->rowBytes = rowBytes;
        block->Header()->height = entry.height;
    }
    return block;
}

// A texture created as shared in this process.
struct OwnedShare
{
    uint64_t handle = 0;
    uint32_t serial = 0;
    IDirect3DDevice9* device = nullptr;  // borrowed: the texture keeps its device
    IDirect3DSurface9* level0 = nullptr; // borrowed: part of the texture
    std::shared_ptr<PixelBlock> block;
    ComPtr<IDirect3DSurface9> staging; // system-memory copy for the publication
    bool written = false;              // since the last publication
};

// A texture of this process made by opening a shared handle.
struct OpenedShare
{
    std::shared_ptr<PixelBlock> block;
    IDirect3DDevice9* device = nullptr;  // borrowed
    IDirect3DSurface9* level0 = nullptr; // borrowed
    LONG generation = -1;                // of the pixels it shows
    int boundStages = 0;
    bool released = false; // its last reference went while a stage still held it (Wine keeps it for the stage)
};

// This process's shared textures. The texture Release hook holds the lock
// across the real Release, so a texture found here under the lock is alive
// and may be given another reference. Lock order: this lock, then the
// registry's mutex or an owner's serve mutex.
struct LocalShares
{
    CCriticalSection lock;
    std::unordered_map<uint64_t, IDirect3DTexture9*> byHandle; // borrowed: entries leave before the texture dies
    std::unordered_map<IDirect3DTexture9*, OwnedShare> owned;
    std::unordered_map<IDirect3DSurface9*, IDirect3DTexture9*> ownedLevels;
    std::unordered_map<IDirect3DTexture9*, OpenedShare> opened;
    std::unordered_map<IDirect3DSurface9*, IDirect3DTexture9*> openedLevels;
    std::map<std::pair<IDirect3DDevice9*, DWORD>, IDirect3DTexture9*> bindings; // opened textures on stages
    std::map<std::pair<DWORD, uint32_t>, std::weak_ptr<PixelBlock>> blocks;     // by owner and serial
    // Read without the lock: the hooks on every draw call leave at once while both are 0.
    std::atomic<size_t> ownedCount{0};
    std::atomic<size_t> openedCount{0};
    SharedTextureRegistry registry;
};

// Wine's d3d9 calls a texture's Release through its method table while it
// holds Direct3D's own lock, so that lock is always taken first: whoever takes
// the shares' lock holds Wine's (an export of its wined3d.dll) already.
std::atomic<void (*)()> g_wineLock{nullptr};
std::atomic<void (*)()> g_wineUnlock{nullptr};

void FindWineLock()
{
    HMODULE wined3d = GetModuleHandleW(L"wined3d.dll");
    const auto lock = wined3d ? reinterpret_cast<void (*)()>(GetProcAddress(wined3d, "wined3d_mutex_lock")) : nullptr;
    const auto unlock =
        wined3d ? reinterpret_cast<void (*)()>(GetProcAddress(wined3d, "wined3d_mutex_unlock")) : nullptr;
    if (!lock || !unlock)
    {
        Trace("wined3d_mutex_lock not found");
        return;
    }
    g_wineUnlock = unlock;
    g_wineLock = lock;
}

class SharesLock
{
public:
    explicit SharesLock(struct LocalShares& shares);
    ~SharesLock();
    SharesLock(const SharesLock&) = delete;
    SharesLock& operator=(const SharesLock&) = delete;

private:
    CCriticalSection& m_lock;
    void (*m_wineUnlock)();
};

LocalShares& Shares()
{
    static LocalShares* shares = new LocalShares; // never destroyed: hooks may run during unload
    return *shares;
}

SharesLock::SharesLock(LocalShares& shares) : m_lock(shares.lock), m_wineUnlock(nullptr)
{
    if (const auto wineLock = g_wineLock.load())
    {
        wineLock();
        m_wineUnlock = g_wineUnlock.load();
    }
    m_lock.Enter();
}

SharesLock::~SharesLock()
{
    m_lock.Leave();
    if (m_wineUnlock)
        m_wineUnlock();
}

ComPtr<IDirect3DTexture9> LocalTexture(uint64_t handle)
{
    LocalShares& shares = Shares();
    SharesLock lock(shares);
    const auto found = shares.byHandle.find(handle);
    return found == shares.byHandle.end() ? nullptr : found->second;
}

// The process's mapping of an entry's pixel block, mapped now if none is.
std::shared_ptr<PixelBlock> SharedPixelBlock(const RegistryEntry& entry)
{
    LocalShares& shares = Shares();
    SharesLock lock(shares);
    const auto key = std::make_pair(entry.ownerPid, entry.serial);
    if (std::shared_ptr<PixelBlock> block = shares.blocks[key].lock())
        return block;
    std::shared_ptr<PixelBlock> block = MapPixelBlock(entry, false);
    if (block)
        shares.blocks[key] = block;
    else
        shares.blocks.erase(key);
    return block;
}

void ForgetBlock(LocalShares& shares, const std::shared_ptr<PixelBlock>& block)
{
    for (auto it = shares.blocks.begin(); it != shares.blocks.end();)
    {
        const std::shared_ptr<PixelBlock> held = it->second.lock();
        it = !held || held == block ? shares.blocks.erase(it) : std::next(it);
    }
}

void ForgetOpened(LocalShares& shares, IDirect3DTexture9* texture)
{
    const auto found = shares.opened.find(texture);
    if (found == shares.opened.end())
        return;
    shares.openedLevels.erase(found->second.level0);
    std::shared_ptr<PixelBlock> block = std::move(found->second.block);
    shares.opened.erase(found);
    shares.openedCount = shares.opened.size();
    if (block.use_count() == 1)
        ForgetBlock(shares, block);
}

ULONG STDMETHODCALLTYPE HookTextureRelease(IDirect3DTexture9* self)
{
    const auto original = OriginalOf<TextureReleaseFn>(self, kSlotTextureRelease);
    if (!original)
        return 0;
    try
    {
        LocalShares& shares = Shares();
        SharesLock lock(shares);
        const ULONG left = original(self);
        if (left != 0)
            return left;
        const auto owned = shares.owned.find(self);
        if (owned != shares.owned.end())
        {
            const uint64_t handle = owned->second.handle;
            const uint32_t serial = owned->second.serial;
            shares.ownedLevels.erase(owned->second.level0);
            std::shared_ptr<PixelBlock> block = std::move(owned->second.block);
            shares.owned.erase(owned);
            shares.ownedCount = shares.owned.size();
            shares.byHandle.erase(handle);
            if (block.use_count() == 1)
                ForgetBlock(shares, block);
            shares.registry.Remove(handle, serial);
        }
        const auto opened = shares.opened.find(self);
        if (opened != shares.opened.end())
        {
            if (opened->second.boundStages > 0)
                opened->second.released = true;
            else
                ForgetOpened(shares, self);
        }
        return left;
    }
    catch (...)
    {
        return 0;
    }
}

void CopyRows(uint8_t* destination, size_t destinationPitch, const uint8_t* source, size_t sourcePitch,
              size_t rowBytes, UINT rows)
{
    for (UINT row = 0; row < rows; ++row)
        std::memcpy(destination + row * destinationPitch, source + row * sourcePitch, rowBytes);
}

// QV_D3D9SHARE_PIXELS=0 leaves every pixel block as created (openers see
// black): for measuring a program whose frames no other process reads, without
// the copying that Windows' shared textures never do.
bool CopyingPixels()
{
    static const bool copying = [] {
        wchar_t value[4] = {};
        return GetEnvironmentVariableW(L"QV_D3D9SHARE_PIXELS", value, 4) != 1 || value[0] != L'0';
    }();
    return copying;
}

// Copies level 0 of an owned texture into its pixel block. Under the lock.
void Publish(OwnedShare& share)
{
    share.written = false;
    PixelHeader* header = share.block->Header();
    if (header->rowBytes == 0 || !CopyingPixels())
        return; // a format the stand-in cannot copy, or copying is off: openers keep black
    const auto readBack = OriginalOf<GetRenderTargetDataFn>(share.device, kSlotDeviceGetRenderTargetData);
    D3DSURFACE_DESC desc{};
    HRESULT hr = readBack ? share.level0->GetDesc(&desc) : E_FAIL;
    if (SUCCEEDED(hr) && !share.staging)
        hr = share.device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM,
                                                       &share.staging, nullptr);
    if (SUCCEEDED(hr))
        hr = readBack(share.device, share.level0, share.staging.Get());
    D3DLOCKED_RECT locked{};
    if (SUCCEEDED(hr))
        hr = share.staging->LockRect(&locked, nullptr, D3DLOCK_READONLY);
    if (FAILED(hr))
    {
        Trace("cannot publish 0x" + Hex(share.handle) + ": 0x" + Hex(static_cast<uint32_t>(hr)));
        return;
    }
    {
        MutexOwner turn(share.block->serve.Get(), nullptr, kOwnerTimeoutMs);
        if (turn)
        {
            CopyRows(share.block->Pixels(), header->rowBytes, static_cast<const uint8_t*>(locked.pBits),
                     locked.Pitch, header->rowBytes, header->height);
            InterlockedIncrement(&header->generation);
        }
        else
        {
            Trace("serve mutex busy, 0x" + Hex(share.handle) + " not published");
        }
    }
    share.staging->UnlockRect();
}

// A synchronisation point of device completed: its shared textures written
// since the last one are published.
void PublishDevice(IDirect3DDevice9* device)
{
    LocalShares& shares = Shares();
    if (shares.ownedCount.load(std::memory_order_relaxed) == 0)
        return;
    try
    {
        SharesLock lock(shares);
        for (auto& owned : shares.owned)
        {
            if (owned.second.written && owned.second.device == device)
                Publish(owned.second);
        }
    }
    catch (...)
    {
        Trace("publication stopped by an exception");
    }
}

// The owner is about to write into surface. A write into a texture that an
// opener holds bound races the opener's draws, since Windows orders nothing
// across devices; counting it for the tests is ours.
void NoteWrite(IDirect3DSurface9* surface)
{
    LocalShares& shares = Shares();
    if (!surface || shares.ownedCount.load(std::memory_order_relaxed) == 0)
        return;
    try
    {
        SharesLock lock(shares);
        const auto level = shares.ownedLevels.find(surface);
        const auto owned = level == shares.ownedLevels.end() ? shares.owned.end() : shares.owned.find(level->second);
        if (owned == shares.owned.end())
            return;
        OwnedShare& share = owned->second;
        share.written = true;
        PixelHeader* header = share.block->Header();
        if (header->boundStages > 0)
        {
            InterlockedIncrement(&header->boundWrites);
            Trace("write into 0x" + Hex(share.handle) + " while an opener holds it bound");
        }
    }
    catch (...)
    {
    }
}

void NoteRenderTargetWrite(IDirect3DDevice9* device)
{
    if (Shares().ownedCount.load(std::memory_order_relaxed) == 0)
        return;
    ComPtr<IDirect3DSurface9> target;
    if (SUCCEEDED(device->GetRenderTarget(0, &target)))
        NoteWrite(target.Get());
}

// Brings an opened texture to the owner's last published pixels. Before the
// first publication Windows leaves the content undefined; ours is black. Under the lock.
void Refresh(OpenedShare& share)
{
    PixelHeader* header = share.block->Header();
    if (share.released || header->generation == share.generation)
        return;
    D3DSURFACE_DESC desc{};
    HRESULT hr = header->generation == 0 || header->rowBytes == 0 ? E_PENDING : share.level0->GetDesc(&desc);
    ComPtr<IDirect3DSurface9> staging;
    if (SUCCEEDED(hr))
        hr = share.device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM,
                                                       &staging, nullptr);
    D3DLOCKED_RECT locked{};
    if (SUCCEEDED(hr))
        hr = staging->LockRect(&locked, nullptr, 0);
    LONG generation = header->generation;
    if (SUCCEEDED(hr))
    {
        {
            MutexOwner turn(share.block->serve.Get(), nullptr, kOwnerTimeoutMs);
            if (turn)
            {
                generation = header->generation;
                CopyRows(static_cast<uint8_t*>(locked.pBits), locked.Pitch, share.block->Pixels(), header->rowBytes,
                         header->rowBytes, header->height);
            }
            else
            {
                hr = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
                Trace("owner's pixels busy, opened texture left black");
            }
        }
        staging->UnlockRect();
    }
    if (SUCCEEDED(hr))
        hr = share.device->UpdateSurface(staging.Get(), nullptr, share.level0, nullptr);
    if (FAILED(hr) && share.generation < 0)
    {
        // Never whatever the new texture's memory held.
        const HRESULT fill = share.device->ColorFill(share.level0, nullptr, D3DCOLOR_XRGB(0, 0, 0));
        if (FAILED(fill))
            Trace("ColorFill failed: 0x" + Hex(static_cast<uint32_t>(fill)));
    }
    share.generation = generation;
}

void RefreshLevel(IDirect3DSurface9* surface)
{
    LocalShares& shares = Shares();
    if (!surface || shares.openedCount.load(std::memory_order_relaxed) == 0)
        return;
    try
    {
        SharesLock lock(shares);
        const auto level = shares.openedLevels.find(surface);
        const auto share = level == shares.openedLevels.end() ? shares.opened.end() : shares.opened.find(level->second);
        if (share != shares.opened.end())
            Refresh(share->second);
    }
    catch (...)
    {
    }
}

// Keeps the count of stages that hold each opened texture, and shows a
// texture being bound the owner's latest published pixels.
void NoteBinding(IDirect3DDevice9* device, DWORD stage, IDirect3DBaseTexture9* texture)
{
    LocalShares& shares = Shares();
    if (shares.openedCount.load(std::memory_order_relaxed) == 0)
        return;
    try
    {
        SharesLock lock(shares);
        const auto key = std::make_pair(device, stage);
        // A 2D texture's base interface has the texture's own address; other kinds are simply not found.
        auto* candidate = reinterpret_cast<IDirect3DTexture9*>(texture);
        const auto bound = shares.bindings.find(key);
        if (bound != shares.bindings.end() && bound->second != candidate)
        {
            IDirect3DTexture9* previous = bound->second;
            shares.bindings.erase(bound);
            const auto share = shares.opened.find(previous);
            if (share != shares.opened.end())
            {
                --share->second.boundStages;
                InterlockedDecrement(&share->second.block->Header()->boundStages);
                if (share->second.released && share->second.boundStages == 0)
                    ForgetOpened(shares, previous);
            }
        }
        const auto opened = shares.opened.find(candidate);
        if (opened == shares.opened.end() || opened->second.released)
            return;
        if (shares.bindings.emplace(key, candidate).second)
        {
            ++opened->second.boundStages;
            InterlockedIncrement(&opened->second.block->Header()->boundStages);
        }
        Refresh(opened->second);
    }
    catch (...)
    {
    }
}

void RefreshBound(IDirect3DDevice9* device)
{
    LocalShares& shares = Shares();
    if (shares.openedCount.load(std::memory_order_relaxed) == 0)
        return;
    try
    {
        SharesLock lock(shares);
        for (auto it = shares.bindings.lower_bound(std::make_pair(device, DWORD(0)));
             it != shares.bindings.end() && it->first.first == device; ++it)
        {
            const auto share = shares.opened.find(it->second);
            if (share != shares.opened.end())
                Refresh(share->second);
        }
    }
    catch (...)
    {
    }
}

// ---------------------------------------------------------------------------
// Injected device faults. A 9Ex device is lost only when the adapter hangs or
// its driver is removed ("Direct3D 9Ex improvements"); tests make a process
// see that through InjectDeviceFault.

struct FaultMapping
{
    UniqueHandle mapping;
    UniqueView view;
};

std::atomic<FaultBlock*> g_fault{nullptr};

void OpenFaultBlock()
{
    static FaultMapping* fault = [] {
        auto* made = new FaultMapping; // never destroyed: hooks may run during unload
        made->mapping.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(FaultBlock),
                                               FaultBlockName(GetCurrentProcessId()).c_str()));
        if (made->mapping)
            made->view.Reset(MapViewOfFile(made->mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(FaultBlock)));
        g_fault = static_cast<FaultBlock*>(made->view.Get());
        return made;
    }();
    (void)fault;
}

HRESULT InjectedFault()
{
    const FaultBlock* block = g_fault.load(std::memory_order_relaxed);
    return block ? block->fault : S_OK;
}

// ---------------------------------------------------------------------------
// Creating and opening.

HRESULT CreateShared(CreateTextureFn original, IDirect3DDevice9Ex* device, UINT width, UINT height, UINT levels,
                     DWORD usage, D3DFORMAT format, D3DPOOL pool, IDirect3DTexture9** texture, HANDLE* sharedHandle)
{
    ComPtr<IDirect3DTexture9> created;
    HRESULT hr = original(device, width, height, levels, usage, format, pool, &created, nullptr);
    if (FAILED(hr))
        return hr;
    if (!PatchSlot(created.Get(), kSlotTextureRelease, reinterpret_cast<void*>(&HookTextureRelease)))
        return E_FAIL;
    ComPtr<IDirect3DSurface9> level0;
    hr = created->GetSurfaceLevel(0, &level0);
    if (FAILED(hr))
        return hr;
    LocalShares& shares = Shares();
    RegistryEntry entry{};
    entry.ownerStartTime = OwnStartTime();
    entry.ownerPid = GetCurrentProcessId();
    entry.width = width;
    entry.height = height;
    entry.format = static_cast<uint32_t>(format);
    entry.levels = levels;
    entry.usage = usage;
    entry.pool = static_cast<uint32_t>(pool);
    const uint64_t handle = shares.registry.Add(entry);
    if (handle == 0)
        return E_OUTOFMEMORY;
    std::shared_ptr<PixelBlock> block = MapPixelBlock(entry, true);
    if (!block)
    {
        shares.registry.Remove(handle, entry.serial);
        return E_OUTOFMEMORY;
    }
    {
        SharesLock lock(shares);
        OwnedShare& share = shares.owned[created.Get()];
        share.handle = handle;
        share.serial = entry.serial;
        share.device = device;
        share.level0 = level0.Get();
        share.block = block;
        shares.ownedLevels[level0.Get()] = created.Get();
        shares.byHandle[handle] = created.Get();
        shares.blocks[std::make_pair(entry.ownerPid, entry.serial)] = block;
        shares.ownedCount = shares.owned.size();
    }
    *sharedHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
    *texture = created.Detach();
    return S_OK;
}

HRESULT OpenShared(CreateTextureFn original, IDirect3DDevice9Ex* device, UINT width, UINT height, UINT levels,
                   DWORD usage, D3DFORMAT format, D3DPOOL pool, IDirect3DTexture9** texture, uint64_t handle)
{
    LocalShares& shares = Shares();
    RegistryEntry entry{};
    if (!shares.registry.Find(handle, &entry))
    {
        Trace("open of unknown handle 0x" + Hex(handle));
        return E_INVALIDARG;
    }
    // The opener must describe the resource exactly as its creator did ("Direct3D 9Ex improvements");
    // which error Windows returns is undocumented, ours is E_INVALIDARG.
    if (entry.width != width || entry.height != height || entry.levels != levels || entry.usage != usage ||
        entry.format != static_cast<uint32_t>(format) || entry.pool != static_cast<uint32_t>(pool))
    {
        Trace("open of 0x" + Hex(handle) + " with another description than its creator's");
        return E_INVALIDARG;
    }

    if (entry.ownerPid == GetCurrentProcessId() && entry.ownerStartTime == OwnStartTime())
    {
        ComPtr<IDirect3DTexture9> own = LocalTexture(handle);
        if (!own)
            return E_INVALIDARG;
        ComPtr<IDirect3DDevice9> ownDevice;
        HRESULT hr = own->GetDevice(&ownDevice);
        if (FAILED(hr))
            return hr;
        if (ownDevice.Get() == static_cast<IDirect3DDevice9*>(device))
        {
            *texture = own.Detach();
            return S_OK;
        }
        // A texture belongs to its device; another device of this process opens it as another process would.
    }
    else if (!OpenLiveOwner(entry))
    {
        // Its owner is gone and so is the texture, as on Windows once nobody holds it.
        shares.registry.Remove(handle, entry.serial);
        Trace("owner of 0x" + Hex(handle) + " has ended");
        return E_INVALIDARG;
    }
    std::shared_ptr<PixelBlock> block = SharedPixelBlock(entry);
    if (!block)
    {
        Trace("pixels of 0x" + Hex(handle) + " are gone");
        return E_INVALIDARG; // the owner released it meanwhile
    }
    ComPtr<IDirect3DTexture9> local;
    HRESULT hr = original(device, width, height, levels, usage, format, pool, &local, nullptr);
    ComPtr<IDirect3DSurface9> level0;
    if (SUCCEEDED(hr))
        hr = local->GetSurfaceLevel(0, &level0);
    if (FAILED(hr))
        return hr;
    if (!PatchSlot(local.Get(), kSlotTextureRelease, reinterpret_cast<void*>(&HookTextureRelease)))
        return E_FAIL;
    {
        SharesLock lock(shares);
        OpenedShare& share = shares.opened[local.Get()];
        share.block = std::move(block);
        share.device = device;
        share.level0 = level0.Get();
        shares.openedLevels[level0.Get()] = local.Get();
        shares.openedCount = shares.opened.size();
        Refresh(share);
    }
    *texture = local.Detach();
    return S_OK;
}

bool IsExtendedDevice(IDirect3DDevice9* device)
{
    ComPtr<IDirect3DDevice9Ex> extended;
    return SUCCEEDED(device->QueryInterface(__uuidof(IDirect3DDevice9Ex), reinterpret_cast<void**>(extended.GetAddressOf())));
}

// ---------------------------------------------------------------------------
// Device hooks.

HRESULT STDMETHODCALLTYPE HookCreateTexture(IDirect3DDevice9Ex* self, UINT width, UINT height, UINT levels,
                                            DWORD usage, D3DFORMAT format, D3DPOOL pool, IDirect3DTexture9** texture,
                                            HANDLE* sharedHandle)
{
    const auto original = OriginalOf<CreateTextureFn>(self, kSlotDeviceCreateTexture);
    if (!original)
        return E_FAIL;
    if (const HRESULT fault = InjectedFault())
        return fault;
    // A system-memory texture's handle argument names its memory, which Wine supports;
    // a plain device refuses sharing by itself.
    if (!sharedHandle || !texture || pool == D3DPOOL_SYSTEMMEM || !IsExtendedDevice(self))
        return original(self, width, height, levels, usage, format, pool, texture, sharedHandle);
    *texture = nullptr;
    // Shared resources live in the default pool only ("Direct3D 9Ex improvements").
    if (pool != D3DPOOL_DEFAULT)
        return D3DERR_INVALIDCALL;
    try
    {
        if (*sharedHandle == nullptr)
            return CreateShared(original, self, width, height, levels, usage, format, pool, texture, sharedHandle);
        return OpenShared(original, self, width, height, levels, usage, format, pool, texture,
                          reinterpret_cast<uintptr_t>(*sharedHandle));
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE HookGetData(IDirect3DQuery9* self, void* data, DWORD size, DWORD flags)
{
    const auto original = OriginalOf<GetDataFn>(self, kSlotQueryGetData);
    if (!original)
        return E_FAIL;
    // A query of a hung or removed adapter answers that the device is lost (IDirect3DQuery9::GetData).
    if (InjectedFault())
        return D3DERR_DEVICELOST;
    const HRESULT hr = original(self, data, size, flags);
    // An event query answered after a flush: the device's earlier work is complete.
    if (hr == S_OK && (flags & D3DGETDATA_FLUSH) && Shares().ownedCount.load(std::memory_order_relaxed) != 0 &&
        self->GetType() == D3DQUERYTYPE_EVENT)
    {
        ComPtr<IDirect3DDevice9> device;
        if (SUCCEEDED(self->GetDevice(&device)))
            PublishDevice(device.Get());
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE HookCreateQuery(IDirect3DDevice9* self, D3DQUERYTYPE type, IDirect3DQuery9** query)
{
    const auto original = OriginalOf<CreateQueryFn>(self, kSlotDeviceCreateQuery);
    if (!original)
        return E_FAIL;
    const HRESULT hr = original(self, type, query);
    if (SUCCEEDED(hr) && query && *query && type == D3DQUERYTYPE_EVENT)
    {
        try
        {
            if (!PatchSlot(*query, kSlotQueryGetData, reinterpret_cast<void*>(&HookGetData)))
                Trace("cannot patch GetData");
        }
        catch (...)
        {
        }
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE HookPresent(IDirect3DDevice9* self, const RECT* source, const RECT* destination,
                                      HWND window, const RGNDATA* dirty)
{
    const auto original = OriginalOf<PresentFn>(self, kSlotDevicePresent);
    if (!original)
        return E_FAIL;
    if (const HRESULT fault = InjectedFault())
        return fault;
    const HRESULT hr = original(self, source, destination, window, dirty);
    if (SUCCEEDED(hr))
        PublishDevice(self);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookPresentEx(IDirect3DDevice9Ex* self, const RECT* source, const RECT* destination,
                                        HWND window, const RGNDATA* dirty, DWORD flags)
{
    const auto original = OriginalOf<PresentExFn>(self, kSlotDevicePresentEx);
    if (!original)
        return E_FAIL;
    if (const HRESULT fault = InjectedFault())
        return fault;
    const HRESULT hr = original(self, source, destination, window, dirty, flags);
    if (SUCCEEDED(hr))
        PublishDevice(self);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookCheckDeviceState(IDirect3DDevice9Ex* self, HWND window)
{
    const auto original = OriginalOf<CheckDeviceStateFn>(self, kSlotDeviceCheckDeviceState);
    if (!original)
        return E_FAIL;
    if (const HRESULT fault = InjectedFault())
        return fault;
    return original(self, window);
}

// On a 9Ex device TestCooperativeLevel always answers S_OK; CheckDeviceState
// reports hung and removed adapters instead (IDirect3DDevice9Ex::CheckDeviceState).
HRESULT STDMETHODCALLTYPE HookTestCooperativeLevel(IDirect3DDevice9* self)
{
    const auto original = OriginalOf<TestCooperativeLevelFn>(self, kSlotDeviceTestCooperativeLevel);
    if (!original)
        return E_FAIL;
    return IsExtendedDevice(self) ? S_OK : original(self);
}

HRESULT STDMETHODCALLTYPE HookGetRenderTargetData(IDirect3DDevice9* self, IDirect3DSurface9* target,
                                                  IDirect3DSurface9* copy)
{
    const auto original = OriginalOf<GetRenderTargetDataFn>(self, kSlotDeviceGetRenderTargetData);
    if (!original)
        return E_FAIL;
    RefreshLevel(target);
    const HRESULT hr = original(self, target, copy);
    // A read-back waits for the device's work up to it.
    if (SUCCEEDED(hr))
        PublishDevice(self);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookUpdateSurface(IDirect3DDevice9* self, IDirect3DSurface9* source, const RECT* rect,
                                            IDirect3DSurface9* destination, const POINT* point)
{
    const auto original = OriginalOf<UpdateSurfaceFn>(self, kSlotDeviceUpdateSurface);
    if (!original)
        return E_FAIL;
    NoteWrite(destination);
    return original(self, source, rect, destination, point);
}

HRESULT STDMETHODCALLTYPE HookStretchRect(IDirect3DDevice9* self, IDirect3DSurface9* source, const RECT* sourceRect,
                                          IDirect3DSurface9* destination, const RECT* destinationRect,
                                          D3DTEXTUREFILTERTYPE filter)
{
    const auto original = OriginalOf<StretchRectFn>(self, kSlotDeviceStretchRect);
    if (!original)
        return E_FAIL;
    RefreshLevel(source);
    NoteWrite(destination);
    return original(self, source, sourceRect, destination, destinationRect, filter);
}

HRESULT STDMETHODCALLTYPE HookColorFill(IDirect3DDevice9* self, IDirect3DSurface9* surface, const RECT* rect,
                                        D3DCOLOR colour)
{
    const auto original = OriginalOf<ColorFillFn>(self, kSlotDeviceColorFill);
    if (!original)
        return E_FAIL;
    NoteWrite(surface);
    return original(self, surface, rect, colour);
}

HRESULT STDMETHODCALLTYPE HookClear(IDirect3DDevice9* self, DWORD count, const D3DRECT* rects, DWORD flags,
                                    D3DCOLOR colour, float z, DWORD stencil)
{
    const auto original = OriginalOf<ClearFn>(self, kSlotDeviceClear);
    if (!original)
        return E_FAIL;
    if (flags & D3DCLEAR_TARGET)
        NoteRenderTargetWrite(self);
    return original(self, count, rects, flags, colour, z, stencil);
}

HRESULT STDMETHODCALLTYPE HookBeginScene(IDirect3DDevice9* self)
{
    const auto original = OriginalOf<BeginSceneFn>(self, kSlotDeviceBeginScene);
    if (!original)
        return E_FAIL;
    RefreshBound(self);
    return original(self);
}

HRESULT STDMETHODCALLTYPE HookSetTexture(IDirect3DDevice9* self, DWORD stage, IDirect3DBaseTexture9* texture)
{
    const auto original = OriginalOf<SetTextureFn>(self, kSlotDeviceSetTexture);
    if (!original)
        return E_FAIL;
    NoteBinding(self, stage, texture);
    return original(self, stage, texture);
}

HRESULT STDMETHODCALLTYPE HookDrawPrimitive(IDirect3DDevice9* self, D3DPRIMITIVETYPE type, UINT start, UINT count)
{
    const auto original = OriginalOf<DrawPrimitiveFn>(self, kSlotDeviceDrawPrimitive);
    if (!original)
        return E_FAIL;
    NoteRenderTargetWrite(self);
    return original(self, type, start, count);
}

HRESULT STDMETHODCALLTYPE HookDrawIndexedPrimitive(IDirect3DDevice9* self, D3DPRIMITIVETYPE type, INT base,
                                                   UINT minIndex, UINT vertices, UINT start, UINT count)
{
    const auto original = OriginalOf<DrawIndexedPrimitiveFn>(self, kSlotDeviceDrawIndexedPrimitive);
    if (!original)
        return E_FAIL;
    NoteRenderTargetWrite(self);
    return original(self, type, base, minIndex, vertices, start, count);
}

HRESULT STDMETHODCALLTYPE HookDrawPrimitiveUP(IDirect3DDevice9* self, D3DPRIMITIVETYPE type, UINT count,
                                              const void* data, UINT stride)
{
    const auto original = OriginalOf<DrawPrimitiveUPFn>(self, kSlotDeviceDrawPrimitiveUP);
    if (!original)
        return E_FAIL;
    NoteRenderTargetWrite(self);
    return original(self, type, count, data, stride);
}

HRESULT STDMETHODCALLTYPE HookDrawIndexedPrimitiveUP(IDirect3DDevice9* self, D3DPRIMITIVETYPE type, UINT minIndex,
                                                     UINT vertices, UINT count, const void* indices,
                                                     D3DFORMAT indexFormat, const void* data, UINT stride)
{
    const auto original = OriginalOf<DrawIndexedPrimitiveUPFn>(self, kSlotDeviceDrawIndexedPrimitiveUP);
    if (!original)
        return E_FAIL;
    NoteRenderTargetWrite(self);
    return original(self, type, minIndex, vertices, count, indices, indexFormat, data, stride);
}

void PatchDevice(IDirect3DDevice9* device)
{
    struct Patch
    {
        unsigned slot;
        void* hook;
        bool extendedOnly;
    };
    const Patch patches[] = {
        {kSlotDeviceCreateTexture, reinterpret_cast<void*>(&HookCreateTexture), false},
        {kSlotDeviceCreateQuery, reinterpret_cast<void*>(&HookCreateQuery), false},
        {kSlotDevicePresent, reinterpret_cast<void*>(&HookPresent), false},
        {kSlotDevicePresentEx, reinterpret_cast<void*>(&HookPresentEx), true},
        {kSlotDeviceCheckDeviceState, reinterpret_cast<void*>(&HookCheckDeviceState), true},
        {kSlotDeviceTestCooperativeLevel, reinterpret_cast<void*>(&HookTestCooperativeLevel), false},
        {kSlotDeviceGetRenderTargetData, reinterpret_cast<void*>(&HookGetRenderTargetData), false},
        {kSlotDeviceUpdateSurface, reinterpret_cast<void*>(&HookUpdateSurface), false},
        {kSlotDeviceStretchRect, reinterpret_cast<void*>(&HookStretchRect), false},
        {kSlotDeviceColorFill, reinterpret_cast<void*>(&HookColorFill), false},
        {kSlotDeviceClear, reinterpret_cast<void*>(&HookClear), false},
        {kSlotDeviceBeginScene, reinterpret_cast<void*>(&HookBeginScene), false},
        {kSlotDeviceSetTexture, reinterpret_cast<void*>(&HookSetTexture), false},
        {kSlotDeviceDrawPrimitive, reinterpret_cast<void*>(&HookDrawPrimitive), false},
        {kSlotDeviceDrawIndexedPrimitive, reinterpret_cast<void*>(&HookDrawIndexedPrimitive), false},
        {kSlotDeviceDrawPrimitiveUP, reinterpret_cast<void*>(&HookDrawPrimitiveUP), false},
        {kSlotDeviceDrawIndexedPrimitiveUP, reinterpret_cast<void*>(&HookDrawIndexedPrimitiveUP), false},
    };
    try
    {
        const bool extended = IsExtendedDevice(device);
        for (const Patch& patch : patches)
        {
            if ((extended || !patch.extendedOnly) && !PatchSlot(device, patch.slot, patch.hook))
                Trace("cannot patch device slot " + std::to_string(patch.slot));
        }
    }
    catch (...)
    {
        // The device stays usable; only its textures are not shared.
    }
}

// A windowed device may lack a focus window only when the presentation
// parameters name a device window (IDirect3D9Ex::CreateDeviceEx).
bool LacksWindow(HWND focus, const D3DPRESENT_PARAMETERS* parameters)
{
    return parameters && parameters->Windowed && !focus && !parameters->hDeviceWindow;
}

HRESULT STDMETHODCALLTYPE HookCreateDevice(IDirect3D9Ex* self, UINT adapter, D3DDEVTYPE type, HWND focus,
                                           DWORD behavior, D3DPRESENT_PARAMETERS* parameters,
                                           IDirect3DDevice9** device)
{
    const auto original = OriginalOf<CreateDeviceFn>(self, kSlotD3dCreateDevice);
    if (!original)
        return E_FAIL;
    if (LacksWindow(focus, parameters))
    {
        if (device)
            *device = nullptr;
        Trace("windowed device without a window refused");
        return D3DERR_INVALIDCALL;
    }
    const HRESULT hr = original(self, adapter, type, focus, behavior, parameters, device);
    if (SUCCEEDED(hr) && device && *device)
        PatchDevice(*device);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookCreateDeviceEx(IDirect3D9Ex* self, UINT adapter, D3DDEVTYPE type, HWND focus,
                                             DWORD behavior, D3DPRESENT_PARAMETERS* parameters,
                                             D3DDISPLAYMODEEX* fullscreenMode, IDirect3DDevice9Ex** device)
{
    const auto original = OriginalOf<CreateDeviceExFn>(self, kSlotD3dCreateDeviceEx);
    if (!original)
        return E_FAIL;
    if (LacksWindow(focus, parameters))
    {
        if (device)
            *device = nullptr;
        Trace("windowed device without a window refused");
        return D3DERR_INVALIDCALL;
    }
    const HRESULT hr = original(self, adapter, type, focus, behavior, parameters, fullscreenMode, device);
    if (SUCCEEDED(hr) && device && *device)
        PatchDevice(*device);
    return hr;
}

void PatchDirect3D(IDirect3D9* d3d, bool extended)
{
    if (!d3d || !RunningUnderWine())
        return;
    try
    {
        // Wine's method tables outlive any unload of this module and point into it.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&PatchDirect3D), &self);
        OpenFaultBlock();
        if (!g_wineLock.load())
            FindWineLock();
        if (!PatchSlot(d3d, kSlotD3dCreateDevice, reinterpret_cast<void*>(&HookCreateDevice)) ||
            (extended && !PatchSlot(d3d, kSlotD3dCreateDeviceEx, reinterpret_cast<void*>(&HookCreateDeviceEx))))
            Trace("cannot patch device creation");
    }
    catch (...)
    {
        // Devices of this object then simply share nothing.
    }
}

// The count of owner writes into a shared texture while an opener held it bound; -1 for an unknown handle.
LONG BoundWrites(uint64_t handle)
{
    RegistryEntry entry{};
    if (!Shares().registry.Find(handle, &entry))
        return -1;
    std::shared_ptr<PixelBlock> block = SharedPixelBlock(entry);
    return block ? block->Header()->boundWrites : -1;
}

} // namespace

// ---------------------------------------------------------------------------
// Exports: the two creators wrap Wine's; the rest pass straight through.

extern "C" {

IDirect3D9* WINAPI Direct3DCreate9(UINT sdkVersion)
{
    const auto real = RealProc<IDirect3D9*(WINAPI*)(UINT)>("Direct3DCreate9");
    IDirect3D9* d3d = real ? real(sdkVersion) : nullptr;
    PatchDirect3D(d3d, false);
    return d3d;
}

HRESULT WINAPI Direct3DCreate9Ex(UINT sdkVersion, IDirect3D9Ex** d3d)
{
    const auto real = RealProc<HRESULT(WINAPI*)(UINT, IDirect3D9Ex**)>("Direct3DCreate9Ex");
    if (!real)
    {
        if (d3d)
            *d3d = nullptr;
        return D3DERR_NOTAVAILABLE;
    }
    const HRESULT hr = real(sdkVersion, d3d);
    if (SUCCEEDED(hr) && d3d)
        PatchDirect3D(*d3d, true);
    return hr;
}

int WINAPI D3DPERF_BeginEvent(D3DCOLOR color, const WCHAR* name)
{
    const auto real = RealProc<int(WINAPI*)(D3DCOLOR, const WCHAR*)>("D3DPERF_BeginEvent");
    return real ? real(color, name) : 0;
}

int WINAPI D3DPERF_EndEvent(void)
{
    const auto real = RealProc<int(WINAPI*)()>("D3DPERF_EndEvent");
    return real ? real() : 0;
}

DWORD WINAPI D3DPERF_GetStatus(void)
{
    const auto real = RealProc<DWORD(WINAPI*)()>("D3DPERF_GetStatus");
    return real ? real() : 0;
}

BOOL WINAPI D3DPERF_QueryRepeatFrame(void)
{
    const auto real = RealProc<BOOL(WINAPI*)()>("D3DPERF_QueryRepeatFrame");
    return real ? real() : FALSE;
}

void WINAPI D3DPERF_SetMarker(D3DCOLOR color, const WCHAR* name)
{
    if (const auto real = RealProc<void(WINAPI*)(D3DCOLOR, const WCHAR*)>("D3DPERF_SetMarker"))
        real(color, name);
}

void WINAPI D3DPERF_SetOptions(DWORD options)
{
    if (const auto real = RealProc<void(WINAPI*)(DWORD)>("D3DPERF_SetOptions"))
        real(options);
}

void WINAPI D3DPERF_SetRegion(D3DCOLOR color, const WCHAR* name)
{
    if (const auto real = RealProc<void(WINAPI*)(D3DCOLOR, const WCHAR*)>("D3DPERF_SetRegion"))
        real(color, name);
}

void WINAPI DebugSetMute(void)
{
    if (const auto real = RealProc<void(WINAPI*)()>("DebugSetMute"))
        real();
}

// Not part of Windows' d3d9.dll: lets a test see owner writes into a texture an opener held bound.
LONG WINAPI QvD3d9ShareBoundWrites(HANDLE handle)
{
    try
    {
        return BoundWrites(reinterpret_cast<uintptr_t>(handle));
    }
    catch (...)
    {
        return -1;
    }
}

void* WINAPI Direct3DShaderValidatorCreate9(void)
{
    const auto real = RealProc<void*(WINAPI*)()>("Direct3DShaderValidatorCreate9");
    return real ? real() : nullptr;
}

} // extern "C"
