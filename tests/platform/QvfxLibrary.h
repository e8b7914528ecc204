// The qvfx library as Java loads it: LoadLibraryW from the bin folder (so its
// load-time objects run), exports looked up by their JNI names.
#pragma once

#include "TestProcess.h"

#include "com_quorvane_player_platform_impl_ui_view_win_WinBrowser.h"
#include "com_quorvane_player_platform_util_win_WinUtil.h"

#include "Log.h"

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

class QvfxLibrary
{
public:
    QvfxLibrary() : m_module(LoadLibraryW((BinDirectory() + L"\\qvfx.dll").c_str())) {}
    ~QvfxLibrary() { Unload(); }

    QvfxLibrary(const QvfxLibrary&) = delete;
    QvfxLibrary& operator=(const QvfxLibrary&) = delete;

    HMODULE Module() const { return m_module; }

    void Unload()
    {
        if (m_module)
            FreeLibrary(m_module);
        m_module = nullptr;
    }

    template <typename Function>
    Function Export(const char* name) const
    {
        return m_module ? reinterpret_cast<Function>(GetProcAddress(m_module, name)) : nullptr;
    }

private:
    HMODULE m_module;
};

// The export `name` with the type that javac -h declared for it.
#define QV_STRINGIZE_NAME(name) #name
#define QV_EXPORT(library, name) (library).Export<decltype(&name)>(QV_STRINGIZE_NAME(name))

// Restores the process PATH (or its absence) when it goes.
class PathGuard
{
public:
    PathGuard()
    {
        const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
        m_defined = size != 0;
        if (m_defined)
        {
            m_saved.resize(size);
            m_saved.resize(GetEnvironmentVariableW(L"PATH", &m_saved[0], size));
        }
    }
    ~PathGuard() { SetEnvironmentVariableW(L"PATH", m_defined ? m_saved.c_str() : nullptr); }

    PathGuard(const PathGuard&) = delete;
    PathGuard& operator=(const PathGuard&) = delete;

private:
    bool m_defined = false;
    std::wstring m_saved;
};

// PATH as it stands, or "<undefined>".
inline std::wstring CurrentPath()
{
    const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0)
        return L"<undefined>";
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(L"PATH", &value[0], size));
    return value;
}

// The log file this process and the library write to.
inline std::string ReadLogFile()
{
    std::ifstream file(LogFileName().c_str());
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}
