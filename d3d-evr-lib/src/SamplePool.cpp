#include "SamplePool.h"

#include <mferror.h>

HRESULT SamplePool::Initialize(ComPtrList<IMFSample>& samples)
{
    CScopedLock lock(m_Lock);
    if (m_bInitialized)
        return MF_E_INVALIDREQUEST;

    HRESULT hr = samples.ForEach([this](IMFSample* pSample) { return m_FreeSamples.InsertBack(pSample); });
    if (SUCCEEDED(hr))
        m_bInitialized = TRUE;
    samples.Clear();
    return hr;
}

HRESULT SamplePool::TakeSample(IMFSample** ppSample)
{
    if (!ppSample)
        return E_POINTER;
    *ppSample = nullptr;
    CScopedLock lock(m_Lock);
    if (!m_bInitialized)
        return MF_E_NOT_INITIALIZED;
    if (m_FreeSamples.IsEmpty())
        return MF_E_SAMPLEALLOCATOR_EMPTY;
    HRESULT hr = m_FreeSamples.RemoveFront(ppSample);
    if (SUCCEEDED(hr))
        ++m_PendingCount;
    return hr;
}

HRESULT SamplePool::GiveBack(IMFSample* pSample)
{
    CScopedLock lock(m_Lock);
    if (!m_bInitialized)
        return MF_E_NOT_INITIALIZED;
    HRESULT hr = m_FreeSamples.InsertBack(pSample);
    if (SUCCEEDED(hr))
        --m_PendingCount;
    return hr;
}

LONG SamplePool::GetPendingCount()
{
    CScopedLock lock(m_Lock);
    return m_bInitialized ? m_PendingCount : 0;
}

void SamplePool::Clear()
{
    CScopedLock lock(m_Lock);
    m_FreeSamples.Clear();
    m_bInitialized = FALSE;
    m_PendingCount = 0;
}
