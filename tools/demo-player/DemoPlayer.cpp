// qvfx-demo-player: plays a media file through the video player client and
// the real video server, and prints what a person would want to see: the
// events, the frame descriptors, frames delivered per second against the
// media's frame rate, a few frames written as PNG files, and the server's
// exit code.
//
//   qvfx-demo-player [--media FILE] [--fps N] [--out FOLDER] [--stub]
//
// --stub gives the server a green shared stub texture of this program's own
// instead of playing the file. Frames are read back through Direct3D 9Ex
// shared handles; under Wine that needs the shared-texture stand-in d3d9.dll.
#include "ChildServer.h"
#include "FrameTally.h"
#include "Handles.h"
#include "PngFile.h"
#include "ShareTestDevice.h"
#include "VideoPlayerClient.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{
const double kPollHz = 60.0;

double g_ticksPerSecond = 0.0;
LARGE_INTEGER g_start{};

double Seconds()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - g_start.QuadPart) / g_ticksPerSecond;
}

void Say(const char* format, ...)
{
    std::printf("[%7.3f s] ", Seconds());
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

const char* EventName(int32_t code)
{
    switch (code)
    {
    case VE_PLAY_COMPLETE:
        return "VE_PLAY_COMPLETE";
    case VE_PLAY_LOOP_RESTART:
        return "VE_PLAY_LOOP_RESTART";
    default:
        return "other event";
    }
}

const char* FormatName(uint32_t format)
{
    switch (format)
    {
    case D3DFMT_X8R8G8B8:
        return "D3DFMT_X8R8G8B8";
    case D3DFMT_A8R8G8B8:
        return "D3DFMT_A8R8G8B8";
    default:
        return "other format";
    }
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end()); // paths here are ASCII; the log is not the point
}

std::wstring BinDirectory()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

// What the client's callback saw, in order.
struct Seen
{
    bool ready = false;
    HWND serverWindow = nullptr;
    std::vector<int32_t> events;
    std::vector<std::string> errors;

    int Count(int32_t code) const
    {
        int n = 0;
        for (int32_t event : events)
            n += event == code ? 1 : 0;
        return n;
    }
};

class PrintingCallback : public IVideoCallback
{
public:
    explicit PrintingCallback(std::shared_ptr<Seen> seen) : m_seen(std::move(seen)) {}
    void onError(VideoPlayerClient*, uint32_t code, int64_t param1, int64_t, const std::string& text) override
    {
        Say("onError code 0x%08x param1 0x%llx: %s", code, static_cast<unsigned long long>(param1), text.c_str());
        m_seen->errors.push_back(text);
    }
    void onEvent(VideoPlayerClient*, int32_t code, int64_t value) override
    {
        Say("onEvent %s (%d), graph event %lld", EventName(code), code, static_cast<long long>(value));
        m_seen->events.push_back(code);
    }
    void onReady(VideoPlayerClient*, HWND serverWindow) override
    {
        Say("onReady, server window %p", static_cast<void*>(serverWindow));
        m_seen->ready = true;
        m_seen->serverWindow = serverWindow;
    }
    void Release() override { delete this; }

private:
    std::shared_ptr<Seen> m_seen;
};

void PumpFor(double seconds)
{
    const double end = Seconds() + seconds;
    for (;;)
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const double left = end - Seconds();
        if (left <= 0.0)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left * 1000.0) + 1, QS_ALLINPUT);
    }
}

class Demo
{
public:
    Demo(std::wstring media, double fps, std::wstring outDir, bool stub)
        : m_media(std::move(media)), m_fps(fps), m_outDir(std::move(outDir)), m_stub(stub), m_tally(fps)
    {
    }
    int Run();

private:
    bool Start();
    // Polls at 60 Hz until done() holds or maxSeconds pass; prints new textures
    // and one line per second. Returns done().
    template <typename Done>
    bool Poll(const char* phase, double maxSeconds, Done done, const std::vector<double>& snapshotsAt = {});
    void SaveFrame(const FrameParams& frame, const std::string& name);
    void PrintDescriptor(const char* what, const FrameParams& frame);
    bool Failed() const { return !m_seen->errors.empty(); }
    int Finish();

    std::wstring m_media;
    double m_fps;
    std::wstring m_outDir;
    bool m_stub;
    FrameTally m_tally;
    ShareTestDevice m_device;
    ComPtr<IDirect3DTexture9> m_stubTexture;
    std::shared_ptr<Seen> m_seen = std::make_shared<Seen>();
    std::unique_ptr<VideoPlayerClient> m_client;
    UniqueHandle m_serverProcess;
    std::vector<std::string> m_pngs;
    std::vector<std::string> m_missing; // what did not happen, said at the end
    int m_totalDelivered = 0;
    int m_totalDropped = 0;
    double m_totalPlaySeconds = 0.0;
    bool m_holding = false; // paused: no new frame is due, so none counts as dropped
};

bool Demo::Start()
{
    HRESULT hr = m_device.Create();
    if (FAILED(hr))
    {
        Say("no Direct3D 9Ex device of our own (0x%08lx): frames will not be read back", hr);
        m_missing.push_back("Direct3D 9Ex device for reading frames back");
    }
    else if (LoadedD3d9IsWines())
        Say("note: this process runs Wine's own d3d9.dll; shared textures need the stand-in (d3d9=n,b)");

    HANDLE stubHandle = nullptr;
    if (m_stub)
    {
        if (m_device.Get())
            hr = m_device.CreateShared(1280, 720, D3DFMT_X8R8G8B8, &m_stubTexture, &stubHandle);
        if (SUCCEEDED(hr) && stubHandle)
            hr = m_device.Fill(m_stubTexture.Get(), D3DCOLOR_XRGB(0, 160, 0), D3DCOLOR_XRGB(255, 255, 255));
        if (FAILED(hr) || !stubHandle)
        {
            Say("could not make a shared stub texture (0x%08lx)", hr);
            return false;
        }
        Say("server stub mode: green stub texture, shared handle %p", stubHandle);
    }

    m_client.reset(new VideoPlayerClient(new PrintingCallback(m_seen)));
    m_client->SetStubMode(stubHandle, false);
    OpenParameters parameters;
    parameters.mediaFile = m_media;
    parameters.soundVolume = 1.0f;
    parameters.isLoopEnabled = 1;
    if (!m_client->Init(0, parameters))
    {
        Say("client window could not be created");
        return false;
    }
    Say("starting qvfx-reviv.exe on %s (loop on)", Narrow(m_media).c_str());
    const double opened = Seconds();
    if (!m_client->Open())
    {
        PumpFor(0.2); // lets a queued report arrive
        Say("the server did not start: %s", m_client->GetLastErrorText().c_str());
        return false;
    }
    m_serverProcess = OpenChildServer();
    const double deadline = Seconds() + 20.0;
    while (!m_seen->ready && !Failed() && Seconds() < deadline)
        PumpFor(0.005);
    if (!m_seen->ready)
    {
        Say("no onReady within 20 s");
        return false;
    }
    Say("start to onReady: %.0f ms", (Seconds() - opened) * 1000.0);
    return true;
}

void Demo::PrintDescriptor(const char* what, const FrameParams& frame)
{
    Say("%s: handle 0x%llx, %u x %u, format %u (%s)", what, static_cast<unsigned long long>(frame.textureHandle),
        frame.width, frame.height, frame.format, FormatName(frame.format));
}

void Demo::SaveFrame(const FrameParams& frame, const std::string& name)
{
    if (!m_device.Get())
        return;
    ComPtr<IDirect3DTexture9> texture;
    std::vector<uint32_t> pixels;
    HRESULT hr = m_device.OpenShared(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(frame.textureHandle)), frame.width,
                                     frame.height, static_cast<D3DFORMAT>(frame.format), &texture);
    if (SUCCEEDED(hr))
        hr = m_device.ReadPixels(texture.Get(), &pixels);
    const std::wstring path = m_outDir + L"\\" + std::wstring(name.begin(), name.end()) + L".png";
    if (SUCCEEDED(hr))
        hr = WritePng(path, frame.width, frame.height, pixels);
    if (FAILED(hr))
    {
        Say("frame %s could not be read back and written (0x%08lx)", name.c_str(), hr);
        m_missing.push_back("PNG " + name);
        return;
    }
    const uint32_t centre = pixels[static_cast<size_t>(frame.height / 2) * frame.width + frame.width / 2];
    Say("wrote %s (centre pixel #%06x)", Narrow(path).c_str(), centre);
    m_pngs.push_back(Narrow(path));
}

template <typename Done>
bool Demo::Poll(const char* phase, double maxSeconds, Done done, const std::vector<double>& snapshotsAt)
{
    const double start = Seconds();
    m_tally.StartSpan(start);
    size_t nextSnapshot = 0;
    int reportedDelivered = 0;
    int reportedDropped = 0;
    double nextReport = start + 1.0;
    double nextPoll = start;
    bool finished = false;
    int failedPolls = 0;
    while (!finished && !Failed())
    {
        PumpFor(nextPoll - Seconds());
        nextPoll += 1.0 / kPollHz;
        const double now = Seconds();
        FrameParams frame{};
        const int status = m_client->GetFrameData(&frame);
        if (status == VPC_FRAME_OK)
        {
            m_tally.Observe(frame);
            if (m_tally.IsFirstSighting(frame))
            {
                m_tally.NoteSighting(frame);
                PrintDescriptor("new frame texture", frame);
            }
            if (nextSnapshot < snapshotsAt.size() && now - start >= snapshotsAt[nextSnapshot])
            {
                char name[64];
                std::snprintf(name, sizeof(name), "%s-%.1fs", phase, now - start);
                SaveFrame(frame, name);
                ++nextSnapshot;
            }
        }
        else if (status != VPC_FRAME_NONE_YET && ++failedPolls == 1)
            Say("frame request status %d", status);
        finished = done() || now - start >= maxSeconds;
        if (now >= nextReport || finished)
        {
            const int delivered = m_tally.Delivered() - reportedDelivered;
            const int dropped = m_tally.Dropped(now) - reportedDropped;
            if (m_stub)
                Say("%s: %2d frames delivered in this second (one still texture)", phase, delivered);
            else if (m_holding)
                Say("%s: %2d new frames in this second (none due while paused), position %.2f s", phase, delivered,
                    m_client->GetPosition());
            else
                Say("%s: %2d frames delivered in this second (media %.0f fps), %d dropped, position %.2f s", phase,
                    delivered, m_fps, dropped > 0 ? dropped : 0, m_client->GetPosition());
            reportedDelivered = m_tally.Delivered();
            reportedDropped = m_tally.Dropped(now);
            nextReport += 1.0;
        }
    }
    const double end = Seconds();
    if (m_holding)
    {
        Say("%s: %d new frames in %.2f s while paused, %d polls", phase, m_tally.Delivered(), end - start,
            m_tally.Polls());
        return done();
    }
    Say("%s: %d frames in %.2f s = %.1f fps (media %.0f fps), %d dropped, %d polls", phase, m_tally.Delivered(),
        end - start, m_tally.DeliveredPerSecond(end), m_fps, m_tally.Dropped(end), m_tally.Polls());
    m_totalDelivered += m_tally.Delivered();
    m_totalDropped += m_tally.Dropped(end);
    m_totalPlaySeconds += end - start;
    return done();
}

int Demo::Run()
{
    if (!Start())
    {
        m_missing.push_back("start to onReady");
        return Finish();
    }
    const float duration = m_client->GetDuration();
    Say("duration %.3f s, position %.3f s, loop %d", duration, m_client->GetPosition(), m_client->GetLoopEnabled());

    // The paused picture may land a moment after onReady.
    FrameParams paused{};
    int status = m_client->GetFrameData(&paused);
    for (const double until = Seconds() + 1.0; status == VPC_FRAME_NONE_YET && Seconds() < until;)
    {
        PumpFor(1.0 / kPollHz);
        status = m_client->GetFrameData(&paused);
    }
    if (status == VPC_FRAME_OK)
    {
        PrintDescriptor("paused frame", paused);
        SaveFrame(paused, "paused-at-start");
    }
    else
    {
        Say("no paused frame within 1 s of onReady (status %d)", status);
        m_missing.push_back("a frame while paused at the start");
    }

    if (m_stub)
    {
        // The stub texture is the only frame there is; show that polling sees it steadily.
        m_client->Play();
        Poll("stub", 1.0, [] { return false; });
        return Finish();
    }

    const double playFor = duration > 0.0f ? duration + 5.0 : 15.0;
    Say("Play");
    m_client->Play();
    if (!Poll("first-pass", playFor, [&] { return m_seen->Count(VE_PLAY_LOOP_RESTART) > 0; }, {0.5, 1.5, 2.5}))
        m_missing.push_back("VE_PLAY_LOOP_RESTART at the end with loop on");

    if (!Failed())
    {
        Say("SetPosition 1.0");
        m_client->SetPosition(1.0f);
        Poll("after-seek", 1.0, [] { return false; }, {0.6}); // after the refill that follows a seek
        const float seeked = m_client->GetPosition();
        if (seeked < 1.5f || seeked > 2.5f)
            m_missing.push_back("position about 2 s after a seek to 1 s and 1 s of play (read " +
                                std::to_string(seeked) + " s)");

        const float before = m_client->GetPosition();
        Say("Pause at %.3f s", before);
        m_client->Pause();
        PumpFor(0.1);
        m_holding = true;
        Poll("paused", 1.0, [] { return false; });
        m_holding = false;
        const float after = m_client->GetPosition();
        Say("position after 1 s of pause: %.3f s", after);
        if (m_tally.Delivered() > 1 || after - before > 0.2f)
            m_missing.push_back("pause holding the picture");

        Say("Resume; SetLoopEnabled(false)");
        m_client->Play();
        m_client->SetLoopEnabled(false);
        if (!Poll("last-pass", playFor, [&] { return m_seen->Count(VE_PLAY_COMPLETE) > 0; }))
            m_missing.push_back("VE_PLAY_COMPLETE at the end with loop off");
    }
    if (m_totalDelivered == 0)
        m_missing.push_back("frames delivered during playback");
    return Finish();
}

int Demo::Finish()
{
    DWORD exitCode = STILL_ACTIVE;
    if (m_client)
    {
        Say("Close");
        m_client->Close();
        if (m_serverProcess)
        {
            const double deadline = Seconds() + 10.0;
            while (WaitForSingleObject(m_serverProcess.Get(), 0) == WAIT_TIMEOUT && Seconds() < deadline)
                PumpFor(0.01);
            const bool stuck = WaitForSingleObject(m_serverProcess.Get(), 0) == WAIT_TIMEOUT;
            if (stuck)
            {
                // A server stuck in its teardown would otherwise outlive the demo.
                Say("the server did not end within 10 s of the close; ending it");
                m_missing.push_back("server ending by itself after close");
                TerminateProcess(m_serverProcess.Get(), 1);
                WaitForSingleObject(m_serverProcess.Get(), 5000);
            }
            GetExitCodeProcess(m_serverProcess.Get(), &exitCode);
            Say("server exit code %ld", static_cast<long>(exitCode));
            if (!stuck && exitCode != 0 && m_seen->ready)
                m_missing.push_back("server ending with exit code 0 after close");
        }
        m_client.reset();
    }
    std::printf("\nsummary\n");
    std::printf("  events:");
    for (int32_t event : m_seen->events)
        std::printf(" %s", EventName(event));
    std::printf("%s\n", m_seen->events.empty() ? " none" : "");
    for (const std::string& error : m_seen->errors)
        std::printf("  error: %s\n", error.c_str());
    if (m_totalPlaySeconds > 0.0 && !m_stub)
        std::printf("  frames delivered: %d in %.2f s of polling at %.0f Hz = %.1f fps (media %.0f fps), %d dropped\n",
                    m_totalDelivered, m_totalPlaySeconds, kPollHz, m_totalDelivered / m_totalPlaySeconds, m_fps,
                    m_totalDropped);
    std::printf("  distinct frame textures seen: %u\n", static_cast<unsigned>(m_tally.DistinctTextures()));
    for (const std::string& png : m_pngs)
        std::printf("  png: %s\n", png.c_str());
    for (const std::string& what : m_missing)
        std::printf("  DID NOT WORK: %s\n", what.c_str());
    const bool ok = m_missing.empty() && m_seen->errors.empty();
    std::printf("%s\n", ok ? "demo: everything shown worked" : "demo: some steps did not work (see above)");
    return ok ? 0 : 1;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticksPerSecond = static_cast<double>(frequency.QuadPart);
    QueryPerformanceCounter(&g_start);

    std::wstring media = BinDirectory() + L"\\..\\test-data\\clip-av.mp4";
    std::wstring outDir = BinDirectory() + L"\\..\\demo-frames";
    double fps = 25.0;
    bool stub = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring arg = argv[i];
        if (arg == L"--stub")
            stub = true;
        else if (arg == L"--media" && i + 1 < argc)
            media = argv[++i];
        else if (arg == L"--fps" && i + 1 < argc)
            fps = _wtof(argv[++i]);
        else if (arg == L"--out" && i + 1 < argc)
            outDir = argv[++i];
        else
        {
            std::printf("usage: qvfx-demo-player [--media FILE] [--fps N] [--out FOLDER] [--stub]\n");
            return 2;
        }
    }
    wchar_t full[MAX_PATH] = {};
    if (GetFullPathNameW(media.c_str(), MAX_PATH, full, nullptr))
        media = full;
    if (GetFullPathNameW(outDir.c_str(), MAX_PATH, full, nullptr))
        outDir = full;
    CreateDirectoryW(outDir.c_str(), nullptr); // an existing folder is fine
    if (fps <= 0.0)
        fps = 25.0;

    ScopedComInit com(COINIT_APARTMENTTHREADED);
    Demo demo(media, fps, outDir, stub);
    return demo.Run();
}
