// Ends with the code in QV_SC_EXIT_CODE (decimal or 0x hexadecimal), after
// QV_SC_EXIT_DELAY_MS milliseconds; never creates a window.
#include <windows.h>

#include <cwchar>

namespace
{
unsigned long ReadVariable(const wchar_t* name)
{
    wchar_t value[64] = {};
    if (!GetEnvironmentVariableW(name, value, 64))
        return 0;
    return std::wcstoul(value, nullptr, 0);
}
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    Sleep(ReadVariable(L"QV_SC_EXIT_DELAY_MS"));
    ExitProcess(static_cast<UINT>(ReadVariable(L"QV_SC_EXIT_CODE")));
}
