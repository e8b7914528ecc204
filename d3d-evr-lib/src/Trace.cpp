#include "Trace.h"

#include <cstdarg>
#include <cwchar>

void DebugTrace(const wchar_t* format, ...)
{
    wchar_t text[512];
    va_list args;
    va_start(args, format);
    const int written = vswprintf(text, 512, format, args);
    va_end(args);
    if (written < 0)
        text[511] = L'\0'; // too long: show what fitted
    OutputDebugStringW(text);
}

void DebugTraceGuid(const wchar_t* prefix, REFGUID guid)
{
    OutputDebugStringW(prefix);
    DebugTrace(L"Guid = {%08lX-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX}\n",
               static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
               guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}
