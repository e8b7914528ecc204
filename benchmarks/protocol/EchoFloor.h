// The floor of the cross-process figures: qv-bench-echo, a trivial window
// program of our own that announces its window and answers pings.
#pragma once

#include "BenchMessages.h"
#include "Handles.h"

#include <windows.h>

class EchoFloor
{
public:
    EchoFloor();
    ~EchoFloor();
    EchoFloor(const EchoFloor&) = delete;
    EchoFloor& operator=(const EchoFloor&) = delete;

    // Starts the echo program and pumps until it announces its window.
    bool Start(DWORD timeoutMs = 10000);
    // One round trip as the protocol sends its requests; false when it failed.
    bool Ping();
    // Closes the echo program and waits for its end.
    void Stop();
    HWND Window() const;

private:
    HWND m_self = nullptr;
    UniqueHandle m_process;
};
