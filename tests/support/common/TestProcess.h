// Starting real programs of the build from a test, and the waits and media
// paths such tests share.
#pragma once

#include "Handles.h"

#include <windows.h>

#include <string>

// The folder of the running test program, where every program of the build lands.
std::wstring BinDirectory();

// A file that the qv-test-media target makes, such as L"clip-rgb.mp4".
std::wstring TestMedia(const std::wstring& name);
// False before qv-test-media has run; the tests that need the file skip then.
bool HaveTestMedia(const std::wstring& name);

// How often piece occurs in text, overlaps included (a log's lines, say).
inline size_t CountOf(const std::string& text, const std::string& piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// Polls predicate() every pollMs until it holds or the time runs out.
template <typename Predicate>
bool WaitFor(Predicate predicate, DWORD timeoutMs, DWORD pollMs = 20)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!predicate())
    {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(pollMs);
    }
    return true;
}

class TestProcess
{
public:
    // Starts program (a file name in the bin folder) with the given arguments.
    bool Start(const std::wstring& program, const std::wstring& arguments);
    // Waits for the end; returns the exit code, or 259 when it did not end in time.
    DWORD Wait(DWORD timeoutMs = 20000);
    void Terminate(UINT code);
    HANDLE Handle() const { return m_process.Get(); }
    DWORD Id() const { return m_processId; }

private:
    UniqueHandle m_process;
    DWORD m_processId = 0;
};

// Starts program, waits for it and returns its exit code (or 259 on a time-out).
DWORD RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 20000);

// Pumps the calling thread's messages until predicate() holds or the time runs out.
template <typename Predicate>
bool PumpUntil(Predicate predicate, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (predicate())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now < 20 ? deadline - now : 20),
                                  QS_ALLINPUT);
    }
}
