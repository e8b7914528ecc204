#include "EvrDoubles.h"

#include "SampleData.h"
#include "TestProcess.h"

#include <mferror.h>

#include <utility>

using Microsoft::WRL::ComPtr;

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs)
{
    return WaitFor(predicate, timeoutMs, 2);
}

// ------------------------------------------------------------------ clock

STDMETHODIMP ClockDouble::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFClock))
    {
        *ppv = static_cast<IMFClock*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ClockDouble::GetClockCharacteristics(DWORD* pCharacteristics)
{
    *pCharacteristics = MFCLOCK_CHARACTERISTICS_FLAG_FREQUENCY_10MHZ;
    return S_OK;
}

STDMETHODIMP ClockDouble::GetCorrelatedTime(DWORD, LONGLONG* pClockTime, MFTIME* pSystemTime)
{
    *pClockTime = InterlockedCompareExchange64(&m_time, 0, 0);
    *pSystemTime = *pClockTime;
    return S_OK;
}

STDMETHODIMP ClockDouble::GetContinuityKey(DWORD* pKey)
{
    *pKey = 0;
    return S_OK;
}

STDMETHODIMP ClockDouble::GetState(DWORD, MFCLOCK_STATE* pState)
{
    *pState = MFCLOCK_STATE_RUNNING;
    return S_OK;
}

STDMETHODIMP ClockDouble::GetProperties(MFCLOCK_PROPERTIES*)
{
    return E_NOTIMPL;
}

// ------------------------------------------------------------- event sink

STDMETHODIMP EventSinkDouble::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IMediaEventSink))
    {
        *ppv = static_cast<IMediaEventSink*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP EventSinkDouble::Notify(LONG code, LONG_PTR param1, LONG_PTR param2)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_recording)
        m_events.push_back({code, param1, param2});
    return S_OK;
}

std::vector<RecordedEvent> EventSinkDouble::Events(long code)
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<RecordedEvent> found;
    for (const RecordedEvent& event : m_events)
        if (event.code == code)
            found.push_back(event);
    return found;
}

bool EventSinkDouble::WaitFor(long code, size_t count, DWORD timeoutMs)
{
    return WaitUntil([&] { return Count(code) >= count; }, timeoutMs);
}

// ------------------------------------------------------------------ mixer

MixerDouble::MixerDouble() : m_deviceId(__uuidof(IDirect3DDevice9))
{
    MFCreateAttributes(&m_attributes, 1);
}

void MixerDouble::OfferTypes(std::vector<ComPtr<IMFMediaType>> types)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_offered = std::move(types);
}

void MixerDouble::AddFrame(const MixerFrame& frame)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_frames.push_back(frame);
}

void MixerDouble::SetEndless(bool endless)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_endless = endless;
}

void MixerDouble::ForceNextResult(HRESULT hr)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_forced = hr;
}

LONG MixerDouble::ProcessOutputCalls()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_calls;
}

std::vector<MixerOutput> MixerDouble::Outputs()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_outputs;
}

ComPtr<IMFMediaType> MixerDouble::OutputType()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_outputType;
}

size_t MixerDouble::FramesLeft()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames.size();
}

bool MixerDouble::WaitForCalls(LONG count, DWORD timeoutMs)
{
    return WaitUntil([&] { return ProcessOutputCalls() >= count; }, timeoutMs);
}

bool MixerDouble::WaitForOutputs(size_t count, DWORD timeoutMs)
{
    return WaitUntil([&] { return Outputs().size() >= count; }, timeoutMs);
}

STDMETHODIMP MixerDouble::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFTransform))
        *ppv = static_cast<IMFTransform*>(this);
    else if (riid == __uuidof(IMFVideoDeviceID))
        *ppv = static_cast<IMFVideoDeviceID*>(this);
    else
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP MixerDouble::GetDeviceID(IID* pDeviceID)
{
    *pDeviceID = m_deviceId;
    return S_OK;
}

STDMETHODIMP MixerDouble::GetAttributes(IMFAttributes** ppAttributes)
{
    *ppAttributes = m_attributes.Get();
    if (m_attributes)
        m_attributes->AddRef();
    return m_attributes ? S_OK : E_NOTIMPL;
}

STDMETHODIMP MixerDouble::GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** ppType)
{
    std::lock_guard<std::mutex> lock(m_lock);
    *ppType = nullptr;
    if (stream != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (index >= m_offered.size())
        return MF_E_NO_MORE_TYPES;
    *ppType = m_offered[index].Get();
    (*ppType)->AddRef();
    return S_OK;
}

STDMETHODIMP MixerDouble::SetOutputType(DWORD stream, IMFMediaType* pType, DWORD flags)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (stream != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!(flags & MFT_SET_TYPE_TEST_ONLY))
        m_outputType = pType;
    return S_OK;
}

STDMETHODIMP MixerDouble::ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* pBuffers, DWORD* pStatus)
{
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_calls;
    *pStatus = 0;
    if (count != 1 || !pBuffers || !pBuffers[0].pSample)
        return E_INVALIDARG;
    if (m_forced != S_OK)
        return std::exchange(m_forced, S_OK);
    if (!m_outputType)
        return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (m_frames.empty() && !m_endless)
        return MF_E_TRANSFORM_NEED_MORE_INPUT;

    const MixerFrame frame = m_endless ? MixerFrame{static_cast<D3DCOLOR>(m_calls) & 0xFFFFFF, 0, 400000}
                                       : m_frames.front();
    IMFSample* sample = pBuffers[0].pSample;
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFGetService> service;
    ComPtr<IDirect3DSurface9> surface;
    ComPtr<IDirect3DDevice9> device;
    HRESULT hr = sample->GetBufferByIndex(0, &buffer);
    if (SUCCEEDED(hr))
        hr = buffer.As(&service);
    if (SUCCEEDED(hr))
        hr = service->GetService(MR_BUFFER_SERVICE, IID_PPV_ARGS(&surface));
    if (SUCCEEDED(hr))
        hr = surface->GetDevice(&device);
    if (SUCCEEDED(hr))
        hr = device->ColorFill(surface.Get(), nullptr, frame.colour);
    if (SUCCEEDED(hr))
        hr = sample->SetSampleTime(frame.time);
    if (SUCCEEDED(hr))
        hr = sample->SetSampleDuration(frame.duration);
    if (FAILED(hr))
        return hr;

    if (m_endless)
        return S_OK;
    m_frames.pop_front();
    MixerOutput output{sample, -1, -1, nullptr, frame.colour};
    if (ComPtr<SampleData> data = GetSampleData(sample))
    {
        output.token = data->GetToken();
        output.sampleNumber = data->GetSampleNumber();
        output.texture = data->GetTextureData().m_pTexture.Get();
    }
    m_outputs.push_back(output);
    return S_OK;
}

// ---------------------------------------------------------- service lookup

ServiceLookupDouble::ServiceLookupDouble(IMFClock* pClock, IMFTransform* pMixer, IMediaEventSink* pSink)
    : m_clock(pClock), m_mixer(pMixer), m_sink(pSink)
{
}

STDMETHODIMP ServiceLookupDouble::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFTopologyServiceLookup))
    {
        *ppv = static_cast<IMFTopologyServiceLookup*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ServiceLookupDouble::LookupService(MF_SERVICE_LOOKUP_TYPE, DWORD, REFGUID service, REFIID riid,
                                                LPVOID* ppvObjects, DWORD* pnObjects)
{
    IUnknown* found = nullptr;
    if (service == MR_VIDEO_RENDER_SERVICE && riid == __uuidof(IMFClock))
        found = m_clock.Get();
    else if (service == MR_VIDEO_RENDER_SERVICE && riid == __uuidof(IMediaEventSink))
        found = m_sink.Get();
    else if (service == MR_VIDEO_MIXER_SERVICE)
        found = m_mixer.Get();
    if (!found)
        return MF_E_NOTACCEPTING;
    if (pnObjects)
        *pnObjects = 1;
    return found->QueryInterface(riid, ppvObjects);
}

// ---------------------------------------------------------------- helpers

ComPtr<IMFMediaType> MakeVideoType(const VideoTypeSpec& spec)
{
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(&type);
    GUID subtype = MFVideoFormat_Base;
    subtype.Data1 = static_cast<DWORD>(spec.format);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, spec.width, spec.height);
    type->SetUINT32(MF_MT_INTERLACE_MODE, spec.interlace);
    MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, spec.parNumerator, spec.parDenominator);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, spec.frameRateNumerator, 1);
    if (!spec.compressed)
        type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
    else
        type->SetUINT32(MF_MT_COMPRESSED, TRUE);
    return type;
}

HRESULT ReadPixel(IDirect3DTexture9* pTexture, D3DCOLOR* pColour)
{
    if (!pTexture)
        return E_POINTER;
    ComPtr<IDirect3DDevice9> device;
    ComPtr<IDirect3DSurface9> surface;
    ComPtr<IDirect3DSurface9> copy;
    D3DSURFACE_DESC desc{};
    HRESULT hr = pTexture->GetDevice(&device);
    if (SUCCEEDED(hr))
        hr = pTexture->GetSurfaceLevel(0, &surface);
    if (SUCCEEDED(hr))
        hr = surface->GetDesc(&desc);
    if (SUCCEEDED(hr))
        hr = device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &copy,
                                                 nullptr);
    if (SUCCEEDED(hr))
        hr = device->GetRenderTargetData(surface.Get(), copy.Get());
    D3DLOCKED_RECT locked{};
    if (SUCCEEDED(hr))
        hr = copy->LockRect(&locked, nullptr, D3DLOCK_READONLY);
    if (SUCCEEDED(hr))
    {
        *pColour = *static_cast<const DWORD*>(locked.pBits) & 0x00FFFFFF;
        copy->UnlockRect();
    }
    return hr;
}
