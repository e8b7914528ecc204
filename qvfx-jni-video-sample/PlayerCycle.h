// The player cycle: one player thread at a time plays the test media until
// the window's thread closes it and starts the next, so that growth of
// memory and handles across many players shows.
#pragma once

#include "Handles.h"
#include "HostState.h"

#include <jni.h>
#include <windows.h>

#include <cstdint>

class PlayerCycle
{
public:
    // env is the window's thread's JNI environment.
    PlayerCycle(HostState& state, JNIEnv* env, ULONGLONG startTick);

    // On the window's thread, at start-up and on the player timer.
    void StartRequest();

    // On the window's thread during shut-down: closes the current player, if
    // any. True while a player thread still runs.
    bool CloseForShutdown();
    // After CloseForShutdown: waits until the last player thread has left its
    // entry, so that nothing of the cycle is in use when it goes away.
    void WaitForThreadExit();

private:
    static DWORD WINAPI PlayerThreadEntry(void* context);
    int RunPlayerThread();
    int PlayOnePlayer(JNIEnv* env);
    void AfterPlayer(); // under the player lock
    void SampleMemoryBefore(); // under the player lock

    HostState& m_state;
    JNIEnv* m_env; // borrowed: the window's thread's environment
    const ULONGLONG m_startTick;
    UniqueHandle m_thread; // the latest player thread; the window's thread only
    // Under the player lock, written by the player thread.
    bool m_hasHandleCount = false;
    DWORD m_handleCount = 0;
    DWORD m_handleCountMax = 0;
};

// The working set of this process in bytes, 0 when it cannot be read.
int64_t CurrentWorkingSet();

// Appends one line to the leak report file; the host's stand-in for a leak
// detection library.
void AppendLeakReport(const std::string& line);
