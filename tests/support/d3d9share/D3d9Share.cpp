// A test-only d3d9.dll for Wine. Loaded in front of Wine's own with
// WINEDLLOVERRIDES="d3d9=n,b", it forwards everything to Wine's d3d9.dll and
// adds the one thing Wine 8 lacks: Direct3D 9Ex textures created with a shared
// handle that another process can open. On Windows d3d9.dll is a known system
// DLL, so a copy beside a program is never loaded.
//
// How it works: CreateDevice/CreateDeviceEx, CreateTexture and the texture's
// Release are patched in the real objects' method tables. A texture created
// with a shared-handle argument gets a unique handle, recorded with its owner
// in a registry that all processes map. Opening the handle on the owner's
// device returns the same texture; any other device gets a new texture filled
// with a snapshot of the owner's pixels, which the owner's copy service thread
// reads back from its device and writes into memory that both processes map.
#include "ShareRecords.h"
#include "VtableSlots.h"

#include "CriticalSection.h"
#include "Handles.h"

#include <d3d9.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

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

void Trace(const std::string& text)
{
    OutputDebugStringA(("d3d9share: " + text + "\n").c_str());
}

std::string Hex(uint64_t value)
{
    char text[32];
    snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
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

constexpr unsigned kMaxPatches = 16;
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
    uint64_t Add(RegistryEntry entry)
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
        constexpr uint32_t maxId = (0x7FFFFFFF - kHandleBase) / 4;
        do
        {
            block->lastId = block->lastId >= maxId ? 1 : block->lastId + 1;
            entry.handle = kHandleBase + 4ull * block->lastId;
        } while (FindSlot(block, entry.handle));
        const uint64_t handle = entry.handle;
        entry.handle = 0;
        *slot = entry;
        slot->handle = handle;
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

    void Remove(uint64_t handle)
    {
        RegistryBlock* block = Open();
        if (!block || handle == 0)
            return;
        MutexOwner owner(m_mutex.Get(), nullptr, kOwnerTimeoutMs);
        if (!owner)
        {
            Trace("registry busy, entry " + Hex(handle) + " left behind");
            return;
        }
        if (RegistryEntry* slot = FindSlot(block, handle))
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
// This process's shared textures. The texture Release hook holds the lock
// across the real Release, so a texture found here under the lock is alive
// and may be given another reference. Lock order: this lock, then the
// registry's mutex; only AddRef and Release are called under it.

struct LocalShares
{
    CCriticalSection lock;
    std::unordered_map<uint64_t, IDirect3DTexture9*> byHandle; // borrowed: entries leave before the texture dies
    std::unordered_map<IDirect3DTexture9*, uint64_t> byTexture;
    SharedTextureRegistry registry;
};

LocalShares& Shares()
{
    static LocalShares* shares = new LocalShares; // never destroyed: hooks may run during unload
    return *shares;
}

ComPtr<IDirect3DTexture9> LocalTexture(uint64_t handle)
{
    LocalShares& shares = Shares();
    CScopedLock lock(shares.lock);
    const auto found = shares.byHandle.find(handle);
    return found == shares.byHandle.end() ? nullptr : found->second;
}

ULONG STDMETHODCALLTYPE HookTextureRelease(IDirect3DTexture9* self)
{
    const auto original = OriginalOf<TextureReleaseFn>(self, kSlotTextureRelease);
    if (!original)
        return 0;
    try
    {
        LocalShares& shares = Shares();
        CScopedLock lock(shares.lock);
        const ULONG left = original(self);
        if (left == 0)
        {
            const auto found = shares.byTexture.find(self);
            if (found != shares.byTexture.end())
            {
                const uint64_t handle = found->second;
                shares.byTexture.erase(found);
                shares.byHandle.erase(handle);
                shares.registry.Remove(handle);
            }
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

// Reads level 0 of a render-target texture into packed rows, on the texture's own device.
HRESULT ReadTexturePixels(IDirect3DTexture9* texture, uint8_t* destination, uint32_t rowBytes)
{
    D3DSURFACE_DESC desc{};
    HRESULT hr = texture->GetLevelDesc(0, &desc);
    if (FAILED(hr))
        return hr;
    if (rowBytes != desc.Width * BytesPerPixel(desc.Format) || rowBytes == 0)
        return E_INVALIDARG;
    ComPtr<IDirect3DSurface9> target;
    hr = texture->GetSurfaceLevel(0, &target);
    ComPtr<IDirect3DDevice9> device;
    if (SUCCEEDED(hr))
        hr = target->GetDevice(&device);
    ComPtr<IDirect3DSurface9> copy;
    if (SUCCEEDED(hr))
        hr = device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &copy,
                                                 nullptr);
    if (SUCCEEDED(hr))
        hr = device->GetRenderTargetData(target.Get(), copy.Get());
    D3DLOCKED_RECT locked{};
    if (SUCCEEDED(hr))
        hr = copy->LockRect(&locked, nullptr, D3DLOCK_READONLY);
    if (FAILED(hr))
        return hr;
    CopyRows(destination, rowBytes, static_cast<const uint8_t*>(locked.pBits), locked.Pitch, rowBytes, desc.Height);
    return copy->UnlockRect();
}

HRESULT WriteTexturePixels(IDirect3DDevice9Ex* device, IDirect3DSurface9* target, const uint8_t* source,
                           uint32_t rowBytes)
{
    D3DSURFACE_DESC desc{};
    HRESULT hr = target->GetDesc(&desc);
    ComPtr<IDirect3DSurface9> staging;
    if (SUCCEEDED(hr))
        hr = device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &staging,
                                                 nullptr);
    D3DLOCKED_RECT locked{};
    if (SUCCEEDED(hr))
        hr = staging->LockRect(&locked, nullptr, 0);
    if (FAILED(hr))
        return hr;
    CopyRows(static_cast<uint8_t*>(locked.pBits), locked.Pitch, source, rowBytes, rowBytes, desc.Height);
    hr = staging->UnlockRect();
    if (SUCCEEDED(hr))
        hr = device->UpdateSurface(staging.Get(), nullptr, target, nullptr);
    return hr;
}

// The copy service of an owner process: one thread that answers openers.
class CopyService
{
public:
    bool Start()
    {
        CScopedLock lock(m_lock);
        if (m_thread)
            return true;
        const DWORD pid = GetCurrentProcessId();
        UniqueHandle block(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ServiceBlock),
                                              OwnerObjectName(L"service", pid).c_str()));
        UniqueView view(block ? MapViewOfFile(block.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ServiceBlock)) : nullptr);
        UniqueHandle request(CreateEventW(nullptr, FALSE, FALSE, OwnerObjectName(L"request", pid).c_str()));
        UniqueHandle answer(CreateEventW(nullptr, FALSE, FALSE, OwnerObjectName(L"answer", pid).c_str()));
        UniqueHandle serve(CreateMutexW(nullptr, FALSE, OwnerObjectName(L"serve", pid).c_str()));
        if (!view || !request || !answer || !serve)
        {
            Trace("cannot create the copy service: " + std::to_string(GetLastError()));
            return false;
        }
        // The thread runs for the life of the process, so this module must stay loaded.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&CopyService::ThreadEntry), &self);
        m_block = std::move(block);
        m_view = std::move(view);
        m_request = std::move(request);
        m_answer = std::move(answer);
        m_serve = std::move(serve);
        m_thread.Reset(CreateThread(nullptr, 0, &CopyService::ThreadEntry, this, 0, nullptr));
        return static_cast<bool>(m_thread);
    }

private:
    static DWORD WINAPI ThreadEntry(void* parameter)
    {
        try
        {
            static_cast<CopyService*>(parameter)->Run();
        }
        catch (...)
        {
            Trace("copy service stopped by an exception");
        }
        return 0;
    }

    void Run()
    {
        auto* block = static_cast<volatile ServiceBlock*>(m_view.Get());
        for (;;)
        {
            if (WaitForSingleObject(m_request.Get(), INFINITE) != WAIT_OBJECT_0)
                return;
            MemoryBarrier();
            ServiceBlock request;
            std::memcpy(&request, const_cast<ServiceBlock*>(block), sizeof(request));
            request.transferName[63] = 0;
            HRESULT hr = E_FAIL;
            try
            {
                hr = Serve(request);
            }
            catch (...)
            {
                hr = E_OUTOFMEMORY;
            }
            block->status = hr;
            MemoryBarrier();
            block->answeredSequence = request.sequence;
            SetEvent(m_answer.Get());
        }
    }

    static HRESULT Serve(const ServiceBlock& request)
    {
        ComPtr<IDirect3DTexture9> texture = LocalTexture(request.handle);
        if (!texture)
            return E_INVALIDARG;
        const size_t bytes = static_cast<size_t>(request.rowBytes) * request.height;
        UniqueHandle mapping(OpenFileMappingW(FILE_MAP_WRITE, FALSE, request.transferName));
        UniqueView view(mapping ? MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, bytes) : nullptr);
        if (!view)
            return HRESULT_FROM_WIN32(GetLastError());
        D3DSURFACE_DESC desc{};
        HRESULT hr = texture->GetLevelDesc(0, &desc);
        if (FAILED(hr))
            return hr;
        if (desc.Width != request.width || desc.Height != request.height ||
            static_cast<uint32_t>(desc.Format) != request.format)
            return E_INVALIDARG;
        return ReadTexturePixels(texture.Get(), static_cast<uint8_t*>(view.Get()), request.rowBytes);
    }

    CCriticalSection m_lock;
    UniqueHandle m_block;
    UniqueView m_view;
    UniqueHandle m_request;
    UniqueHandle m_answer;
    UniqueHandle m_serve;
    UniqueHandle m_thread;
};

CopyService& Service()
{
    static CopyService* service = new CopyService; // never destroyed: its thread outlives static destruction
    return *service;
}

// Asks the owner for a copy of its texture's pixels. On success pixels maps
// the packed rows.
HRESULT FetchFromOwner(HANDLE ownerProcess, const RegistryEntry& entry, uint32_t rowBytes, UniqueHandle& transfer,
                       UniqueView& pixels)
{
    const DWORD pid = entry.ownerPid;
    UniqueHandle serve(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, OwnerObjectName(L"serve", pid).c_str()));
    UniqueHandle request(OpenEventW(EVENT_MODIFY_STATE, FALSE, OwnerObjectName(L"request", pid).c_str()));
    UniqueHandle answer(
        OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, OwnerObjectName(L"answer", pid).c_str()));
    UniqueHandle blockMapping(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, OwnerObjectName(L"service", pid).c_str()));
    UniqueView blockView(blockMapping ? MapViewOfFile(blockMapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ServiceBlock))
                                      : nullptr);
    if (!serve || !request || !answer || !blockView)
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

    const ULONGLONG deadline = GetTickCount64() + kOwnerTimeoutMs;
    MutexOwner turn(serve.Get(), ownerProcess, kOwnerTimeoutMs);
    if (!turn)
        return HRESULT_FROM_WIN32(ERROR_TIMEOUT);

    static std::atomic<uint32_t> transferNumber{0};
    const std::wstring name = TransferBlockName(GetCurrentProcessId(), ++transferNumber);
    const size_t bytes = static_cast<size_t>(rowBytes) * entry.height;
    transfer.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(bytes >> 32),
                                      static_cast<DWORD>(bytes), name.c_str()));
    if (!transfer)
        return HRESULT_FROM_WIN32(GetLastError());
    pixels.Reset(MapViewOfFile(transfer.Get(), FILE_MAP_ALL_ACCESS, 0, 0, bytes));
    if (!pixels)
        return HRESULT_FROM_WIN32(GetLastError());

    auto* block = static_cast<volatile ServiceBlock*>(blockView.Get());
    const uint32_t sequence = block->sequence + 1;
    block->handle = entry.handle;
    block->width = entry.width;
    block->height = entry.height;
    block->format = entry.format;
    block->rowBytes = rowBytes;
    for (size_t i = 0; i < 64; ++i)
        block->transferName[i] = i < name.size() ? name[i] : L'\0';
    MemoryBarrier();
    block->sequence = sequence;
    // An answer left over from an opener that gave up must not count as ours.
    ResetEvent(answer.Get());
    SetEvent(request.Get());
    for (;;)
    {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        HANDLE waits[2] = {answer.Get(), ownerProcess};
        const DWORD result = WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(deadline - now));
        if (result == WAIT_OBJECT_0 + 1)
            return HRESULT_FROM_WIN32(ERROR_PROCESS_ABORTED);
        if (result != WAIT_OBJECT_0)
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        MemoryBarrier();
        if (block->answeredSequence == sequence)
            return block->status;
    }
}

// A texture of this device with the given pixels, or black when there are none.
HRESULT MakeCopy(CreateTextureFn original, IDirect3DDevice9Ex* device, UINT width, UINT height, UINT levels,
                 DWORD usage, D3DFORMAT format, D3DPOOL pool, const uint8_t* pixels, uint32_t rowBytes,
                 IDirect3DTexture9** texture)
{
    ComPtr<IDirect3DTexture9> local;
    HRESULT hr = original(device, width, height, levels, usage, format, pool, &local, nullptr);
    if (FAILED(hr))
        return hr;
    ComPtr<IDirect3DSurface9> level0;
    hr = local->GetSurfaceLevel(0, &level0);
    if (FAILED(hr))
        return hr;
    hr = pixels ? WriteTexturePixels(device, level0.Get(), pixels, rowBytes) : E_FAIL;
    if (FAILED(hr))
    {
        // Without a snapshot the texture shows black, never whatever its memory held.
        const HRESULT fill = device->ColorFill(level0.Get(), nullptr, D3DCOLOR_XRGB(0, 0, 0));
        if (FAILED(fill))
            Trace("ColorFill failed: " + Hex(static_cast<uint32_t>(fill)));
    }
    *texture = local.Detach();
    return S_OK;
}

HRESULT CreateShared(CreateTextureFn original, IDirect3DDevice9Ex* device, UINT width, UINT height, UINT levels,
                     DWORD usage, D3DFORMAT format, D3DPOOL pool, IDirect3DTexture9** texture, HANDLE* sharedHandle)
{
    ComPtr<IDirect3DTexture9> created;
    HRESULT hr = original(device, width, height, levels, usage, format, pool, &created, nullptr);
    if (FAILED(hr))
        return hr;
    if (!PatchSlot(created.Get(), kSlotTextureRelease, reinterpret_cast<void*>(&HookTextureRelease)) ||
        !Service().Start())
        return E_FAIL;
    LocalShares& shares = Shares();
    RegistryEntry entry{};
    entry.ownerStartTime = OwnStartTime();
    entry.ownerPid = GetCurrentProcessId();
    entry.width = width;
    entry.height = height;
    entry.format = static_cast<uint32_t>(format);
    const uint64_t handle = shares.registry.Add(entry);
    if (handle == 0)
        return E_OUTOFMEMORY;
    {
        CScopedLock lock(shares.lock);
        shares.byHandle[handle] = created.Get();
        shares.byTexture[created.Get()] = handle;
    }
    *sharedHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
    *texture = created.Detach();
    return S_OK;
}

HRESULT OpenShared(CreateTextureFn original, IDirect3DDevice9Ex* device, UINT width, UINT height, UINT levels,
                   DWORD usage, D3DFORMAT format, D3DPOOL pool, IDirect3DTexture9** texture, uint64_t handle)
{
    RegistryEntry entry{};
    if (!Shares().registry.Find(handle, &entry))
    {
        Trace("open of unknown handle " + Hex(handle));
        return E_INVALIDARG;
    }
    if (entry.width != width || entry.height != height || entry.format != static_cast<uint32_t>(format))
    {
        Trace("open of " + Hex(handle) + " with another size or format");
        return E_INVALIDARG;
    }
    const uint32_t rowBytes = width * BytesPerPixel(format);

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
        // A texture belongs to its device; another device of this process gets
        // a snapshot, as another process would.
        std::vector<uint8_t> pixels(static_cast<size_t>(rowBytes) * height);
        hr = rowBytes ? ReadTexturePixels(own.Get(), pixels.data(), rowBytes) : E_NOTIMPL;
        if (FAILED(hr))
            Trace("no snapshot of " + Hex(handle) + ": " + Hex(static_cast<uint32_t>(hr)));
        return MakeCopy(original, device, width, height, levels, usage, format, pool,
                        SUCCEEDED(hr) ? pixels.data() : nullptr, rowBytes, texture);
    }

    UniqueHandle owner = OpenLiveOwner(entry);
    if (!owner)
    {
        // Its owner is gone and so is the texture, as on Windows once nobody holds it.
        Shares().registry.Remove(handle);
        Trace("owner of " + Hex(handle) + " has ended");
        return E_INVALIDARG;
    }
    UniqueHandle transfer;
    UniqueView pixels;
    const HRESULT hr = rowBytes ? FetchFromOwner(owner.Get(), entry, rowBytes, transfer, pixels) : E_NOTIMPL;
    if (FAILED(hr))
    {
        Trace("no snapshot of " + Hex(handle) + " from process " + std::to_string(entry.ownerPid) + ": " +
              Hex(static_cast<uint32_t>(hr)));
        if (WaitForSingleObject(owner.Get(), 0) == WAIT_OBJECT_0)
        {
            Shares().registry.Remove(handle);
            return E_INVALIDARG; // the owner ended meanwhile
        }
        if (hr == E_INVALIDARG)
            return hr; // the owner released it meanwhile
    }
    return MakeCopy(original, device, width, height, levels, usage, format, pool,
                    SUCCEEDED(hr) ? static_cast<const uint8_t*>(pixels.Get()) : nullptr, rowBytes, texture);
}

bool IsExtendedDevice(IDirect3DDevice9Ex* device)
{
    ComPtr<IDirect3DDevice9Ex> extended;
    return SUCCEEDED(device->QueryInterface(__uuidof(IDirect3DDevice9Ex), reinterpret_cast<void**>(extended.GetAddressOf())));
}

HRESULT STDMETHODCALLTYPE HookCreateTexture(IDirect3DDevice9Ex* self, UINT width, UINT height, UINT levels,
                                            DWORD usage, D3DFORMAT format, D3DPOOL pool, IDirect3DTexture9** texture,
                                            HANDLE* sharedHandle)
{
    const auto original = OriginalOf<CreateTextureFn>(self, kSlotDeviceCreateTexture);
    if (!original)
        return E_FAIL;
    // A system-memory texture's handle argument names its memory, which Wine supports;
    // a plain device refuses sharing by itself.
    if (!sharedHandle || !texture || pool == D3DPOOL_SYSTEMMEM || !IsExtendedDevice(self))
        return original(self, width, height, levels, usage, format, pool, texture, sharedHandle);
    *texture = nullptr;
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

void PatchDevice(IDirect3DDevice9* device)
{
    try
    {
        if (!PatchSlot(device, kSlotDeviceCreateTexture, reinterpret_cast<void*>(&HookCreateTexture)))
            Trace("cannot patch CreateTexture");
    }
    catch (...)
    {
        // The device stays usable; only its textures are not shared.
    }
}

// The copy service reads the owner's device from a thread of its own.
constexpr DWORD kAddedBehavior = D3DCREATE_MULTITHREADED;

HRESULT STDMETHODCALLTYPE HookCreateDevice(IDirect3D9Ex* self, UINT adapter, D3DDEVTYPE type, HWND focus,
                                           DWORD behavior, D3DPRESENT_PARAMETERS* parameters,
                                           IDirect3DDevice9** device)
{
    const auto original = OriginalOf<CreateDeviceFn>(self, kSlotD3dCreateDevice);
    if (!original)
        return E_FAIL;
    const HRESULT hr = original(self, adapter, type, focus, behavior | kAddedBehavior, parameters, device);
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
    const HRESULT hr =
        original(self, adapter, type, focus, behavior | kAddedBehavior, parameters, fullscreenMode, device);
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
        if (!PatchSlot(d3d, kSlotD3dCreateDevice, reinterpret_cast<void*>(&HookCreateDevice)) ||
            (extended && !PatchSlot(d3d, kSlotD3dCreateDeviceEx, reinterpret_cast<void*>(&HookCreateDeviceEx))))
            Trace("cannot patch device creation");
    }
    catch (...)
    {
        // Devices of this object then simply share nothing.
    }
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

void* WINAPI Direct3DShaderValidatorCreate9(void)
{
    const auto real = RealProc<void*(WINAPI*)()>("Direct3DShaderValidatorCreate9");
    return real ? real() : nullptr;
}

} // extern "C"
