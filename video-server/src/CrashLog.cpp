#include "CrashLog.h"

#include "HexText.h"
#include "Log.h"
#include "Utf8.h"

namespace
{
LONG WINAPI LogUnhandledException(EXCEPTION_POINTERS* pointers)
{
    // The process is going: the log line may fail if the heap is what broke,
    // and Log never throws, so at worst the line is missing.
    if (pointers && pointers->ExceptionRecord)
        Log("LogUnhandledException [ERROR]", DescribeUnhandledException(*pointers->ExceptionRecord));
    return EXCEPTION_CONTINUE_SEARCH;
}
} // namespace

std::string DescribeUnhandledException(const EXCEPTION_RECORD& record)
{
    std::string text = "exception " + Hex(record.ExceptionCode) + " at ";
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH] = {};
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(record.ExceptionAddress), &module) &&
        GetModuleFileNameW(module, path, MAX_PATH) > 0)
    {
        const wchar_t* name = wcsrchr(path, L'\\');
        name = name ? name + 1 : path;
        const auto offset = reinterpret_cast<uintptr_t>(record.ExceptionAddress) - reinterpret_cast<uintptr_t>(module);
        return text + ToUtf8OrPlaceholder(name) + "+0x" + Hex(offset);
    }
    return text + "0x" + Hex(reinterpret_cast<uintptr_t>(record.ExceptionAddress));
}

void InstallUnhandledExceptionLog()
{
    SetUnhandledExceptionFilter(&LogUnhandledException);
}
