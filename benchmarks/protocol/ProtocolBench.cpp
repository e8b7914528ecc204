// protocol-bench [runs] [requests]: medians of the start-to-ready handshake
// and of the frame request, each beside its floor on this machine.
#include "EchoFloor.h"
#include "Handles.h"
#include "VideoPlayerClient.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
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
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Predicate>
bool Pump(Predicate done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done())
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        if (done())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
    return true;
}

struct ReadyCallback : IVideoCallback
{
    bool* ready;
    bool* failed;
    void onError(VideoPlayerClient*, uint32_t, int64_t, int64_t, const std::string& text) override
    {
        std::printf("  error: %s\n", text.c_str());
        *failed = true;
    }
    void onEvent(VideoPlayerClient*, int32_t, int64_t) override {}
    void onReady(VideoPlayerClient*, HWND) override { *ready = true; }
    void Release() override { delete this; }
};

UniqueHandle ProcessOf(HWND window)
{
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    return UniqueHandle(OpenProcess(SYNCHRONIZE, FALSE, id));
}

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 30;
    const int requests = argc > 2 ? _wtoi(argv[2]) : 20000;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticksPerUs = static_cast<double>(frequency.QuadPart) / 1e6;

    // Floor of the start: a trivial window program announcing its window.
    std::vector<double> echoStart;
    std::vector<double> echoTrip;
    EchoFloor echo;
    for (int i = 0; i < runs; ++i)
    {
        const double t0 = NowUs();
        if (!echo.Start())
        {
            std::printf("echo program did not answer\n");
            return 1;
        }
        echoStart.push_back((NowUs() - t0) / 1000.0);
        if (i + 1 == runs)
            break; // the last one stays for the round trips
        echo.Stop();
    }

    std::fprintf(stderr, "floor measured\n");
    // The real handshake in server stub mode, and the frame request.
    std::vector<double> readyMs;
    std::vector<double> frameTrip;
    std::vector<double> isWindow;
    int slow = 0;
    for (int i = 0; i < runs; ++i)
    {
        bool ready = false;
        bool failed = false;
        auto callback = new ReadyCallback();
        callback->ready = &ready;
        callback->failed = &failed;
        VideoPlayerClient client(callback);
        client.SetStubMode(reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234)), false);
        OpenParameters parameters;
        parameters.mediaFile = OwnPath();
        if (!client.Init(0, parameters))
            return 2;
        const double t0 = NowUs();
        if (!client.Open() || !Pump([&] { return ready || failed; }, 10000) || !ready)
        {
            std::printf("handshake failed in run %d\n", i);
            return 3;
        }
        const double ms = (NowUs() - t0) / 1000.0;
        readyMs.push_back(ms);
        if (ms > 1500.0)
        {
            ++slow;
            std::fprintf(stderr, "run %d: %.1f ms to ready\n", i, ms);
        }
        FrameParams frame = {};
        if (i + 1 == runs)
        {
            // Interleaved, so that both trips see the same machine.
            for (int r = 0; r < requests; ++r)
            {
                double s = NowUs();
                const int status = client.GetFrameData(&frame);
                if (status != VPC_FRAME_OK)
                {
                    std::fprintf(stderr, "frame request %d: status %d\n", r, status);
                    return 4;
                }
                frameTrip.push_back(NowUs() - s);
                s = NowUs();
                echo.Ping();
                echoTrip.push_back(NowUs() - s);
                // The readiness check inside each request asks about a window of another process.
                s = NowUs();
                IsWindow(echo.Window());
                isWindow.push_back(NowUs() - s);
            }
            echo.Stop();
        }
        // Only one server runs here; wait for its end before the next start.
        HWND serverWindow = FindWindowW(L"velmorin", nullptr);
        UniqueHandle process = ProcessOf(serverWindow);
        client.Close();
        if (process && WaitForSingleObject(process.Get(), 10000) != WAIT_OBJECT_0)
            std::fprintf(stderr, "run %d: server did not end after close\n", i);
    }

    const double startFloor = Median(echoStart);
    const double start = Median(readyMs);
    const double tripFloor = Median(echoTrip);
    const double trip = Median(frameTrip);
    std::printf("runs %d, requests %d\n", runs, requests);
    std::printf("start to onReady (server stub)   median %8.1f ms   max %8.1f ms   over 1.5 s: %d\n", start,
                *std::max_element(readyMs.begin(), readyMs.end()), slow);
    std::printf("start of a trivial window program median %8.1f ms   ratio %.2f\n", startFloor, start / startFloor);
    std::printf("GetFrameData round trip (stub)    median %8.1f us\n", trip);
    std::printf("bare SendMessageTimeoutW trip     median %8.1f us   ratio %.2f\n", tripFloor, trip / tripFloor);
    std::printf("IsWindow of another process's window median %5.1f us\n", Median(isWindow));
    return 0;
}
