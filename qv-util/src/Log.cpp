#include "Compat.h"

#include "Log.h"

#include "CriticalSection.h"

#include <windows.h>
#include <mmsystem.h>

#include <ctime>
#include <fstream>

namespace
{
// Construction order matters: the name, then the lock, then the initializer
// that uses both. All three live in this one translation unit.
std::wstring g_logFileName = L"native.log";
CCriticalSection g_logLock;

void WriteLine(const std::string& tag, const std::string& text)
{
    CScopedLock lock(g_logLock);
    {
        std::ofstream file(g_logFileName.c_str(), std::ios::out | std::ios::app);
        if (file.is_open())
            file << Timestamp() << " [" << tag << "] " << text << "\n";
    }
    std::ostringstream line;
    line << Timestamp() << " [" << tag << "] " << text << "\n";
    OutputDebugStringA(line.str().c_str());
}
} // namespace

std::string Timestamp()
{
    try
    {
        __time64_t now = _time64(nullptr);
        struct tm local {};
        if (_localtime64_s(&local, &now) != 0)
            return std::string();
        char buffer[80] = {};
        strftime(buffer, sizeof(buffer), "%d-%m-%Y %I:%M:%S", &local);
        return std::string(buffer) + "." + std::to_string(GetTickCount() % 1000);
    }
    catch (...)
    {
        return std::string();
    }
}

void Log(const std::string& tag, const std::string& text)
{
    try
    {
        WriteLine(tag, text);
    }
    catch (...)
    {
        // The log is the last resort for diagnostics; it never fails its caller.
    }
}

void Log(const std::string& tag, const std::ostringstream& text)
{
    try
    {
        WriteLine(tag, text.str());
    }
    catch (...)
    {
    }
}

std::wstring LogFileName()
{
    CScopedLock lock(g_logLock);
    return g_logFileName;
}

LogInitializer::LogInitializer()
{
    try
    {
        wchar_t path[MAX_PATH] = {};
        DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
        {
            DWORD start = 0;
            for (DWORD i = length - 1; i >= 1; --i)
            {
                if (path[i] == L'\\' || path[i] == L'/')
                {
                    start = i + 1;
                    break;
                }
            }
            g_logFileName = std::wstring(path + start) + L".log";
        }
        std::ofstream file(g_logFileName.c_str(), std::ios::out | std::ios::trunc);
        if (file.is_open())
        {
            file << Timestamp() << " started\n";
            file << Timestamp() << " setting period\n";
        }
        timeBeginPeriod(1);
    }
    catch (...)
    {
        // The process runs on without a prepared log.
    }
}

LogInitializer::~LogInitializer()
{
    timeEndPeriod(1);
}

namespace
{
LogInitializer g_logInitializer;
}
