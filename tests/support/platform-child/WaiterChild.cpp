// A second process for the library's process tests. The first argument picks
// what it does:
//   sleep MS CODE              sleep MS milliseconds, end with CODE
//   window DELAY MS CODE FILE  sleep DELAY ms, create FILE, then make a window of
//                              the class "QvTestIdleWindow" and pump it for MS ms,
//                              end with CODE
//   path-ends-with TEXT        end with 0 when PATH ends with TEXT, else 1
//   touch FILE                 create FILE, end with 0
#include "Handles.h"

#include <windows.h>

#include <string>

namespace
{
bool Touch(const wchar_t* name)
{
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

int PumpWindow(DWORD delayMs, DWORD lifeMs, int code, const wchar_t* marker)
{
    Sleep(delayMs);
    Touch(marker);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QvTestIdleWindow";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowW(L"QvTestIdleWindow", L"idle", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                              wc.hInstance, nullptr);
    const ULONGLONG end = GetTickCount64() + lifeMs;
    while (GetTickCount64() < end)
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    if (hwnd)
        DestroyWindow(hwnd);
    return code;
}

int PathEndsWith(const std::wstring& text)
{
    wchar_t path[32768] = {};
    const DWORD length = GetEnvironmentVariableW(L"PATH", path, 32768);
    const std::wstring value(path, length < 32768 ? length : 0);
    return value.size() >= text.size() && value.compare(value.size() - text.size(), text.size(), text) == 0 ? 0 : 1;
}
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    const UniqueArgv argv(GetCommandLineW());
    const int argc = argv.Count();
    if (argc < 3)
        return 2;
    const std::wstring mode = argv[1];
    int result = 3;
    if (mode == L"sleep" && argc >= 4)
    {
        Sleep(static_cast<DWORD>(_wtoi(argv[2])));
        result = _wtoi(argv[3]);
    }
    else if (mode == L"window" && argc >= 6)
        result = PumpWindow(static_cast<DWORD>(_wtoi(argv[2])), static_cast<DWORD>(_wtoi(argv[3])), _wtoi(argv[4]),
                            argv[5]);
    else if (mode == L"touch")
        result = Touch(argv[2]) ? 0 : 1;
    else if (mode == L"path-ends-with")
        result = PathEndsWith(argv[2]);
    return result;
}
