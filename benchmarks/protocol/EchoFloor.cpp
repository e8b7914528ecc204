#include "EchoFloor.h"

#include "TestProcess.h"
#include "VideoPlayerMsg.h"

#include <string>
#include <vector>

namespace
{
// Receives the echo program's hello; one echo program runs at a time.
HWND g_echoWindow = nullptr;

LRESULT CALLBACK HelloProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kEchoHello)
    {
        g_echoWindow = reinterpret_cast<HWND>(wParam);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
} // namespace

EchoFloor::EchoFloor()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = HelloProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"QvBench";
    RegisterClassExW(&wc); // a second floor in the same process finds the class registered
    m_self = CreateWindowExW(0, wc.lpszClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
}

EchoFloor::~EchoFloor()
{
    Stop();
    if (m_self)
        DestroyWindow(m_self);
}

bool EchoFloor::Start(DWORD timeoutMs)
{
    Stop();
    const std::wstring path = BinDirectory() + L"\\qv-bench-echo.exe";
    std::wstring line = L"\"" + path + L"\" " + std::to_wstring(reinterpret_cast<intptr_t>(m_self));
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!m_self ||
        !CreateProcessW(path.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    UniqueHandle thread(info.hThread);
    m_process.Reset(info.hProcess);
    return PumpUntil([] { return g_echoWindow != nullptr; }, timeoutMs);
}

bool EchoFloor::Ping()
{
    DWORD_PTR answer = 0;
    return g_echoWindow && SendMessageTimeoutW(g_echoWindow, kEchoPing, 0, 0, kVpSendFlags, kVpSendTimeoutMs, &answer) &&
           answer == 1;
}

void EchoFloor::Stop()
{
    if (g_echoWindow)
        PostMessageW(g_echoWindow, WM_CLOSE, 0, 0);
    g_echoWindow = nullptr;
    if (m_process)
        WaitForSingleObject(m_process.Get(), 10000);
    m_process.Reset();
}

HWND EchoFloor::Window() const { return g_echoWindow; }
