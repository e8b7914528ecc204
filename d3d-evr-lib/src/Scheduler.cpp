#include "Scheduler.h"

#include "SampleData.h"
#include "Trace.h"

using Microsoft::WRL::ComPtr;

void SampleQueue::SetClock(IMFClock* pClock)
{
    CScopedLock lock(m_Lock);
    m_pClock = pClock;
}

HRESULT SampleQueue::Enqueue(IMFSample* pSample, bool presentNow)
{
    if (ComPtr<SampleData> data = GetSampleData(pSample))
        data->SetState(SAMPLE_STATE_QUEUED);

    CScopedLock lock(m_Lock);
    // Without a clock there is no schedule: the newest frame is the one to show.
    if (presentNow || !m_pClock)
        m_Samples.Clear();
    // A frame to show now (paused, stopped, scrubbing) is due whatever its
    // time: the standing clock would otherwise hold a frame stamped ahead of
    // it, the first after a start or a seek, forever.
    m_bFrontNow = presentNow;
    return m_Samples.InsertBack(pSample);
}

SampleQueue::Timing SampleQueue::Classify(IMFSample* pSample)
{
    LONGLONG hnsPresentationTime = 0;
    if (!m_pClock || FAILED(pSample->GetSampleTime(&hnsPresentationTime)))
        return TIMING_DUE;
    LONGLONG hnsTimeNow = 0;
    MFTIME hnsSystemTime = 0;
    // A time of 0 is shown at once; so is a sample when the clock cannot be read.
    if (hnsPresentationTime == 0 || FAILED(m_pClock->GetCorrelatedTime(0, &hnsTimeNow, &hnsSystemTime)))
        return TIMING_DUE;
    LONGLONG delta = hnsPresentationTime - hnsTimeNow;
    if (m_fRate.load() < 0)
        delta = -delta;
    LONGLONG duration = 0;
    if (FAILED(pSample->GetSampleDuration(&duration)))
        duration = 0;
    if (delta > duration)
        return TIMING_EARLY;
    if (delta < -(duration / 2))
        return TIMING_LATE;
    return TIMING_DUE;
}

ComPtr<IMFSample> SampleQueue::TakeDueSample()
{
    CScopedLock lock(m_Lock);
    for (;;)
    {
        ComPtr<IMFSample> sample;
        if (FAILED(m_Samples.RemoveFront(sample.GetAddressOf())))
            return nullptr;

        const Timing timing = m_bFrontNow ? TIMING_DUE : Classify(sample.Get());
        m_bFrontNow = false;
        if (timing == TIMING_EARLY)
        {
            // Cannot fail: the node this sample just left is reused.
            m_Samples.InsertFront(sample.Get());
            return nullptr;
        }
        // A late sample gives way only to a successor that can be shown now:
        // dropping it for one that is still early would show nothing and
        // lose the frame.
        ComPtr<IMFSample> next;
        if (timing == TIMING_LATE && SUCCEEDED(m_Samples.GetFront(next.GetAddressOf())) &&
            Classify(next.Get()) != TIMING_EARLY)
        {
            if (ComPtr<SampleData> data = GetSampleData(sample.Get()))
                data->SetState(SAMPLE_STATE_DISCARDED);
            continue; // the local reference goes with the loop
        }
        return sample;
    }
}

DWORD SampleQueue::GetCount()
{
    CScopedLock lock(m_Lock);
    return m_Samples.GetCount();
}

void SampleQueue::Flush()
{
    DebugTrace(L"Scheduler::Flush\n");
    CScopedLock lock(m_Lock);
    m_Samples.Clear();
    m_bFrontNow = false;
}
