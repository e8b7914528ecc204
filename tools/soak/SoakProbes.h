// What the soak campaign measures from outside the library: this process's
// memory, threads and handles, and the video servers it started.
#pragma once

#include "Handles.h"

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ProcessFigures
{
    double privateKb = 0;
    bool privateFromRegions = false; // summed from the committed private regions when the counter reads 0
    long threads = 0;
    long handles = 0;       // from the system's handle table when the process's own counter reads 0
    bool handlesFromTable = false;
    std::map<int, long> handlesByType; // object type number to count, from the table
    bool handlesKnown = false;
};

ProcessFigures MeasureProcess(DWORD processId);

// Exit codes the server's protocol allows.
bool IsTableExitCode(DWORD code);

// Watches for server processes (qvfx-reviv.exe) whose parent is a given
// process, keeps a handle to each, and tells when each was seen and ended.
class ServerWatch
{
public:
    struct Server
    {
        DWORD id = 0;
        ULONGLONG seenAt = 0;  // tick of the first sighting
        ULONGLONG endedAt = 0; // 0 while it runs
        DWORD exitCode = STILL_ACTIVE;
        DWORD parent = 0;
    };

    ServerWatch();
    ~ServerWatch();
    ServerWatch(const ServerWatch&) = delete;
    ServerWatch& operator=(const ServerWatch&) = delete;

    // Servers seen so far whose parent is `parent` (all when 0), in order of sighting.
    std::vector<Server> Servers(DWORD parent = 0);
    size_t Alive(DWORD parent = 0);
    // The newest server of `parent` seen after `index` servers, or 0.
    DWORD NewestAfter(size_t index, DWORD parent);
    size_t Count(DWORD parent = 0);
    // Waits until a server seen at index or later appears.
    DWORD WaitForServer(size_t index, DWORD parent, DWORD timeoutMs);
    // Waits until no server of `parent` runs; false on time-out.
    bool WaitNoneAlive(DWORD parent, DWORD timeoutMs);
    bool Kill(DWORD id);
    // Drops the record of ended servers (long runs).
    void ForgetEnded();
    // Also watch the children of this process (a host that the campaign started).
    void AddParent(DWORD parent);

private:
    void Scan();
    void Body();

    std::mutex m_lock;
    std::vector<DWORD> m_parents;
    std::vector<Server> m_servers;
    std::map<DWORD, UniqueHandle> m_handles;
    UniqueHandle m_stop;
    std::thread m_thread;
};
