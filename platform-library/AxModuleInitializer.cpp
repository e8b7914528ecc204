#include "AxModuleInitializer.h"

#include "AxHost.h"
#include "CriticalSection.h"
#include "HexText.h"

#include <windows.h>

#include <memory>

namespace
{
// Process-wide hosting state, written at load and unload and read by controls.
// Made on first use: the initializer is a global of another source file.
struct HostingState
{
    CCriticalSection lock;
    bool initialized = false;
    std::wstring initError;
};

HostingState& State()
{
    static HostingState state;
    return state;
}

void StoreInitError(const std::wstring& reason)
{
    CScopedLock lock(State().lock);
    State().initError = reason;
}


// Owns an open registry key.
class UniqueRegKey
{
public:
    UniqueRegKey() = default;
    ~UniqueRegKey()
    {
        if (m_key)
            RegCloseKey(m_key);
    }
    UniqueRegKey(const UniqueRegKey&) = delete;
    UniqueRegKey& operator=(const UniqueRegKey&) = delete;

    HKEY Get() const { return m_key; }
    HKEY* Receive() { return &m_key; }

private:
    HKEY m_key = nullptr;
};
} // namespace

const wchar_t* const AxModuleInitializer::kEmulationKey =
    L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\FEATURE_BROWSER_EMULATION";

AxModuleInitializer::AxModuleInitializer()
{
    try
    {
        if (IsHostingInitialized())
            return;
        const DWORD kPathUnits = 2048;
        std::unique_ptr<wchar_t[]> path(new wchar_t[kPathUnits]);
        const DWORD length = GetModuleFileNameW(nullptr, path.get(), kPathUnits);
        if (length == 0 || length >= kPathUnits)
        {
            StoreInitError(L"failed to get file name");
            return;
        }
        std::wstring fileName(path.get(), length);
        const size_t slash = fileName.find_last_of(L"\\/");
        if (slash != std::wstring::npos)
            fileName.erase(0, slash + 1);
        OutputDebugStringW((L"file name: " + fileName + L"\n").c_str());

        UniqueRegKey key;
        const REGSAM access = KEY_READ | KEY_WRITE;
        LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kEmulationKey, 0, access, key.Receive());
        if (status == ERROR_FILE_NOT_FOUND)
            status = RegCreateKeyExW(HKEY_CURRENT_USER, kEmulationKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                     nullptr, key.Receive(), nullptr);
        if (status != ERROR_SUCCESS)
        {
            StoreInitError(L"error opening registry key code=" + HexW(static_cast<unsigned long>(status)));
            return;
        }
        const DWORD data = kEmulationValue;
        status = RegSetValueExW(key.Get(), fileName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                                sizeof(data));
        if (status != ERROR_SUCCESS)
        {
            StoreInitError(L"error setting registry value code=" + HexW(static_cast<unsigned long>(status)));
            return;
        }
        OutputDebugStringW(L"AtlAxWinInit\n");
        if (!AtlAxWinInit())
        {
            StoreInitError(L"AtlAxWinInit failed\n");
            return;
        }
        CScopedLock lock(State().lock);
        State().initError.clear();
        State().initialized = true;
    }
    catch (...)
    {
        // Only allocation can throw here; the library loads without hosting.
        try
        {
            StoreInitError(L"out of memory");
        }
        catch (...)
        {
        }
    }
}

AxModuleInitializer::~AxModuleInitializer()
{
    try
    {
        CScopedLock lock(State().lock);
        if (State().initialized)
            AtlAxWinTerm(); // a class still in use stays registered; nothing else to do at unload
        State().initialized = false;
    }
    catch (...)
    {
    }
}

bool AxModuleInitializer::IsHostingInitialized()
{
    CScopedLock lock(State().lock);
    return State().initialized;
}

std::wstring AxModuleInitializer::GetInitError()
{
    CScopedLock lock(State().lock);
    return State().initError;
}
