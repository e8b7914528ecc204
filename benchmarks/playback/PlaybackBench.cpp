// playback-bench [runs] [media file] [media fps]: figures of real playback
// through the client and the video server:
// - time from starting the server to onReady on the test video;
// - frames delivered per second against the media's frame rate while polling
//   at 60 Hz, with the frames that never showed counted as dropped;
// - the frame request's round trip with a real presenter behind it, beside
//   the bare cross-process SendMessageTimeoutW round trip to a trivial program.
// Under Wine run it as the demo runs, so that frames have real shared handles:
//   WINEDLLOVERRIDES="mscoree,mshtml=;d3d9=n,b;evr=n,b" tools/wine-run.sh $PWD/build/bin/playback-bench.exe
#include "ChildServer.h"
#include "EchoFloor.h"
#include "FrameTally.h"
#include "TestProcess.h"
#include "VideoPlayerClient.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
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

double Percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

struct Seen
{
    bool ready = false;
    bool complete = false;
    std::string error;
};

struct BenchCallback : IVideoCallback
{
    explicit BenchCallback(std::shared_ptr<Seen> seen) : m_seen(std::move(seen)) {}
    void onError(VideoPlayerClient*, uint32_t, int64_t, int64_t, const std::string& text) override
    {
        std::fprintf(stderr, "  error: %s\n", text.c_str());
        m_seen->error = text;
    }
    void onEvent(VideoPlayerClient*, int32_t code, int64_t) override
    {
        if (code == VE_PLAY_COMPLETE)
            m_seen->complete = true;
    }
    void onReady(VideoPlayerClient*, HWND) override { m_seen->ready = true; }
    void Release() override { delete this; }

    std::shared_ptr<Seen> m_seen;
};

void EndServer(VideoPlayerClient& client, UniqueHandle& server)
{
    client.Close();
    if (server && !PumpUntil([&] { return WaitForSingleObject(server.Get(), 0) == WAIT_OBJECT_0; }, 10000))
    {
        // A server stuck in its teardown would otherwise outlive the benchmark.
        std::fprintf(stderr, "  the server did not end within 10 s of the close; ending it\n");
        TerminateProcess(server.Get(), 1);
    }
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 5;
    std::wstring media = argc > 2 ? argv[2] : TestMedia(L"clip-av.mp4");
    const double fps = argc > 3 ? _wtof(argv[3]) : 25.0;
    wchar_t full[MAX_PATH] = {};
    if (GetFullPathNameW(media.c_str(), MAX_PATH, full, nullptr))
        media = full;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticksPerUs = static_cast<double>(frequency.QuadPart) / 1e6;

    EchoFloor echo;
    if (!echo.Start())
    {
        std::printf("the echo program did not answer\n");
        return 1;
    }

    std::vector<double> readyMs;
    std::vector<double> pollUs;
    std::vector<double> floorUs;
    FrameTally tally(fps);
    double playedSeconds = 0.0;
    double spanEnd = 0.0;
    float duration = 0.0f;
    int failedPolls = 0;
    double firstFrameMs = -1.0;
    bool complete = false;
    for (int i = 0; i < runs; ++i)
    {
        auto seen = std::make_shared<Seen>();
        VideoPlayerClient client(new BenchCallback(seen));
        OpenParameters parameters;
        parameters.mediaFile = media;
        if (!client.Init(0, parameters))
            return 2;
        const double t0 = NowUs();
        if (!client.Open())
        {
            std::printf("the server did not start: %s\n", client.GetLastErrorText().c_str());
            return 3;
        }
        UniqueHandle server = OpenChildServer();
        if (!PumpUntil([&] { return seen->ready || !seen->error.empty(); }, 20000) || !seen->ready)
        {
            std::printf("run %d: no onReady (%s)\n", i, seen->error.c_str());
            EndServer(client, server);
            return 4;
        }
        readyMs.push_back((NowUs() - t0) / 1000.0);
        if (i + 1 < runs)
        {
            EndServer(client, server);
            continue;
        }

        // The last run plays the file once, polled as a 60 Hz render loop would.
        duration = client.GetDuration();
        const double limitUs = (duration > 0.0f ? duration + 5.0 : 15.0) * 1e6;
        client.Play();
        const double start = NowUs();
        tally.StartSpan(start / 1e6);
        double nextPoll = start;
        while (!seen->complete && seen->error.empty() && NowUs() - start < limitUs)
        {
            const double wait = nextPoll - NowUs();
            if (wait > 0)
                PumpUntil([] { return false; }, static_cast<DWORD>(wait / 1000.0));
            nextPoll += 1e6 / 60.0;
            FrameParams frame{};
            double s = NowUs();
            const int status = client.GetFrameData(&frame);
            pollUs.push_back(NowUs() - s);
            if (status == VPC_FRAME_OK)
            {
                if (tally.Observe(frame) && firstFrameMs < 0.0)
                    firstFrameMs = (NowUs() - start) / 1000.0;
            }
            else if (status != VPC_FRAME_NONE_YET)
                ++failedPolls;
            s = NowUs();
            if (echo.Ping())
                floorUs.push_back(NowUs() - s);
        }
        spanEnd = NowUs() / 1e6;
        playedSeconds = spanEnd - start / 1e6;
        complete = seen->complete;
        EndServer(client, server);
    }
    echo.Stop();

    std::printf("media %ls, %.0f fps, duration %.2f s\n", media.c_str(), fps, duration);
    std::printf("start to onReady             median %7.1f ms   max %7.1f ms   (%d runs)\n", Percentile(readyMs, 0.5),
                *std::max_element(readyMs.begin(), readyMs.end()), runs);
    std::printf("frames delivered             %d in %.2f s = %.1f fps against %.0f fps, %d dropped, %d polls%s\n",
                tally.Delivered(), playedSeconds, tally.DeliveredPerSecond(spanEnd), fps, tally.Dropped(spanEnd),
                tally.Polls(),
                complete ? "" : " (no VE_PLAY_COMPLETE)");
    if (complete && duration > 0.0f)
    {
        // Against the media itself: the wall-clock span above includes the start's latency.
        const int mediaFrames = static_cast<int>(duration * fps + 0.5);
        std::printf("frames of the media shown    %d of %d, %d never seen; first new frame %.0f ms after Play\n",
                    std::min(tally.Delivered(), mediaFrames), mediaFrames,
                    std::max(0, mediaFrames - tally.Delivered()), firstFrameMs);
    }
    if (failedPolls)
        std::printf("frame requests without an answer: %d\n", failedPolls);
    std::printf("poll round trip (presenter)  median %7.1f us   p90 %7.1f us   max %8.1f us\n", Percentile(pollUs, 0.5),
                Percentile(pollUs, 0.9), Percentile(pollUs, 1.0));
    std::printf("bare SendMessageTimeoutW     median %7.1f us   p90 %7.1f us   ratio of medians %.2f\n",
                Percentile(floorUs, 0.5), Percentile(floorUs, 0.9),
                Percentile(floorUs, 0.5) > 0 ? Percentile(pollUs, 0.5) / Percentile(floorUs, 0.5) : 0.0);
    return 0;
}
