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
    return m_Samples.InsertBack(pSample);
}

ComPtr<IMFSample> SampleQueue::TakeDueSample()
{
    CScopedLock lock(m_Lock);
    for (;;)
    {
        ComPtr<IMFSample> sample;
        if (FAILED(m_Samples.RemoveFront(sample.GetAddressOf())))
            return nullptr;

        bool early = false;
        bool late = false;
        LONGLONG hnsPresentationTime = 0;
        if (m_pClock && SUCCEEDED(sample->GetSampleTime(&hnsPresentationTime)))
        {
            LONGLONG hnsTimeNow = 0;
            MFTIME hnsSystemTime = 0;
            // A time of 0 is shown at once; so is a sample when the clock cannot be read.
            if (hnsPresentationTime != 0 &&
                SUCCEEDED(m_pClock->GetCorrelatedTime(0, &hnsTimeNow, &hnsSystemTime)))
            {
                LONGLONG delta = hnsPresentationTime - hnsTimeNow;
                if (m_fRate.load() < 0)
                    delta = -delta;
                LONGLONG duration = 0;
                if (FAILED(sample->GetSampleDuration(&duration)))
                    duration = 0;
                if (delta > duration)
                    early = true;
                else if (delta < -(duration / 2) && !m_Samples.IsEmpty())
                    late = true;
            }
        }

        if (late)
        {
            if (ComPtr<SampleData> data = GetSampleData(sample.Get()))
                data->SetState(SAMPLE_STATE_DISCARDED);
            continue; // the local reference goes with the loop
        }
        if (early)
        {
            // Cannot fail: the node this sample just left is reused.
            m_Samples.InsertFront(sample.Get());
            return nullptr;
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
}
