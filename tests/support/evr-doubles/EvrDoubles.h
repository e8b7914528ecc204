// Doubles of what the Enhanced Video Renderer hands its presenter: a service
// lookup, a mixer, a clock and an event sink. Test-only.
#pragma once

#include <windows.h>
#include <d3d9.h>
#include <evr.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

// A reference count for the doubles; they live on the heap and die at zero.
template <class Base>
class DoubleObject : public Base
{
public:
    virtual ~DoubleObject() = default;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = InterlockedDecrement(&m_refs);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

private:
    volatile LONG m_refs = 1;
};

// A presentation clock whose time the test sets.
class ClockDouble : public DoubleObject<IMFClock>
{
public:
    void SetTime(LONGLONG hnsTime) { InterlockedExchange64(&m_time, hnsTime); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP GetClockCharacteristics(DWORD* pCharacteristics) override;
    STDMETHODIMP GetCorrelatedTime(DWORD reserved, LONGLONG* pClockTime, MFTIME* pSystemTime) override;
    STDMETHODIMP GetContinuityKey(DWORD* pKey) override;
    STDMETHODIMP GetState(DWORD reserved, MFCLOCK_STATE* pState) override;
    STDMETHODIMP GetProperties(MFCLOCK_PROPERTIES* pProperties) override;

private:
    volatile LONGLONG m_time = 0;
};

struct RecordedEvent
{
    long code;
    LONG_PTR param1;
    LONG_PTR param2;
};

// Records every event the presenter sends to the renderer.
class EventSinkDouble : public DoubleObject<IMediaEventSink>
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override;

    std::vector<RecordedEvent> Events(long code);
    size_t Count(long code) { return Events(code).size(); }
    // Waits until at least count events of that code arrived.
    bool WaitFor(long code, size_t count, DWORD timeoutMs = 5000);
    // Stops recording (for the benchmark, whose events are of no interest).
    void SetRecording(bool recording) { m_recording = recording; }

private:
    std::mutex m_lock;
    std::vector<RecordedEvent> m_events;
    bool m_recording = true;
};

// One frame the mixer will render: a solid colour with its time stamp.
struct MixerFrame
{
    D3DCOLOR colour;
    LONGLONG time;
    LONGLONG duration;
};

// What the mixer saw of a sample it rendered into.
struct MixerOutput
{
    IMFSample* sample; // identity only
    LONG token;
    LONG sampleNumber;
    IDirect3DTexture9* texture; // identity only
    D3DCOLOR colour;
};

// The mixer: offers output types, renders queued frames as solid colours into
// the sample's surface, and answers NEED_MORE_INPUT when it has none; a test
// may force the next answer (TYPE_NOT_SET, STREAM_CHANGE, ...).
class MixerDouble : public DoubleObject<IMFTransform>, public IMFVideoDeviceID
{
public:
    MixerDouble();

    void OfferTypes(std::vector<Microsoft::WRL::ComPtr<IMFMediaType>> types);
    void AddFrame(const MixerFrame& frame);
    void ForceNextResult(HRESULT hr);
    void SetDeviceID(const IID& id) { m_deviceId = id; }
    // Renders a frame at time 0 on every request and records nothing, so the
    // double itself allocates nothing per frame (for the benchmark).
    void SetEndless(bool endless);

    LONG ProcessOutputCalls();
    std::vector<MixerOutput> Outputs();
    Microsoft::WRL::ComPtr<IMFMediaType> OutputType();
    size_t FramesLeft();
    bool WaitForCalls(LONG count, DWORD timeoutMs = 5000);
    bool WaitForOutputs(size_t count, DWORD timeoutMs = 5000);
    IMFAttributes* Attributes() { return m_attributes.Get(); }

    // IUnknown, shared by both interfaces
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return DoubleObject<IMFTransform>::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DoubleObject<IMFTransform>::Release(); }

    // IMFVideoDeviceID
    STDMETHODIMP GetDeviceID(IID* pDeviceID) override;

    // IMFTransform
    STDMETHODIMP GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStreamCount(DWORD*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP GetAttributes(IMFAttributes** ppAttributes) override;
    STDMETHODIMP GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** ppType) override;
    STDMETHODIMP SetInputType(DWORD, IMFMediaType*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP SetOutputType(DWORD stream, IMFMediaType* pType, DWORD flags) override;
    STDMETHODIMP GetInputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE, ULONG_PTR) override { return S_OK; }
    STDMETHODIMP ProcessInput(DWORD, IMFSample*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessOutput(DWORD flags, DWORD count, MFT_OUTPUT_DATA_BUFFER* pBuffers, DWORD* pStatus) override;

private:
    std::mutex m_lock;
    std::vector<Microsoft::WRL::ComPtr<IMFMediaType>> m_offered;
    Microsoft::WRL::ComPtr<IMFMediaType> m_outputType;
    Microsoft::WRL::ComPtr<IMFAttributes> m_attributes;
    std::deque<MixerFrame> m_frames;
    std::vector<MixerOutput> m_outputs;
    HRESULT m_forced = S_OK;
    LONG m_calls = 0;
    bool m_endless = false;
    IID m_deviceId;
};

// The renderer's service lookup: clock (optional), mixer and event sink.
class ServiceLookupDouble : public DoubleObject<IMFTopologyServiceLookup>
{
public:
    ServiceLookupDouble(IMFClock* pClock, IMFTransform* pMixer, IMediaEventSink* pSink);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP LookupService(MF_SERVICE_LOOKUP_TYPE type, DWORD index, REFGUID service, REFIID riid,
                               LPVOID* ppvObjects, DWORD* pnObjects) override;

private:
    Microsoft::WRL::ComPtr<IMFClock> m_clock;
    Microsoft::WRL::ComPtr<IMFTransform> m_mixer;
    Microsoft::WRL::ComPtr<IMediaEventSink> m_sink;
};

// An uncompressed video type as a mixer offers it.
struct VideoTypeSpec
{
    D3DFORMAT format = D3DFMT_X8R8G8B8;
    UINT32 width = 320;
    UINT32 height = 240;
    MFVideoInterlaceMode interlace = MFVideoInterlace_Progressive;
    UINT32 parNumerator = 1;
    UINT32 parDenominator = 1;
    bool compressed = false;
    UINT32 frameRateNumerator = 25;
};
Microsoft::WRL::ComPtr<IMFMediaType> MakeVideoType(const VideoTypeSpec& spec);

// The pixel at (0, 0) of a render-target texture, read back through system memory.
HRESULT ReadPixel(IDirect3DTexture9* pTexture, D3DCOLOR* pColour);

// Pumps nothing; polls the predicate until it holds or the time runs out.
bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs = 5000);
