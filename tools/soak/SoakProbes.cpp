#include "SoakProbes.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>

namespace
{
// The layout that NtQuerySystemInformation(SystemHandleInformation) fills.
struct HandleTableEntry
{
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectTypeIndex;
    UCHAR handleAttributes;
    USHORT handleValue;
    PVOID object;
    ULONG grantedAccess;
};
struct HandleTable
{
    ULONG count;
    HandleTableEntry entries[1];
};
const ULONG SYSTEM_HANDLE_INFORMATION_CLASS = 16;
const LONG STATUS_INFO_LENGTH_MISMATCH_CODE = static_cast<LONG>(0xC0000004);
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// Handles of the process in the system's handle table, or -1 when the system does not serve it.
long HandlesFromTable(DWORD processId, std::map<int, long>* byType)
{
    static const QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return -1;
    std::vector<unsigned char> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        ULONG needed = 0;
        const LONG status = query(SYSTEM_HANDLE_INFORMATION_CLASS, buffer.data(), static_cast<ULONG>(buffer.size()),
                                  &needed);
        if (status == STATUS_INFO_LENGTH_MISMATCH_CODE)
        {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 65536));
            continue;
        }
        if (status < 0)
            return -1;
        const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.data());
        long count = 0;
        if (byType)
            byType->clear();
        for (ULONG i = 0; i < table->count; ++i)
        {
            if (table->entries[i].processId != static_cast<USHORT>(processId))
                continue;
            ++count;
            if (byType)
                ++(*byType)[table->entries[i].objectTypeIndex];
        }
        return count;
    }
    return -1;
}

// Committed private pages, for a system whose memory counters read 0.
double PrivateCommittedKb(HANDLE process)
{
    double total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr;
         VirtualQueryEx(process, at, &region, sizeof(region)) == sizeof(region) && region.RegionSize != 0;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize / 1024.0;
    }
    return total;
}

long ThreadsOf(DWORD processId)
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot)
        return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    long count = 0;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
        count += entry.th32OwnerProcessID == processId ? 1 : 0;
    return count;
}
} // namespace

ProcessFigures MeasureProcess(DWORD processId)
{
    ProcessFigures figures;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (process && GetProcessMemoryInfo(process.Get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                        sizeof(memory)))
        figures.privateKb = memory.PrivateUsage / 1024.0;
    if (process && figures.privateKb == 0)
    {
        figures.privateKb = PrivateCommittedKb(process.Get());
        figures.privateFromRegions = true;
    }
    figures.threads = ThreadsOf(processId);
    DWORD handles = 0;
    if (process && GetProcessHandleCount(process.Get(), &handles) && handles != 0)
    {
        figures.handles = static_cast<long>(handles);
        figures.handlesKnown = true;
    }
    else
    {
        figures.handles = HandlesFromTable(processId, &figures.handlesByType);
        figures.handlesFromTable = true;
        figures.handlesKnown = figures.handles >= 0;
    }
    return figures;
}

bool IsTableExitCode(DWORD code)
{
    const int value = static_cast<int>(code);
    return value == 0 || value == -1 || value == -2 || value == -3 || value == -4 || value == -5 || value == -6 ||
           value == -100;
}

ServerWatch::ServerWatch() : m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_parents.push_back(GetCurrentProcessId());
    Scan();
    m_thread = std::thread([this] { Body(); });
}

ServerWatch::~ServerWatch()
{
    SetEvent(m_stop.Get());
    m_thread.join();
}

void ServerWatch::AddParent(DWORD parent)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_parents.push_back(parent);
}

void ServerWatch::Body()
{
    while (WaitForSingleObject(m_stop.Get(), 25) == WAIT_TIMEOUT)
        Scan();
}

void ServerWatch::Scan()
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    const ULONGLONG now = GetTickCount64();
    std::lock_guard<std::mutex> lock(m_lock);
    if (snapshot)
    {
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry))
        {
            if (_wcsicmp(entry.szExeFile, L"qvfx-reviv.exe") != 0 || m_handles.count(entry.th32ProcessID) ||
                std::find(m_parents.begin(), m_parents.end(), entry.th32ParentProcessID) == m_parents.end())
                continue;
            UniqueHandle process(
                OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                            entry.th32ProcessID));
            if (!process)
                continue; // it ended between the snapshot and now
            Server server;
            server.id = entry.th32ProcessID;
            server.parent = entry.th32ParentProcessID;
            server.seenAt = now;
            m_servers.push_back(server);
            m_handles[server.id] = std::move(process);
        }
    }
    for (Server& server : m_servers)
    {
        if (server.endedAt != 0)
            continue;
        HANDLE process = m_handles[server.id].Get();
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
        {
            server.endedAt = now;
            GetExitCodeProcess(process, &server.exitCode);
        }
    }
}

std::vector<ServerWatch::Server> ServerWatch::Servers(DWORD parent)
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<Server> found;
    for (const Server& server : m_servers)
    {
        if (parent == 0 || server.parent == parent)
            found.push_back(server);
    }
    return found;
}

size_t ServerWatch::Count(DWORD parent)
{
    // A scan first: a server started just now (by a player that was closed
    // during its start) is counted before the next player's index is taken.
    Scan();
    return Servers(parent).size();
}

size_t ServerWatch::Alive(DWORD parent)
{
    Scan();
    size_t alive = 0;
    for (const Server& server : Servers(parent))
        alive += server.endedAt == 0 ? 1 : 0;
    return alive;
}

DWORD ServerWatch::NewestAfter(size_t index, DWORD parent)
{
    const std::vector<Server> servers = Servers(parent);
    return servers.size() > index ? servers.back().id : 0;
}

DWORD ServerWatch::WaitForServer(size_t index, DWORD parent, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        const DWORD id = NewestAfter(index, parent);
        if (id != 0 || GetTickCount64() >= deadline)
            return id;
        Sleep(5);
    }
}

bool ServerWatch::WaitNoneAlive(DWORD parent, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (Alive(parent) != 0)
    {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(20);
    }
    return true;
}

bool ServerWatch::Kill(DWORD id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto found = m_handles.find(id);
    return found != m_handles.end() && TerminateProcess(found->second.Get(), 0xDEAD) != FALSE;
}

void ServerWatch::ForgetEnded()
{
    Scan();
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<Server> kept;
    for (const Server& server : m_servers)
    {
        if (server.endedAt == 0)
            kept.push_back(server);
        else
            m_handles.erase(server.id);
    }
    m_servers.swap(kept);
}
