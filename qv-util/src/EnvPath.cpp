#include "EnvPath.h"

#include <windows.h>

#include <memory>

std::wstring GetEnvPath()
{
    DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0)
        return std::wstring();
    std::unique_ptr<wchar_t[]> pEnvPath(new wchar_t[size]);
    pEnvPath[0] = 0;
    DWORD length = GetEnvironmentVariableW(L"PATH", pEnvPath.get(), size);
    if (pEnvPath[0] != 0 && length != 0 && length < size)
        return std::wstring(pEnvPath.get(), length);
    return std::wstring();
}

bool AddEnvPath(std::wstring text)
{
    DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0)
        return false;
    std::unique_ptr<wchar_t[]> pEnvPath(new wchar_t[size + text.size()]);
    pEnvPath[0] = 0;
    DWORD length = GetEnvironmentVariableW(L"PATH", pEnvPath.get(), size);
    if (length == 0 || length >= size)
        return false;
    text.copy(pEnvPath.get() + length, text.size());
    pEnvPath[length + text.size()] = 0;
    // Callers learn only that PATH could be read; a refused set leaves it as it was.
    SetEnvironmentVariableW(L"PATH", pEnvPath.get());
    return true;
}
