// Figures of the presenter's frame path under the mixer double:
//  - one GetFrameData poll (median, microseconds), with a due frame and idle;
//  - one whole cycle: poll takes the queued frame, the previous sample is
//    released, returns through the platform's callback, and the mixer fills it;
//  - operator new calls per frame after warm-up (only the descriptor that
//    each poll hands out is expected).
#include "EvrDoubles.h"
#include "HelperWindow.h"
#include "Presenter.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{
std::atomic<long> g_allocations{0};
}

void* operator new(size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void* operator new[](size_t size)
{
    return operator new(size);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}

namespace
{
struct NoHandler : WndMessageHandler
{
    BOOL OnWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT*) override { return FALSE; }
};

double Microseconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    return 1e6 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}
} // namespace

int main(int argc, char** argv)
{
    const int frames = argc > 1 ? std::atoi(argv[1]) : 500;
    const UINT32 width = 1280;
    const UINT32 height = 720;

    if (FAILED(MFStartup(MF_VERSION, MFSTARTUP_LITE)))
        return 1;
    int exitCode = 0;
    {
        NoHandler handler;
        HelperWindow window(L"QvEvrBenchWindow", &handler);
        ComPtr<IEvrD3DPresenter> presenter;
        ComPtr<IMFVideoPresenter> videoPresenter;
        ComPtr<IMFTopologyServiceLookupClient> lookupClient;
        ComPtr<ClockDouble> clock;
        ComPtr<MixerDouble> mixer;
        ComPtr<EventSinkDouble> sink;
        clock.Attach(new ClockDouble);
        mixer.Attach(new MixerDouble);
        sink.Attach(new EventSinkDouble);
        sink->SetRecording(false);
        ComPtr<ServiceLookupDouble> lookup;
        lookup.Attach(new ServiceLookupDouble(clock.Get(), mixer.Get(), sink.Get()));

        VideoTypeSpec spec;
        spec.width = width;
        spec.height = height;
        HRESULT hr = window.Create(nullptr, false);
        if (SUCCEEDED(hr))
            hr = IEvrD3DPresenter::Create(window.GetHwnd(), &presenter);
        if (SUCCEEDED(hr))
            hr = presenter.As(&videoPresenter);
        if (SUCCEEDED(hr))
            hr = presenter.As(&lookupClient);
        if (SUCCEEDED(hr))
            hr = lookupClient->InitServicePointers(lookup.Get());
        if (SUCCEEDED(hr))
        {
            mixer->OfferTypes({MakeVideoType(spec)});
            hr = videoPresenter->ProcessMessage(MFVP_MESSAGE_INVALIDATEMEDIATYPE, 0);
        }
        if (SUCCEEDED(hr))
            hr = videoPresenter->OnClockStart(0, 0);
        if (FAILED(hr))
        {
            std::printf("set-up failed: 0x%08lX\n", static_cast<unsigned long>(hr));
            return 1;
        }

        // Steady state: both samples in the ring, one shown, one queued.
        mixer->SetEndless(true);
        videoPresenter->ProcessMessage(MFVP_MESSAGE_PROCESSINPUTNOTIFY, 0);
        videoPresenter->ProcessMessage(MFVP_MESSAGE_PROCESSINPUTNOTIFY, 0);

        // One cycle: poll until a different texture is shown. The poll that
        // takes it releases the previous sample, which returns on the
        // platform's thread, is filled again and queued for a later cycle.
        IDirect3DTexture9* lastTexture = nullptr; // identity only
        long pollCount = 0;
        auto cycle = [&](double* pollUs, double* cycleUs) -> bool {
            const LARGE_INTEGER start = Now();
            const ULONGLONG deadline = GetTickCount64() + 5000;
            for (;;)
            {
                const LARGE_INTEGER before = Now();
                IFrameData* frame = presenter->GetFrameData();
                const LARGE_INTEGER after = Now();
                ++pollCount;
                IDirect3DTexture9* texture = frame ? frame->GetTexture() : nullptr;
                if (frame)
                    frame->Dispose();
                if (texture && texture != lastTexture)
                {
                    lastTexture = texture;
                    *pollUs = Microseconds(before, after);
                    *cycleUs = Microseconds(start, after);
                    return true;
                }
                if (GetTickCount64() > deadline)
                    return false;
            }
        };

        double pollUs = 0;
        double cycleUs = 0;
        for (int i = 0; i < 50; ++i)
        {
            if (!cycle(&pollUs, &cycleUs))
            {
                std::printf("the ring did not turn during warm-up\n");
                return 1;
            }
        }

        std::vector<double> polls;
        std::vector<double> cycles;
        polls.reserve(static_cast<size_t>(frames));
        cycles.reserve(static_cast<size_t>(frames));
        int shownFrames = 0;
        const long allocationsBefore = g_allocations.load();
        const long pollsBefore = pollCount;
        for (int i = 0; i < frames; ++i)
        {
            if (cycle(&pollUs, &cycleUs))
                ++shownFrames;
            polls.push_back(pollUs);
            cycles.push_back(cycleUs);
        }
        const long allocations = g_allocations.load() - allocationsBefore;
        const long cyclePolls = pollCount - pollsBefore;

        // Idle polls: the mixer has nothing more, so nothing is queued.
        mixer->SetEndless(false);
        for (int i = 0; i < 10; ++i)
        {
            if (IFrameData* frame = presenter->GetFrameData())
                frame->Dispose();
            Sleep(1);
        }
        std::vector<double> idle;
        idle.reserve(static_cast<size_t>(frames));
        const long idleBefore = g_allocations.load();
        for (int i = 0; i < frames; ++i)
        {
            const LARGE_INTEGER start = Now();
            IFrameData* frame = presenter->GetFrameData();
            idle.push_back(Microseconds(start, Now()));
            if (frame)
                frame->Dispose();
        }
        const long idleAllocations = g_allocations.load() - idleBefore;

        std::printf("frames %d at %ux%u X8R8G8B8, 2 samples, mixer double filling with ColorFill\n", frames,
                    width, height);
        std::printf("GetFrameData with a due frame: median %.1f us\n", Median(polls));
        std::printf("GetFrameData idle:             median %.1f us\n", Median(idle));
        std::printf("pull-queue-present-release cycle (polling continuously): median %.1f us (%.0f frames/s)\n", Median(cycles),
                    Median(cycles) > 0 ? 1e6 / Median(cycles) : 0.0);
        std::printf("frames shown: %d of %d\n", shownFrames, frames);
        double total = 0;
        for (double us : cycles)
            total += us;
        std::printf("cycle mean %.1f us, 90th percentile %.1f us; polls per frame (mean): %.1f\n", total / frames,
                    [&] {
                        std::vector<double> sorted = cycles;
                        std::sort(sorted.begin(), sorted.end());
                        return sorted[sorted.size() * 9 / 10];
                    }(),
                    static_cast<double>(cyclePolls) / frames);
        std::printf("operator new after warm-up: %.2f per poll while playing, %.2f per idle poll; expected: 1, the descriptor\n",
                    static_cast<double>(allocations) / static_cast<double>(cyclePolls),
                    static_cast<double>(idleAllocations) / frames);
        if (shownFrames != frames)
            exitCode = 2;

        lookupClient->ReleaseServicePointers();
        // Let the platform return the last samples before Media Foundation stops.
        for (int i = 0; i < 500; ++i)
        {
            presenter->AddRef();
            if (presenter->Release() == 1)
                break;
            Sleep(2);
        }
    }
    MFShutdown();
    return exitCode;
}
