#pragma once

#include "CriticalSection.h"
#include "mfcommon/linklist.h"

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>

// The presentation queue. There is no scheduler thread: the due sample is
// chosen when the client polls, against the presentation clock.
class SampleQueue
{
public:
    SampleQueue() = default;
    virtual ~SampleQueue() = default;

    SampleQueue(const SampleQueue&) = delete;
    SampleQueue& operator=(const SampleQueue&) = delete;

    // The clock is borrowed: the presenter holds it and takes it away here
    // before releasing it.
    void SetClock(IMFClock* pClock);
    void SetPlaybackRate(float rate) { m_fRate.store(rate); }

    HRESULT Enqueue(IMFSample* pSample, bool presentNow);
    // The sample to show now, with the queue's reference; drops late samples
    // whose successor is due too and leaves an early one queued. A sample
    // queued to be shown now is due at once.
    Microsoft::WRL::ComPtr<IMFSample> TakeDueSample();
    DWORD GetCount();
    void Flush();

private:
    enum Timing
    {
        TIMING_DUE,
        TIMING_EARLY,
        TIMING_LATE,
    };
    Timing Classify(IMFSample* pSample);

    CCriticalSection m_Lock;
    ComPtrList<IMFSample> m_Samples;
    IMFClock* m_pClock = nullptr; // borrowed
    std::atomic<float> m_fRate{1.0f};
    bool m_bFrontNow = false; // the only queued sample is to be shown now (a later one ends that)
};
