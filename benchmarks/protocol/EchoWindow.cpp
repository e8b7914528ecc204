// qv-bench-echo CLIENT_HWND: creates a hidden window, tells the client about
// it, answers pings until closed. The floor against which the server is measured.
#include "BenchMessages.h"

#include <windows.h>

#include <cwchar>

namespace
{
LRESULT CALLBACK EchoProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kEchoPing)
        return 1;
    if (message == WM_CLOSE)
    {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR tail, int)
{
    HWND client = reinterpret_cast<HWND>(static_cast<intptr_t>(std::wcstoll(tail, nullptr, 10)));
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = EchoProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"QvBenchEcho";
    RegisterClassExW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, nullptr, WS_POPUP, 0, 0, 16, 16, nullptr, nullptr, instance,
                                  nullptr);
    if (!window || !PostMessageW(client, kEchoHello, reinterpret_cast<WPARAM>(window), 0))
        return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    DestroyWindow(window);
    return 0;
}
