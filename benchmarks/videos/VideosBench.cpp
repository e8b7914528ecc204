// videos-bench: N videos at once, played the way the library plays them, beside
// the platform's floors measured in the same run.
//
//   videos-bench [--counts 1,2,4,8,16] [--media FILE] [--fps 25] [--identify]
//     For each N: N player threads, each with one VideoPlayerClient that starts
//     its own server, pumps its client window and polls its frame at 60 Hz.
//     All play at once when all are ready. Prints start to ready (median, max),
//     frames seen per video against the media's frames (min, median; the paused
//     frame before Play and the last one after the end count), polls per
//     second per video and CPU time per kind of process; beside them, N copies
//     at once of a trivial program's start, a bare graph built and paused on the
//     same file, and a Direct3D 9Ex device creation (qv-bench-platform).
//     --identify also reads back every frame seen and tells them apart by their
//     pixels, which checks that count; it costs the client a device per video.
//   videos-bench --latency [--runs 5] [--media FILE] [--loop-media FILE] [--loop-seconds 10]
//     Play to the first new frame (polled every millisecond), beside the bare
//     graph's Run to its first drawn frame; then a short clip looping, with the
//     frames seen between restarts and the longest gap around each restart.
//
// Run it through scripts/bench-videos.sh, which gives it a prefix of its own and
// the test prefix's overrides. QV_BENCH_LINUX_PIDS="name:pid,..." names
// processes outside Wine (wineserver, Xvfb) whose CPU time is counted too.
#include "FloorMessages.h"
#include "ShareTestDevice.h"
#include "TestProcess.h"
#include "VideoPlayerClient.h"

#include <windows.h>
#include <mmsystem.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
double g_ticksPerUs = 0.0;

double NowUs()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / g_ticksPerUs;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return -1.0;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2.0;
}

double Max(const std::vector<double>& values)
{
    return values.empty() ? -1.0 : *std::max_element(values.begin(), values.end());
}

// Serves this thread's windows until the moment given, at millisecond grain.
void PumpUntilTime(double untilUs)
{
    for (;;)
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const double left = untilUs - NowUs();
        if (left <= 0)
            return;
        // Rounded up: a wait of 0 ms would spin on the message queue.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::ceil(left / 1000.0)), QS_ALLINPUT);
    }
}

// Reads a Linux file through Wine's drive Z:; empty when there is none.
std::string ReadLinuxFile(const std::string& path)
{
    UniqueHandle file(CreateFileA(("Z:" + path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    std::string text;
    if (!file)
        return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        text.append(buffer, got);
    return text;
}

// utime + stime of a Linux process in microseconds (clock ticks of 10 ms).
uint64_t LinuxProcessCpuUs(int pid)
{
    const std::string stat = ReadLinuxFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    uint64_t user = 0, system = 0;
    for (int i = 3; fields >> field; ++i)
    {
        if (i == 14)
            user = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15)
        {
            system = std::strtoull(field.c_str(), nullptr, 10);
            break;
        }
    }
    return (user + system) * 10000;
}

// Busy and total time of the whole machine, in microseconds, from /proc/stat.
void MachineCpuUs(uint64_t* busy, uint64_t* total)
{
    std::istringstream line(ReadLinuxFile("/proc/stat"));
    std::string cpu;
    line >> cpu;
    uint64_t value = 0, sum = 0, idle = 0;
    for (int i = 0; line >> value && i < 8; ++i)
    {
        sum += value;
        if (i == 3 || i == 4)
            idle += value;
    }
    *busy = (sum - idle) * 10000;
    *total = sum * 10000;
}

struct LinuxProcess
{
    std::string name;
    int pid;
};

std::vector<LinuxProcess> LinuxProcessesToCount()
{
    std::vector<LinuxProcess> list;
    const char* names = std::getenv("QV_BENCH_LINUX_PIDS");
    std::istringstream items(names ? names : "");
    std::string item;
    while (std::getline(items, item, ','))
    {
        const size_t colon = item.find(':');
        if (colon != std::string::npos && std::atoi(item.c_str() + colon + 1) > 0)
            list.push_back({item.substr(0, colon), std::atoi(item.c_str() + colon + 1)});
    }
    return list;
}

// CPU time by kind of process over one span, read from Linux: every process
// whose environment names this prefix (QV_BENCH_PREFIX) is sampled every
// 100 ms, so a process that ends loses at most its last 100 ms. Wine's
// GetProcessTimes on another process does not give that process's own times.
class CpuAccount
{
public:
    CpuAccount()
    {
        const char* prefix = std::getenv("QV_BENCH_PREFIX");
        if (prefix && *prefix)
            m_marker = std::string("WINEPREFIX=") + prefix + '\0';
    }
    ~CpuAccount() { Stop(); }
    CpuAccount(const CpuAccount&) = delete;
    CpuAccount& operator=(const CpuAccount&) = delete;

    void Begin()
    {
        m_beginUs = NowUs();
        m_first.clear();
        m_last.clear();
        Scan(true);
        m_linux = LinuxProcessesToCount();
        m_linuxStart.clear();
        for (const LinuxProcess& p : m_linux)
            m_linuxStart.push_back(LinuxProcessCpuUs(p.pid));
        MachineCpuUs(&m_machineBusy, &m_machineTotal);
        m_stop = false;
        m_sampler = std::thread([this] {
            while (!m_stop)
            {
                Sleep(100);
                Scan(false);
            }
        });
    }

    std::string End()
    {
        Stop();
        Scan(false);
        const double wallUs = NowUs() - m_beginUs;
        std::map<std::string, uint64_t> byName;
        for (const auto& item : m_last)
        {
            const auto first = m_first.find(item.first);
            byName[item.second.first] += item.second.second - (first == m_first.end() ? 0 : first->second);
        }
        uint64_t clientUs = 0, serverUs = 0, floorUs = 0, wineUs = 0;
        std::string names;
        char part[160];
        for (const auto& item : byName)
        {
            if (item.first.rfind("videos-bench", 0) == 0)
                clientUs += item.second;
            else if (item.first.rfind("qvfx-reviv", 0) == 0)
                serverUs += item.second;
            else if (item.first.rfind("qv-bench-platf", 0) == 0)
                floorUs += item.second;
            else
            {
                wineUs += item.second;
                if (item.second >= 10000)
                {
                    std::snprintf(part, sizeof(part), "%s%s %.2f", names.empty() ? "" : ", ", item.first.c_str(),
                                  item.second / 1e6);
                    names += part;
                }
            }
        }
        std::ostringstream text;
        auto add = [&](const char* name, uint64_t us) {
            std::snprintf(part, sizeof(part), "%s %.2f s (%.0f %%)", name, us / 1e6, 100.0 * us / wallUs);
            text << (text.tellp() > 0 ? ", " : "") << part;
        };
        if (m_marker.empty())
            text << "(no QV_BENCH_PREFIX: Wine's processes not counted)";
        else
        {
            if (floorUs)
                add("bare graphs", floorUs);
            else
            {
                add("client", clientUs);
                add("servers", serverUs);
            }
            add("Wine's own", wineUs);
            if (!names.empty())
                text << " (" << names << ")";
        }
        for (size_t i = 0; i < m_linux.size(); ++i)
            add(m_linux[i].name.c_str(), LinuxProcessCpuUs(m_linux[i].pid) - m_linuxStart[i]);
        uint64_t busy = 0, total = 0;
        MachineCpuUs(&busy, &total);
        if (total > m_machineTotal)
        {
            std::snprintf(part, sizeof(part), "; machine busy %.0f %% of its cores, others included",
                          100.0 * (busy - m_machineBusy) / (total - m_machineTotal));
            text << part;
        }
        std::snprintf(part, sizeof(part), " [%% of one core over %.1f s]", wallUs / 1e6);
        return text.str() + part;
    }

private:
    void Stop()
    {
        m_stop = true;
        if (m_sampler.joinable())
            m_sampler.join();
    }

    // Reads the CPU time of every process of the prefix; at the span's start
    // the readings are its baseline.
    void Scan(bool atBegin)
    {
        if (m_marker.empty())
            return;
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &entry);
        if (find == INVALID_HANDLE_VALUE)
            return;
        do
        {
            const int pid = _wtoi(entry.cFileName);
            if (pid <= 0)
                continue;
            auto known = m_ours.find(pid);
            if (known == m_ours.end())
                known = m_ours.emplace(pid, ReadLinuxFile("/proc/" + std::to_string(pid) + "/environ").find(m_marker) !=
                                                std::string::npos)
                            .first;
            if (!known->second)
                continue;
            const std::string stat = ReadLinuxFile("/proc/" + std::to_string(pid) + "/stat");
            const size_t open = stat.find('(');
            const size_t close = stat.rfind(')');
            if (open == std::string::npos || close == std::string::npos)
                continue;
            const uint64_t cpu = LinuxProcessCpuUs(pid);
            std::lock_guard<std::mutex> lock(m_mutex);
            Seen().insert(pid);
            m_last[pid] = {stat.substr(open + 1, close - open - 1), cpu};
            if (atBegin)
                m_first[pid] = cpu;
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }

public:
    // Every Linux process of the prefix seen while counting, for a profile's filter.
    static std::set<int>& Seen()
    {
        static std::set<int> seen;
        return seen;
    }

private:
    std::string m_marker;
    double m_beginUs = 0.0;
    std::map<int, bool> m_ours; // sampler thread only, after Begin
    std::mutex m_mutex;
    std::map<int, uint64_t> m_first;
    std::map<int, std::pair<std::string, uint64_t>> m_last;
    std::atomic<bool> m_stop{false};
    std::thread m_sampler;
    std::vector<LinuxProcess> m_linux;
    std::vector<uint64_t> m_linuxStart;
    uint64_t m_machineBusy = 0;
    uint64_t m_machineTotal = 0;
};

// Every qvfx-reviv.exe child of this process.
std::vector<UniqueHandle> OpenChildServers()
{
    std::vector<UniqueHandle> servers;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry))
    {
        if (entry.th32ParentProcessID == GetCurrentProcessId() && _wcsicmp(entry.szExeFile, L"qvfx-reviv.exe") == 0)
            servers.emplace_back(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                                             FALSE, entry.th32ProcessID));
    }
    return servers;
}

void AwaitServers(std::vector<UniqueHandle>& servers)
{
    for (UniqueHandle& server : servers)
    {
        if (server && WaitForSingleObject(server.Get(), 10000) != WAIT_OBJECT_0)
        {
            // A server stuck in its teardown would otherwise outlive the benchmark.
            std::fprintf(stderr, "  a server did not end within 10 s of its close; ending it\n");
            TerminateProcess(server.Get(), 1);
            WaitForSingleObject(server.Get(), 2000);
        }
    }
}

// ---------------------------------------------------------------- floors

struct FloorFigures
{
    std::vector<double> helloMs;  // CreateProcess to the first message, seen by this process
    std::vector<double> doneMs;   // CreateProcess to the figure of the mode, seen by this process
    std::vector<double> insideMs; // the mode's own work, timed inside the program
    std::vector<double> firstFrameMs;
    std::vector<double> sampleAfterRunMs;
    std::vector<double> sampleAfterSeekMs;
    std::vector<double> playedSamples; // the play mode's counts, not times
    std::vector<double> playedDrawn;
    std::vector<double> playedShown;
    int failures = 0;
};

FloorFigures* g_floor = nullptr;
std::vector<double> g_floorStarts;

LRESULT CALLBACK FloorProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if ((message == kFloorFigure || message == kFloorFailed) && g_floor)
    {
        const size_t index = wParam / 16;
        const int kind = static_cast<int>(wParam % 16);
        if (message == kFloorFailed)
        {
            std::fprintf(stderr, "  floor %d kind %d failed: 0x%08lx\n", static_cast<int>(index), kind,
                         static_cast<unsigned long>(lParam));
            ++g_floor->failures;
        }
        else if (index < g_floorStarts.size())
        {
            const double sinceStart = (NowUs() - g_floorStarts[index]) / 1000.0;
            const double inside = static_cast<double>(static_cast<LONG_PTR>(lParam)) / 1000.0;
            if (kind == FLOOR_KIND_HELLO)
                g_floor->helloMs.push_back(sinceStart);
            else if (kind == FLOOR_KIND_FIRST_FRAME)
                g_floor->firstFrameMs.push_back(inside);
            else if (kind == FLOOR_KIND_SAMPLE_AFTER_RUN)
                g_floor->sampleAfterRunMs.push_back(inside);
            else if (kind == FLOOR_KIND_SAMPLE_AFTER_SEEK)
                g_floor->sampleAfterSeekMs.push_back(inside);
            else if (kind == FLOOR_KIND_PLAYED_SAMPLES)
                g_floor->playedSamples.push_back(static_cast<double>(static_cast<LONG_PTR>(lParam)));
            else if (kind == FLOOR_KIND_PLAYED_DRAWN)
                g_floor->playedDrawn.push_back(static_cast<double>(static_cast<LONG_PTR>(lParam)));
            else if (kind == FLOOR_KIND_PLAYED_SHOWN)
                g_floor->playedShown.push_back(static_cast<double>(static_cast<LONG_PTR>(lParam)));
            else
            {
                g_floor->doneMs.push_back(sinceStart);
                g_floor->insideMs.push_back(inside);
            }
        }
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

bool AnyRunning(const std::vector<UniqueHandle>& processes)
{
    for (const UniqueHandle& process : processes)
        if (WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT)
            return true;
    return false;
}

class Floors
{
public:
    explicit Floors(std::wstring media) : m_media(std::move(media))
    {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = FloorProc;
        wc.hInstance = instance;
        wc.lpszClassName = L"QvBenchFloors";
        RegisterClassExW(&wc);
        m_window = CreateWindowExW(0, wc.lpszClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    }
    ~Floors()
    {
        if (m_window)
            DestroyWindow(m_window);
    }
    Floors(const Floors&) = delete;
    Floors& operator=(const Floors&) = delete;

    // Starts count copies of the floor program in mode at once and waits for all.
    FloorFigures Run(const wchar_t* mode, int count)
    {
        FloorFigures figures;
        g_floor = &figures;
        g_floorStarts.assign(count, 0.0);
        std::vector<UniqueHandle> processes;
        // The play mode's copies wait for this once their graphs are paused.
        UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, FloorGoName(m_window).c_str()));
        const std::wstring path = BinDirectory() + L"\\qv-bench-platform.exe";
        for (int i = 0; i < count; ++i)
        {
            std::wstring line = L"\"" + path + L"\" " + std::to_wstring(reinterpret_cast<intptr_t>(m_window)) + L" " +
                                std::to_wstring(i) + L" " + mode + L" \"" + m_media + L"\"";
            std::vector<wchar_t> buffer(line.begin(), line.end());
            buffer.push_back(0);
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION info = {};
            g_floorStarts[i] = NowUs();
            if (!CreateProcessW(path.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                &info))
            {
                ++figures.failures;
                continue;
            }
            CloseHandle(info.hThread);
            processes.emplace_back(info.hProcess);
        }
        const ULONGLONG readyBy = GetTickCount64() + 60000;
        while (figures.doneMs.size() + static_cast<size_t>(figures.failures) < static_cast<size_t>(count) &&
               GetTickCount64() < readyBy && AnyRunning(processes))
            PumpUntilTime(NowUs() + 5000.0);
        SetEvent(go.Get());
        // Each program ends after its figure; its end flushes the figures it posted.
        const ULONGLONG deadline = GetTickCount64() + 150000;
        for (UniqueHandle& process : processes)
        {
            while (WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT && GetTickCount64() < deadline)
                PumpUntilTime(NowUs() + 5000.0);
            if (WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT)
            {
                TerminateProcess(process.Get(), 1);
                ++figures.failures;
            }
        }
        PumpUntilTime(NowUs() + 20000.0);
        g_floor = nullptr;
        return figures;
    }

private:
    std::wstring m_media;
    HWND m_window = nullptr;
};

// ---------------------------------------------------------------- players

struct PlayerResult
{
    bool ready = false;
    bool complete = false;
    std::string error;
    double readyMs = -1.0;
    int framesSeen = 0;
    int polls = 0;
    int failedPolls = 0;
    double playSeconds = 0.0;
    float duration = 0.0f;
    double firstFrameMs = -1.0;
    double secondFrameMs = -1.0;      // the first that moves: the paused graph shows no frame
    double playUs = 0.0;              // when Play was sent
    std::vector<double> frameTimesUs; // arrival of each new frame
    std::vector<double> restartTimesUs;
    std::vector<std::string> trace; // what the polls saw change, when asked for
    // --identify: the pictures seen, told apart by their pixels (0: unreadable).
    uint64_t pausedPicture = 0;
    std::vector<uint64_t> pictures; // each new frame after Play, in order
};

struct BenchCallback : IVideoCallback
{
    explicit BenchCallback(PlayerResult* result) : m_result(result) {}
    void onError(VideoPlayerClient*, uint32_t, int64_t, int64_t, const std::string& text) override
    {
        std::fprintf(stderr, "  error: %s\n", text.c_str());
        m_result->error = text;
    }
    void onEvent(VideoPlayerClient*, int32_t code, int64_t) override
    {
        if (code == VE_PLAY_COMPLETE)
            m_result->complete = true;
        if (code == VE_PLAY_LOOP_RESTART)
            m_result->restartTimesUs.push_back(NowUs());
    }
    void onReady(VideoPlayerClient*, HWND) override { m_result->ready = true; }
    void Release() override { delete this; }

    PlayerResult* m_result;
};

// Lets every player thread start playing at the same moment.
class StartLine
{
public:
    explicit StartLine(int players) : m_waiting(players), m_go(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void Arrive()
    {
        if (--m_waiting == 0)
            SetEvent(m_go.Get());
    }
    HANDLE Go() const { return m_go.Get(); }

private:
    std::atomic<int> m_waiting;
    UniqueHandle m_go;
};

struct PlayerPlan
{
    std::wstring media;
    double fps = 25.0;
    bool loop = false;
    double pollHz = 60.0;
    double playSeconds = 0.0; // 0: until the media completes
    bool recordFrames = false;
    bool trace = false;
    bool identify = false;
};

// Reads the picture a frame descriptor names, as the library's renderer
// would draw it, and reduces it to a hash: tells apart what the polls only
// know by texture handle. One device per player thread.
class PictureReader
{
public:
    uint64_t Read(const FrameParams& frame)
    {
        if (!m_device.Get() && FAILED(m_device.Create()))
            return 0;
        Microsoft::WRL::ComPtr<IDirect3DTexture9>& texture = m_open[frame.textureHandle];
        if (!texture &&
            FAILED(m_device.OpenShared(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(frame.textureHandle)),
                                       frame.width, frame.height, static_cast<D3DFORMAT>(frame.format), &texture)))
            return 0;
        std::vector<uint32_t> pixels;
        if (FAILED(m_device.ReadPixels(texture.Get(), &pixels)))
            return 0;
        uint64_t hash = 1469598103934665603ull;
        for (uint32_t pixel : pixels)
            hash = (hash ^ pixel) * 1099511628211ull;
        return hash;
    }

private:
    ShareTestDevice m_device;
    std::map<uint64_t, Microsoft::WRL::ComPtr<IDirect3DTexture9>> m_open;
};

// Tells new frames from repeats. The server clears its descriptor while the
// mixer refills the texture it named, so a frame that follows an empty answer
// is new even when it names the same texture (a fast poll lets the server
// return its current sample early and the mixer then reuses that one texture).
class NewFrames
{
public:
    bool Observe(int status, const FrameParams& frame)
    {
        if (status != VPC_FRAME_OK)
        {
            m_cleared = m_cleared || status == VPC_FRAME_NONE_YET;
            return false;
        }
        const bool isNew = m_cleared || std::memcmp(&frame, &m_last, sizeof(frame)) != 0;
        m_last = frame;
        m_cleared = false;
        return isNew;
    }

private:
    bool m_cleared = true;
    FrameParams m_last{};
};

// One video as the library plays it: the player thread owns the client and
// its window, pumps it, and polls the frame as the render loop would.
void PlayerThread(const PlayerPlan& plan, StartLine* line, PlayerResult* result)
{
    ScopedComInit com;
    VideoPlayerClient client(new BenchCallback(result));
    OpenParameters parameters;
    parameters.mediaFile = plan.media;
    parameters.isLoopEnabled = plan.loop ? 1 : 0;
    bool started = client.Init(0, parameters);
    const double t0 = NowUs();
    if (!started)
        result->error = "the client could not be initialised";
    else if (!(started = client.Open()))
        result->error = "the client could not start its server";
    if (!started)
        std::fprintf(stderr, "  error: %s\n", result->error.c_str());
    else
    {
        const double limit = t0 + 30e6;
        while (!result->ready && result->error.empty() && NowUs() < limit)
            PumpUntilTime(NowUs() + 1000.0);
        if (result->ready)
            result->readyMs = (NowUs() - t0) / 1000.0;
    }
    line->Arrive();
    HANDLE go = line->Go();
    while (MsgWaitForMultipleObjects(1, &go, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        PumpUntilTime(0.0);
    if (!result->ready)
    {
        client.Close();
        return;
    }

    result->duration = client.GetDuration();
    // The paused graph's first frame is usually there already, and is seen:
    // it is the media's first, and it is not shown again after Play (checked
    // by pixels with --identify). The first new frame is the next one.
    NewFrames frames;
    FrameParams frame{};
    int lastStatus = client.GetFrameData(&frame);
    PictureReader reader;
    const bool paused = frames.Observe(lastStatus, frame);
    if (paused && plan.identify)
        result->pausedPicture = reader.Read(frame);
    uint64_t lastHandle = frame.textureHandle;
    char text[120];
    if (plan.trace)
    {
        std::snprintf(text, sizeof(text), "  before Play: status %d, texture %llx", lastStatus,
                      static_cast<unsigned long long>(frame.textureHandle));
        result->trace.push_back(text);
    }
    const double seconds = plan.playSeconds > 0.0 ? plan.playSeconds : result->duration + 5.0;
    client.Play();
    const double start = NowUs();
    result->playUs = start;
    int seen = paused ? 1 : 0;
    auto poll = [&] {
        frame = FrameParams{};
        const int status = client.GetFrameData(&frame);
        ++result->polls;
        if (plan.trace && (status != lastStatus || frame.textureHandle != lastHandle) && result->trace.size() < 16)
        {
            std::snprintf(text, sizeof(text), "  %7.1f ms after Play: status %d, texture %llx",
                          (NowUs() - start) / 1000.0, status, static_cast<unsigned long long>(frame.textureHandle));
            result->trace.push_back(text);
            lastStatus = status;
            lastHandle = frame.textureHandle;
        }
        if (frames.Observe(status, frame))
        {
            ++seen;
            if (plan.identify)
                result->pictures.push_back(reader.Read(frame));
            const double now = NowUs();
            if (result->firstFrameMs < 0.0)
                result->firstFrameMs = (now - start) / 1000.0;
            else if (result->secondFrameMs < 0.0)
                result->secondFrameMs = (now - start) / 1000.0;
            if (plan.recordFrames)
                result->frameTimesUs.push_back(now);
        }
        else if (status != VPC_FRAME_OK && status != VPC_FRAME_NONE_YET)
            ++result->failedPolls;
    };
    double nextPoll = start;
    while (!(plan.playSeconds <= 0.0 && result->complete) && result->error.empty() && NowUs() - start < seconds * 1e6)
    {
        poll();
        nextPoll += 1e6 / plan.pollHz;
        PumpUntilTime(nextPoll);
    }
    // The end leaves its last frame in place: the render loop's next poll shows it.
    if (result->complete && result->error.empty())
        poll();
    result->playSeconds = (NowUs() - start) / 1e6;
    result->framesSeen = seen;
    client.Close();
    PumpUntilTime(NowUs() + 50000.0);
}

// Runs count players at once; servers holds their processes afterwards.
std::vector<PlayerResult> RunPlayers(const PlayerPlan& plan, int count, std::vector<UniqueHandle>* servers)
{
    std::vector<PlayerResult> results(count);
    StartLine line(count);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(PlayerThread, std::cref(plan), &line, &results[i]);
    // Every server has started by the time all are ready (or given up).
    WaitForSingleObject(line.Go(), INFINITE);
    *servers = OpenChildServers();
    for (std::thread& thread : threads)
        thread.join();
    AwaitServers(*servers);
    return results;
}

// ---------------------------------------------------------------- modes

void PrintFloorLine(const char* name, const FloorFigures& f, bool inside)
{
    if (inside)
        std::printf("  floor %-28s median %7.1f ms   max %7.1f ms   (whole program: median %7.1f ms)%s\n", name,
                    Median(f.insideMs), Max(f.insideMs), Median(f.doneMs), f.failures ? "  FAILURES" : "");
    else
        std::printf("  floor %-28s median %7.1f ms   max %7.1f ms%s\n", name, Median(f.helloMs), Max(f.helloMs),
                    f.failures ? "  FAILURES" : "");
}

// Frames per video against the media's: the fewest, the median, and how many
// of all the videos' frames never arrived.
struct FrameShare
{
    double min = 0.0;
    double median = 0.0;
    int never = 0;
    int total = 0;
    double percent = 0.0;
};

FrameShare ShareOf(const std::vector<double>& frames, int mediaFrames)
{
    FrameShare share;
    std::vector<double> capped;
    for (double count : frames)
        capped.push_back(std::min(count, static_cast<double>(mediaFrames)));
    if (capped.empty())
        return share;
    share.min = *std::min_element(capped.begin(), capped.end());
    share.median = Median(capped);
    for (double count : capped)
        share.never += mediaFrames - static_cast<int>(count);
    share.total = mediaFrames * static_cast<int>(capped.size());
    share.percent = share.total ? 100.0 * share.never / share.total : 0.0;
    return share;
}

// The figures that the floor programs could observe (the others are -1).
std::vector<double> Observed(const std::vector<double>& figures)
{
    std::vector<double> observed;
    for (double figure : figures)
        if (figure >= 0.0)
            observed.push_back(figure);
    return observed;
}

// What n bare graphs playing at once delivered, beside our frames seen.
void PrintPlayedLine(const char* renderer, const FloorFigures& played, int mediaFrames)
{
    const std::vector<double> reached = Observed(played.playedSamples);
    const std::vector<double> shown = Observed(played.playedShown);
    std::printf("  floor bare graphs playing at once, %s:", renderer);
    if (reached.empty() && shown.empty())
    {
        std::printf(" not observable%s\n", played.failures ? "  FAILURES" : "");
        return;
    }
    if (reached.empty())
        std::printf(" the decoder feeds the renderer, which counts neither samples nor frames drawn");
    else
    {
        const FrameShare share = ShareOf(reached, mediaFrames);
        const std::vector<double> drawn = Observed(played.playedDrawn);
        std::printf(" min %4.0f   median %5.1f   samples reached the renderer; %d of %d never (%.2f %%)", share.min,
                    share.median, share.never, share.total, share.percent);
        if (drawn.empty())
            std::printf("; the renderer counts no drawn frames");
        else
            std::printf("; drawn median %.1f", Median(drawn));
    }
    if (!shown.empty())
    {
        const FrameShare seen = ShareOf(shown, mediaFrames);
        std::printf("\n      its current image read at 60 Hz: min %4.0f   median %5.1f   frames seen; %d of %d never "
                    "seen (%.2f %%)",
                    seen.min, seen.median, seen.never, seen.total, seen.percent);
    }
    std::printf("%s\n", played.failures ? "  FAILURES" : "");
}

// When the frames never seen went missing: a pause between two new frames
// longer than one and a half frame intervals stands for the frames it skipped.
void PrintMissedByTime(const std::vector<PlayerResult>& results, double fps)
{
    const double intervalUs = 1e6 / fps;
    int early = 0, later = 0;
    for (const PlayerResult& r : results)
        for (size_t i = 1; i < r.frameTimesUs.size(); ++i)
        {
            const double gap = r.frameTimesUs[i] - r.frameTimesUs[i - 1];
            if (gap <= 1.5 * intervalUs)
                continue;
            const int skipped = static_cast<int>(std::lround(gap / intervalUs)) - 1;
            (r.frameTimesUs[i - 1] - r.playUs < 1e6 ? early : later) += skipped;
        }
    std::printf("      pauses between new frames stand for %d frames in the first second after Play, %d later\n", early,
                later);
}

// What the polls showed, told apart by pixels rather than by descriptor.
void PrintPictures(const std::vector<PlayerResult>& results, int mediaFrames)
{
    std::vector<double> distinct;
    int pausedAgain = 0, repeats = 0, unreadable = 0, videos = 0, noPaused = 0;
    for (const PlayerResult& r : results)
    {
        if (!r.ready)
            continue;
        ++videos;
        std::set<uint64_t> seen;
        if (r.pausedPicture)
            seen.insert(r.pausedPicture);
        else
            ++noPaused;
        for (uint64_t picture : r.pictures)
        {
            if (!picture)
                ++unreadable;
            else if (!seen.insert(picture).second)
                ++(picture == r.pausedPicture ? pausedAgain : repeats);
        }
        distinct.push_back(static_cast<double>(seen.size()));
    }
    const FrameShare share = ShareOf(distinct, mediaFrames);
    std::printf("  pictures told apart by pixels    min %4.0f   median %5.1f   of %d, the paused one included; %d of %d "
                "never seen (%.2f %%)\n      no picture before Play in %d of %d videos; the paused picture counted "
                "again after Play in %d; other pictures counted twice %d; unreadable %d\n",
                share.min, share.median, mediaFrames, share.never, share.total, share.percent, noPaused, videos,
                pausedAgain, repeats, unreadable);
}

int RunVideos(const std::vector<int>& counts, const std::wstring& media, double fps, bool identify)
{
    Floors floors(media);
    PlayerPlan plan;
    plan.media = media;
    plan.fps = fps;
    plan.identify = identify;
    plan.recordFrames = true;
    std::printf("media %ls, %.0f fps; each video: its own client, player thread and server, polled at 60 Hz\n",
                media.c_str(), fps);
    for (int n : counts)
    {
        // The floors at the same count: n copies at once, so that they grow as ours would.
        const int floorRounds = n == 1 ? 3 : 1;
        FloorFigures hello, device, graph;
        for (int r = 0; r < floorRounds; ++r)
        {
            auto append = [](FloorFigures& to, const FloorFigures& from) {
                to.helloMs.insert(to.helloMs.end(), from.helloMs.begin(), from.helloMs.end());
                to.doneMs.insert(to.doneMs.end(), from.doneMs.begin(), from.doneMs.end());
                to.insideMs.insert(to.insideMs.end(), from.insideMs.begin(), from.insideMs.end());
                to.failures += from.failures;
            };
            append(hello, floors.Run(L"hello", n));
            append(device, floors.Run(L"device", n));
            append(graph, floors.Run(L"graph", n));
        }
        // The bare platform playing the same n files at once, to their end:
        // with its default renderer, and with the renderer the server uses.
        const FloorFigures played = floors.Run(L"play", n);
        CpuAccount floorCpu;
        floorCpu.Begin();
        const FloorFigures playedEvr = floors.Run(L"play-evr", n);
        const std::string floorCpuText = floorCpu.End();

        // One video alone is started three times, as its floors are.
        CpuAccount cpu;
        cpu.Begin();
        std::vector<UniqueHandle> servers;
        std::vector<PlayerResult> results;
        for (int r = 0; r < floorRounds; ++r)
        {
            std::vector<UniqueHandle> roundServers;
            for (PlayerResult& result : RunPlayers(plan, n, &roundServers))
                results.push_back(std::move(result));
            for (UniqueHandle& server : roundServers)
                servers.push_back(std::move(server));
        }
        const std::string cpuText = cpu.End();

        std::vector<double> ready, pollRate;
        int failed = 0, notReady = 0, incomplete = 0, mediaFrames = 0;
        std::vector<double> seenFrames;
        for (const PlayerResult& r : results)
        {
            if (!r.ready)
            {
                ++notReady;
                continue;
            }
            ready.push_back(r.readyMs);
            mediaFrames = static_cast<int>(r.duration * fps + 0.5);
            seenFrames.push_back(r.framesSeen);
            if (r.playSeconds > 0.0)
                pollRate.push_back(r.polls / r.playSeconds);
            failed += r.failedPolls;
            incomplete += r.complete ? 0 : 1;
        }
        std::printf("\nN = %d\n", n);
        std::printf("  start to ready                   median %7.1f ms   max %7.1f ms%s\n", Median(ready), Max(ready),
                    notReady ? "   (some never ready)" : "");
        PrintFloorLine("trivial program, first msg", hello, false);
        PrintFloorLine("bare graph built and paused", graph, true);
        PrintFloorLine("Direct3D 9Ex device", device, true);
        std::printf("  floor sum (start + graph + device)  median %7.1f ms; ours over it %.2fx\n",
                    Median(hello.helloMs) + Median(graph.insideMs) + Median(device.insideMs),
                    Median(ready) / (Median(hello.helloMs) + Median(graph.insideMs) + Median(device.insideMs)));
        const FrameShare seen = ShareOf(seenFrames, mediaFrames);
        std::printf("  frames seen per video            min %4.0f   median %5.1f   of %d media frames; %d of %d never "
                    "seen (%.2f %%)\n",
                    seen.min, seen.median, mediaFrames, seen.never, seen.total, seen.percent);
        PrintMissedByTime(results, fps);
        if (identify)
            PrintPictures(results, mediaFrames);
        PrintPlayedLine("default renderer", played, mediaFrames);
        PrintPlayedLine("EVR, own presenter", playedEvr, mediaFrames);
        std::printf("  polls per second per video       min %5.1f   median %5.1f (asked: 60)\n",
                    pollRate.empty() ? 0.0 : *std::min_element(pollRate.begin(), pollRate.end()), Median(pollRate));
        if (failed || incomplete || notReady)
            std::printf("  unanswered polls %d, videos without their end %d, never ready %d\n", failed, incomplete,
                        notReady);
        std::printf("  CPU: %s\n", cpuText.c_str());
        std::printf("  floor CPU, bare graphs playing at once with the EVR: %s\n", floorCpuText.c_str());
        std::fflush(stdout);
    }
    return 0;
}

int RunLatency(int runs, const std::wstring& media, const std::wstring& loopMedia, double fps, double loopSeconds)
{
    Floors floors(media);
    PlayerPlan plan;
    plan.media = media;
    plan.fps = fps;
    plan.pollHz = 1000.0;
    plan.playSeconds = 1.0;
    plan.trace = true;
    std::vector<double> first;
    std::vector<double> second;
    std::vector<double> floorFirst;
    std::vector<double> floorSample;
    std::vector<double> floorSeek;
    for (int i = 0; i < runs; ++i)
    {
        std::vector<UniqueHandle> servers;
        const std::vector<PlayerResult> results = RunPlayers(plan, 1, &servers);
        if (results[0].firstFrameMs >= 0.0)
            first.push_back(results[0].firstFrameMs);
        if (results[0].secondFrameMs >= 0.0)
            second.push_back(results[0].secondFrameMs);
        if (i == 0)
            for (const std::string& line : results[0].trace)
                std::printf("%s\n", line.c_str());
        const FloorFigures f = floors.Run(L"run", 1);
        floorFirst.insert(floorFirst.end(), f.firstFrameMs.begin(), f.firstFrameMs.end());
        for (double ms : f.sampleAfterRunMs)
            if (ms >= 0.0)
                floorSample.push_back(ms);
        for (double ms : f.sampleAfterSeekMs)
            if (ms >= 0.0)
                floorSeek.push_back(ms);
    }
    std::printf("media %ls, %.0f fps\n", media.c_str(), fps);
    std::printf("Play to first frame (polled every 1 ms)      median %7.1f ms   max %7.1f ms   (%d of %d runs)\n",
                Median(first), Max(first), static_cast<int>(first.size()), runs);
    std::printf("Play to the frame after it (motion)          median %7.1f ms   max %7.1f ms   (due at %.0f ms)\n",
                Median(second), Max(second), 1000.0 / fps);
    const bool observed = !floorFirst.empty() && Median(floorFirst) >= 0.0;
    if (observed)
        std::printf("  floor: bare graph Run to first drawn frame median %7.1f ms   max %7.1f ms "
                    "(IQualProp::get_FramesDrawn of the default renderer)\n",
                    Median(floorFirst), Max(floorFirst));
    else
        std::printf("  floor: bare graph Run to first drawn frame not observable: the default renderer keeps no "
                    "frame count (IQualProp)\n");

    if (!floorSample.empty())
        std::printf("  floor: bare graph Run to its renderer letting go of the paused frame (the next sample passes "
                    "a sample grabber in front of it) median %7.1f ms   max %7.1f ms\n",
                    Median(floorSample), Max(floorSample));
    else
        std::printf("  floor: no sample grabber could be put in front of the bare graph's renderer\n");

    std::vector<double> floorEndSeek;
    for (int i = 0; i < std::min(runs, 3); ++i)
        for (double ms : Floors(loopMedia).Run(L"loop", 1).sampleAfterSeekMs)
            if (ms >= 0.0)
                floorEndSeek.push_back(ms);

    PlayerPlan loop;
    loop.media = loopMedia;
    loop.fps = fps;
    loop.loop = true;
    loop.playSeconds = loopSeconds;
    loop.recordFrames = true;
    std::vector<UniqueHandle> servers;
    const PlayerResult r = RunPlayers(loop, 1, &servers)[0];
    const int clipFrames = static_cast<int>(r.duration * fps + 0.5);
    std::printf("\nloop: %ls (%.2f s, %d frames) looping for %.0f s, polled at 60 Hz\n", loopMedia.c_str(),
                r.duration, clipFrames, loopSeconds);
    std::printf("  floor: bare graph, a seek to the start while running, to its renderer letting go of the first "
                "frame after it\n         (its next sample passes the grabber): in the middle of the file median "
                "%6.1f ms   max %6.1f ms;\n         after the end (EC_COMPLETE) median %6.1f ms   max %6.1f ms\n",
                Median(floorSeek), Max(floorSeek), Median(floorEndSeek), Max(floorEndSeek));
    const int expected = static_cast<int>(loopSeconds * fps + 0.5);
    std::printf("  frames seen %d of %d; %d restarts\n", r.framesSeen, expected, static_cast<int>(r.restartTimesUs.size()));
    for (size_t k = 0; k < r.restartTimesUs.size(); ++k)
    {
        const double at = r.restartTimesUs[k];
        // The longest pause between new frames in the half second around the event.
        double gap = 0.0;
        for (size_t i = 1; i < r.frameTimesUs.size(); ++i)
            if (r.frameTimesUs[i] > at - 5e5 && r.frameTimesUs[i - 1] < at + 5e5)
                gap = std::max(gap, r.frameTimesUs[i] - r.frameTimesUs[i - 1]);
        const auto next = std::upper_bound(r.frameTimesUs.begin(), r.frameTimesUs.end(), at);
        const double afterEvent = next == r.frameTimesUs.end() ? -1.0 : (*next - at) / 1000.0;
        const double begin = k == 0 ? 0.0 : r.restartTimesUs[k - 1];
        const int between = static_cast<int>(std::count_if(r.frameTimesUs.begin(), r.frameTimesUs.end(),
                                                           [&](double t) { return t > begin && t <= at; }));
        std::printf("  restart %d: longest gap %6.1f ms (%.1f frame intervals, so %d lost); event to the next frame "
                    "%6.1f ms; frames since the previous restart %d%s\n",
                    static_cast<int>(k + 1), gap / 1000.0, gap / 1000.0 * fps / 1000.0,
                    std::max(0, static_cast<int>(gap * fps / 1e6 + 0.5) - 1), afterEvent, between,
                    k == 0 ? " (includes the start)" : "");
    }
    return 0;
}

std::vector<int> ParseCounts(const std::wstring& text)
{
    std::vector<int> counts;
    std::wistringstream items(text);
    std::wstring item;
    while (std::getline(items, item, L','))
        if (_wtoi(item.c_str()) > 0)
            counts.push_back(_wtoi(item.c_str()));
    return counts;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticksPerUs = static_cast<double>(frequency.QuadPart) / 1e6;

    std::vector<int> counts = {1, 2, 4, 8, 16};
    std::wstring media = TestMedia(L"clip-loop-2s.mp4"); // 320x240 at 25 fps with sound, as the wall of previews has
    std::wstring loopMedia = TestMedia(L"clip-loop-2s.mp4");
    double fps = 25.0;
    double loopSeconds = 10.0;
    int runs = 5;
    bool latency = false;
    bool identify = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == L"--latency")
            latency = true;
        else if (arg == L"--identify")
            identify = true;
        else if (arg == L"--counts" && more)
            counts = ParseCounts(argv[++i]);
        else if (arg == L"--media" && more)
            media = argv[++i];
        else if (arg == L"--loop-media" && more)
            loopMedia = argv[++i];
        else if (arg == L"--fps" && more)
            fps = _wtof(argv[++i]);
        else if (arg == L"--runs" && more)
            runs = std::max(1, _wtoi(argv[++i]));
        else if (arg == L"--loop-seconds" && more)
            loopSeconds = _wtof(argv[++i]);
        else
        {
            std::fprintf(stderr, "usage: videos-bench [--counts 1,2,4,8,16] [--media FILE] [--fps 25] [--identify]\n"
                                 "       videos-bench --latency [--runs 5] [--media FILE] [--loop-media FILE] "
                                 "[--loop-seconds 10]\n");
            return 1;
        }
    }
    for (std::wstring* path : {&media, &loopMedia})
    {
        wchar_t full[MAX_PATH] = {};
        if (GetFullPathNameW(path->c_str(), MAX_PATH, full, nullptr))
            *path = full;
    }
    timeBeginPeriod(1);
    const int code = latency ? RunLatency(runs, media, loopMedia, fps, loopSeconds) : RunVideos(counts, media, fps, identify);
    timeEndPeriod(1);
    // QV_BENCH_PID_FILE (a Linux path): where to list the processes counted.
    if (const char* pidFile = std::getenv("QV_BENCH_PID_FILE"))
    {
        if (FILE* file = std::fopen((std::string("Z:") + pidFile).c_str(), "wb"))
        {
            for (int pid : CpuAccount::Seen())
                std::fprintf(file, "%d\n", pid);
            std::fclose(file);
        }
    }
    return code;
}
