// Starts qvfx-jni-video-sample.exe beside this program, with the test-only
// jvm.dll folder (..\test-jvm) first on its PATH, lets it cycle players for
// a while, then presses Escape and reports how it ended. The stand-in VM's
// report goes to FOLDER\jvm-report.txt. (Pictures of the window are taken
// from the X server by the demo script: what Direct3D draws under Wine is
// not in the screen that GDI reads.)
//
// usage: qvfx-demo-host-run [--seconds N] [--out FOLDER]
#include "Handles.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace
{
constexpr DWORD kExitWaitMs = 30000;

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

void PumpFor(DWORD ms)
{
    const ULONGLONG until = GetTickCount64() + ms;
    while (GetTickCount64() < until)
    {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    int seconds = 10;
    std::wstring out = L".";
    for (int i = 1; i + 1 < argc; i += 2)
    {
        if (std::wcscmp(argv[i], L"--seconds") == 0)
            seconds = _wtoi(argv[i + 1]);
        else if (std::wcscmp(argv[i], L"--out") == 0)
            out = argv[i + 1];
    }
    if (seconds < 3)
        seconds = 3;
    CreateDirectoryW(out.c_str(), nullptr);

    const std::wstring bin = ProgramFolder();
    const std::wstring jvmFolder = bin + L"\\..\\test-jvm";
    wchar_t path[32767] = {};
    GetEnvironmentVariableW(L"PATH", path, 32767);
    SetEnvironmentVariableW(L"PATH", (jvmFolder + L";" + path).c_str());
    SetEnvironmentVariableW(L"QV_TEST_JVM_REPORT", (out + L"\\jvm-report.txt").c_str());

    std::wstring command = L"\"" + bin + L"\\qvfx-jni-video-sample.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, bin.c_str(), &startup, &process))
    {
        std::printf("could not start qvfx-jni-video-sample.exe: error %lu\n", GetLastError());
        return 1;
    }
    UniqueHandle host(process.hProcess);
    UniqueHandle hostThread(process.hThread);
    std::printf("started qvfx-jni-video-sample.exe (jvm.dll from %ls)\n", jvmFolder.c_str());

    HWND window = nullptr;
    for (int i = 0; i < 300 && !window && WaitForSingleObject(host.Get(), 0) == WAIT_TIMEOUT; ++i)
    {
        window = FindWindowW(L"d3d9vwindowclass", L"Direct3D9Ex Sample");
        if (!window)
            PumpFor(100);
    }
    if (!window)
    {
        DWORD code = 0;
        GetExitCodeProcess(host.Get(), &code);
        std::printf("the host's window did not appear (exit code %ld)\n", static_cast<long>(code));
        TerminateProcess(host.Get(), 1);
        return 1;
    }

    std::printf("the host's window is up; letting it play for %d s\n", seconds);
    std::fflush(stdout);
    PumpFor(static_cast<DWORD>(seconds) * 1000);

    std::printf("Escape\n");
    PostMessageW(window, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001));
    if (WaitForSingleObject(host.Get(), kExitWaitMs) != WAIT_OBJECT_0)
    {
        std::printf("the host did not end within %lu ms after Escape\n", kExitWaitMs);
        TerminateProcess(host.Get(), 1);
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(host.Get(), &code);
    std::printf("the host ended with exit code %ld\n", static_cast<long>(code));
    return code == 0 ? 0 : 1;
}
