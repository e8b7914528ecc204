#pragma once

#include "CriticalSection.h"
#include "mfcommon/linklist.h"

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

// The free samples of the current set, and how many are out of the pool.
class SamplePool
{
public:
    SamplePool() = default;
    virtual ~SamplePool() = default;

    SamplePool(const SamplePool&) = delete;
    SamplePool& operator=(const SamplePool&) = delete;

    // Moves every sample of the list into the pool and empties the list.
    HRESULT Initialize(ComPtrList<IMFSample>& samples);
    HRESULT TakeSample(IMFSample** ppSample);
    HRESULT GiveBack(IMFSample* pSample);
    LONG GetPendingCount();
    void Clear();

private:
    CCriticalSection m_Lock;
    ComPtrList<IMFSample> m_FreeSamples;
    BOOL m_bInitialized = FALSE;
    LONG m_PendingCount = 0;
};
