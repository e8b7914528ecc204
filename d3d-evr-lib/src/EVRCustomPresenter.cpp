#include "EVRCustomPresenter.h"

#include "ComBarrier.h"
#include "Diagnostics.h"
#include "HexText.h"
#include "Log.h"
#include "Trace.h"
#include "mfcommon/mediatype.h"

#include <evcode.h>
#include <mfapi.h>
#include <mferror.h>

#include <cfloat>
#include <cmath>
#include <new>
#include <sstream>

using Microsoft::WRL::ComPtr;

namespace
{
// Where a proposal's picture lies in its frame, corrected to square pixels.
RECT GetOutputRect(IMFMediaType* pProposal)
{
    VideoType type(pProposal);
    UINT32 srcWidth = 0;
    UINT32 srcHeight = 0;
    type.GetFrameDimensions(&srcWidth, &srcHeight); // a type without size yields an empty rectangle

    MFVideoArea displayArea{};
    HRESULT hr = E_FAIL;
    if (type.IsPanScanEnabled())
        hr = type.GetPanScanAperture(&displayArea);
    if (FAILED(hr))
        hr = type.GetMinDisplayAperture(&displayArea);
    if (FAILED(hr))
        hr = type.GetGeometricAperture(&displayArea);
    if (FAILED(hr))
        displayArea = MakeArea(0, 0, srcWidth, srcHeight);

    const LONG offsetX = static_cast<LONG>(MFOffsetToFloat(displayArea.OffsetX));
    const LONG offsetY = static_cast<LONG>(MFOffsetToFloat(displayArea.OffsetY));
    LONG width = displayArea.Area.cx;
    LONG height = displayArea.Area.cy;
    if (width == 0 || height == 0 || offsetX + width > static_cast<LONG>(srcWidth) ||
        offsetY + height > static_cast<LONG>(srcHeight))
    {
        width = static_cast<LONG>(srcWidth);
        height = static_cast<LONG>(srcHeight);
    }

    const MFRatio inputPAR = type.GetPixelAspectRatio();
    const MFRatio outputPAR{1, 1};
    if (inputPAR.Numerator != outputPAR.Numerator || inputPAR.Denominator != outputPAR.Denominator)
    {
        if (inputPAR.Numerator > inputPAR.Denominator)
            width = MulDiv(width, inputPAR.Numerator, inputPAR.Denominator);
        else if (inputPAR.Numerator < inputPAR.Denominator)
            height = MulDiv(height, inputPAR.Denominator, inputPAR.Numerator);
        if (outputPAR.Numerator > outputPAR.Denominator)
            height = MulDiv(height, outputPAR.Numerator, outputPAR.Denominator);
        else if (outputPAR.Numerator < outputPAR.Denominator)
            width = MulDiv(width, outputPAR.Denominator, outputPAR.Numerator);
    }
    return RECT{0, 0, width, height};
}

// The start offset that means "from where the clock stands", not a seek.
constexpr LONGLONG kPresentationCurrentPosition = 0x7FFFFFFFFFFFFFFF;

char Printable(UINT32 byte)
{
    return (byte >= 0x20 && byte < 0x7f) ? static_cast<char>(byte) : '.';
}
} // namespace

HRESULT IEvrD3DPresenter::Create(HWND videoWindow, IEvrD3DPresenter** ppPresenter, HWND adapterWindow)
{
    if (!ppPresenter)
        return E_POINTER;
    *ppPresenter = nullptr;
    return ComBarrier([&]() -> HRESULT {
        HRESULT hr = S_OK;
        EVRCustomPresenter* presenter = new (std::nothrow) EVRCustomPresenter(hr, videoWindow, adapterWindow);
        if (!presenter)
            return E_OUTOFMEMORY;
        if (hr != S_OK)
        {
            presenter->Release();
            return hr;
        }
        *ppPresenter = presenter;
        return S_OK;
    });
}

EVRCustomPresenter::EVRCustomPresenter(HRESULT& hr, HWND videoWindow, HWND adapterWindow)
    : m_SampleReleaseCallback(this, &EVRCustomPresenter::OnSampleReleased)
{
    hr = S_OK;
    m_pD3DPresentEngine.reset(new (std::nothrow) D3DPresentEngine(hr, videoWindow, adapterWindow));
    if (!m_pD3DPresentEngine)
        hr = E_OUTOFMEMORY;
    else if (FAILED(hr))
        m_pD3DPresentEngine.reset();
}

EVRCustomPresenter::~EVRCustomPresenter()
{
    m_Scheduler.SetClock(nullptr); // the queue borrows the clock
    m_pClock.Reset();
    m_pMixer.Reset();
    m_pMediaEventSink.Reset();
    m_pMediaType.Reset();
    m_pD3DPresentEngine.reset();
    m_SamplePool.Clear();
    m_Scheduler.Flush();
    m_FrameStep.samples.Clear();
}

// ---------------------------------------------------------------- IUnknown

STDMETHODIMP EVRCustomPresenter::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == __uuidof(IUnknown))
        *ppv = static_cast<IMFVideoPresenter*>(this);
    else if (riid == __uuidof(IMFVideoDeviceID))
        *ppv = static_cast<IEvrD3DPresenter*>(this);
    else if (riid == __uuidof(IMFVideoPresenter))
        *ppv = static_cast<IMFVideoPresenter*>(this);
    else if (riid == __uuidof(IMFClockStateSink))
        *ppv = static_cast<IMFVideoPresenter*>(this);
    else if (riid == __uuidof(IMFRateSupport))
        *ppv = static_cast<IMFRateSupport*>(this);
    else if (riid == __uuidof(IMFGetService))
        *ppv = static_cast<IMFGetService*>(this);
    else if (riid == __uuidof(IMFTopologyServiceLookupClient))
        *ppv = static_cast<IMFTopologyServiceLookupClient*>(this);
    else if (riid == __uuidof(IMFVideoDisplayControl))
        *ppv = static_cast<IMFVideoDisplayControl*>(this);
    else
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ------------------------------------------------------- IEvrD3DPresenter

STDMETHODIMP EVRCustomPresenter::GetDeviceID(IID* pDeviceID)
{
    if (!pDeviceID)
        return E_POINTER;
    *pDeviceID = __uuidof(IDirect3DDevice9);
    return S_OK;
}

void STDMETHODCALLTYPE EVRCustomPresenter::SetPresenterMode(int mode)
{
    m_PresenterMode.store(mode);
}

IFrameData* STDMETHODCALLTYPE EVRCustomPresenter::GetFrameData()
{
    if (!m_pD3DPresentEngine)
        return nullptr;
    try
    {
        IFrameData* frame = m_pD3DPresentEngine->GetFrameData(m_Scheduler);
        // The poll that takes the last frame of the stream completes it.
        if (m_bEndStreaming.load())
        {
            CScopedLock lock(m_ObjectLock);
            CheckComplete();
        }
        return frame;
    }
    catch (...)
    {
        return nullptr; // no frame this time; the client asks again
    }
}

// --------------------------------------------------------------- helpers

HRESULT EVRCustomPresenter::CheckShutdown() const
{
    return m_RenderState == RENDER_STATE_SHUTDOWN ? MF_E_SHUTDOWN : S_OK;
}

void EVRCustomPresenter::Notify(long eventCode, LONG_PTR param1, LONG_PTR param2)
{
    // The renderer decides what an event means; its answer changes nothing here.
    if (m_pMediaEventSink)
        m_pMediaEventSink->Notify(eventCode, param1, param2);
}

// ------------------------------------------------------- IMFGetService

STDMETHODIMP EVRCustomPresenter::GetService(REFGUID guidService, REFIID riid, LPVOID* ppvObject)
{
    if (!ppvObject)
        return E_POINTER;
    *ppvObject = nullptr;
    HRESULT hr = MF_E_UNSUPPORTED_SERVICE;
    if (guidService == MR_VIDEO_RENDER_SERVICE || guidService == MR_VIDEO_ACCELERATION_SERVICE)
    {
        if (m_pD3DPresentEngine)
            hr = m_pD3DPresentEngine->GetService(guidService, riid, ppvObject);
        if (FAILED(hr))
            hr = QueryInterface(riid, ppvObject);
    }
    if (FAILED(hr))
        DebugTraceGuid(L"unsupported GUID: ", guidService);
    return hr;
}

// ----------------------------------------- IMFTopologyServiceLookupClient

STDMETHODIMP EVRCustomPresenter::InitServicePointers(IMFTopologyServiceLookup* pLookup)
{
    DebugTrace(L"InitServicePointers\n");
    if (!pLookup)
        return E_POINTER;
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        if (IsActive())
            return MF_E_INVALIDREQUEST;

        m_Scheduler.SetClock(nullptr);
        m_pClock.Reset();
        m_pMixer.Reset();
        m_pMediaEventSink.Reset();

        // The presenter runs without a clock, so a failed lookup is no error.
        DWORD count = 1;
        pLookup->LookupService(MF_SERVICE_LOOKUP_GLOBAL, 0, MR_VIDEO_RENDER_SERVICE, __uuidof(IMFClock),
                               reinterpret_cast<void**>(m_pClock.ReleaseAndGetAddressOf()), &count);
        m_Scheduler.SetClock(m_pClock.Get());

        count = 1;
        HRESULT hr = pLookup->LookupService(MF_SERVICE_LOOKUP_GLOBAL, 0, MR_VIDEO_MIXER_SERVICE,
                                            __uuidof(IMFTransform),
                                            reinterpret_cast<void**>(m_pMixer.ReleaseAndGetAddressOf()), &count);
        if (SUCCEEDED(hr) && !m_pMixer)
            hr = E_NOINTERFACE;
        if (SUCCEEDED(hr))
        {
            ComPtr<IMFVideoDeviceID> deviceId;
            hr = m_pMixer.As(&deviceId);
            IID id{};
            if (SUCCEEDED(hr))
                hr = deviceId->GetDeviceID(&id);
            if (SUCCEEDED(hr) && id != __uuidof(IDirect3DDevice9))
                hr = MF_E_INVALIDREQUEST;
        }
        if (SUCCEEDED(hr))
        {
            // The zoom only crops, and this one is the whole frame: a mixer
            // without attributes, or that refuses it, shows the same.
            ComPtr<IMFAttributes> attributes;
            if (SUCCEEDED(m_pMixer->GetAttributes(&attributes)) && attributes)
                SetBlobAttribute(attributes.Get(), VIDEO_ZOOM_RECT, m_nrcSource);
        }
        if (SUCCEEDED(hr))
        {
            count = 1;
            hr = pLookup->LookupService(MF_SERVICE_LOOKUP_GLOBAL, 0, MR_VIDEO_RENDER_SERVICE,
                                        __uuidof(IMediaEventSink),
                                        reinterpret_cast<void**>(m_pMediaEventSink.ReleaseAndGetAddressOf()),
                                        &count);
            if (SUCCEEDED(hr) && !m_pMediaEventSink)
                hr = E_NOINTERFACE;
        }
        if (SUCCEEDED(hr))
            m_RenderState = RENDER_STATE_STOPPED;
        return hr;
    });
}

STDMETHODIMP EVRCustomPresenter::ReleaseServicePointers()
{
    DebugTrace(L"ReleaseServicePointers\n");
    return ComBarrier([&]() -> HRESULT {
        // Everything below runs under the lock: the streaming thread may still
        // be pulling, and the flush touches the same flags and lists.
        CScopedLock lock(m_ObjectLock);
        m_RenderState = RENDER_STATE_SHUTDOWN;
        FlushPending();
        ClearMediaType();
        m_Scheduler.SetClock(nullptr);
        m_pClock.Reset();
        m_pMixer.Reset();
        m_pMediaEventSink.Reset();
        return S_OK;
    });
}

// ------------------------------------------------------ IMFVideoPresenter

STDMETHODIMP EVRCustomPresenter::ProcessMessage(MFVP_MESSAGE_TYPE eMessage, ULONG_PTR ulParam)
{
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        HRESULT hr = CheckShutdown();
        if (FAILED(hr))
            return hr;
        switch (eMessage)
        {
        case MFVP_MESSAGE_FLUSH:
            // A seek after the end of stream: the stream goes on from the new position.
            m_bEndStreaming = false;
            FlushPending();
            return S_OK;
        case MFVP_MESSAGE_INVALIDATEMEDIATYPE:
            return RenegotiateMediaType();
        case MFVP_MESSAGE_PROCESSINPUTNOTIFY:
            m_bSampleNotify = true;
            if (!m_pMediaType)
                return MF_E_TRANSFORM_TYPE_NOT_SET;
            PumpOutput(); // failures leave the sample in the pool; the next trigger retries
            return S_OK;
        case MFVP_MESSAGE_BEGINSTREAMING:
        case MFVP_MESSAGE_ENDSTREAMING:
            return S_OK;
        case MFVP_MESSAGE_ENDOFSTREAM:
            m_bEndStreaming = true;
            // The mixer has all its input: a pull tells whether output is left.
            if (m_pMediaType)
                PumpOutput(); // failures leave the sample in the pool; the next trigger retries
            CheckComplete();
            return S_OK;
        case MFVP_MESSAGE_STEP:
            return PrepareStep(static_cast<DWORD>(ulParam & 0xFFFFFFFF));
        case MFVP_MESSAGE_CANCELSTEP:
            CancelStep();
            return S_OK;
        default:
            return E_INVALIDARG;
        }
    });
}

STDMETHODIMP EVRCustomPresenter::GetCurrentMediaType(IMFVideoMediaType** ppMediaType)
{
    if (!ppMediaType)
        return E_POINTER;
    *ppMediaType = nullptr;
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        HRESULT hr = CheckShutdown();
        if (FAILED(hr))
            return hr;
        if (!m_pMediaType)
            return MF_E_NOT_INITIALIZED;
        return m_pMediaType->QueryInterface(__uuidof(IMFVideoMediaType), reinterpret_cast<void**>(ppMediaType));
    });
}

// ------------------------------------------------------ IMFClockStateSink

STDMETHODIMP EVRCustomPresenter::OnClockStart(MFTIME /*hnsSystemTime*/, LONGLONG llClockStartOffset)
{
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        HRESULT hr = CheckShutdown();
        if (FAILED(hr))
            return hr;
        if (IsActive())
        {
            m_RenderState = RENDER_STATE_STARTED;
            if (llClockStartOffset != kPresentationCurrentPosition)
                FlushPending(); // a seek
        }
        else
        {
            m_RenderState = RENDER_STATE_STARTED;
            hr = StartStep();
            if (FAILED(hr))
                return hr;
        }
        PumpOutput(); // failures leave the sample in the pool; the next trigger retries
        CheckComplete();
        return S_OK;
    });
}

STDMETHODIMP EVRCustomPresenter::OnClockStop(MFTIME /*hnsSystemTime*/)
{
    DebugTrace(L"OnClockStop\n");
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        HRESULT hr = CheckShutdown();
        if (FAILED(hr))
            return hr;
        if (m_RenderState != RENDER_STATE_STOPPED)
        {
            m_RenderState = RENDER_STATE_STOPPED;
            FlushPending();
            if (m_FrameStep.state != STEP_NONE)
                CancelStep();
        }
        return S_OK;
    });
}

STDMETHODIMP EVRCustomPresenter::OnClockPause(MFTIME /*hnsSystemTime*/)
{
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        HRESULT hr = CheckShutdown();
        if (FAILED(hr))
            return hr;
        m_RenderState = RENDER_STATE_PAUSED;
        return S_OK;
    });
}

STDMETHODIMP EVRCustomPresenter::OnClockRestart(MFTIME /*hnsSystemTime*/)
{
    DebugTrace(L"OnClockRestart\n");
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        HRESULT hr = CheckShutdown();
        if (FAILED(hr))
            return hr;
        QV_ASSERT(m_RenderState == RENDER_STATE_PAUSED, "m_RenderState == RENDER_STATE_PAUSED");
        m_RenderState = RENDER_STATE_STARTED;
        hr = StartStep();
        if (SUCCEEDED(hr))
        {
            PumpOutput(); // failures leave the sample in the pool; the next trigger retries
            CheckComplete();
        }
        return hr;
    });
}

STDMETHODIMP EVRCustomPresenter::OnClockSetRate(MFTIME /*hnsSystemTime*/, float flRate)
{
    DebugTrace(L"OnClockSetRate (rate=%f\n)", static_cast<double>(flRate));
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        HRESULT hr = CheckShutdown();
        if (FAILED(hr))
            return hr;
        if (m_fRate == 0.0f && flRate != 0.0f)
        {
            CancelStep();
            m_FrameStep.samples.Clear();
        }
        m_fRate = flRate;
        m_Scheduler.SetPlaybackRate(flRate);
        return S_OK;
    });
}

// -------------------------------------------------------- IMFRateSupport

float EVRCustomPresenter::GetMaxRate(BOOL thin)
{
    if (thin || !m_pMediaType)
        return FLT_MAX;
    UINT32 numerator = 0;
    UINT32 denominator = 0;
    VideoType(m_pMediaType.Get()).GetFrameRate(&numerator, &denominator); // unread stays 0: no limit
    const UINT refreshRate = m_pD3DPresentEngine ? m_pD3DPresentEngine->GetRefreshRate() : 0;
    if (numerator == 0 || denominator == 0 || refreshRate == 0)
        return FLT_MAX;
    return static_cast<float>(MulDiv(static_cast<int>(refreshRate), static_cast<int>(denominator),
                                     static_cast<int>(numerator)));
}

STDMETHODIMP EVRCustomPresenter::GetSlowestRate(MFRATE_DIRECTION /*eDirection*/, BOOL /*fThin*/, float* pflRate)
{
    if (!pflRate)
        return E_POINTER;
    *pflRate = 0.0f;
    return S_OK;
}

STDMETHODIMP EVRCustomPresenter::GetFastestRate(MFRATE_DIRECTION eDirection, BOOL fThin, float* pflRate)
{
    if (!pflRate)
        return E_POINTER;
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        HRESULT hr = CheckShutdown();
        if (FAILED(hr))
            return hr;
        const float maxRate = GetMaxRate(fThin);
        *pflRate = eDirection == MFRATE_REVERSE ? -maxRate : maxRate;
        return S_OK;
    });
}

STDMETHODIMP EVRCustomPresenter::IsRateSupported(BOOL fThin, float flRate, float* pflNearestSupportedRate)
{
    return ComBarrier([&]() -> HRESULT {
        CScopedLock lock(m_ObjectLock);
        HRESULT hr = CheckShutdown();
        if (FAILED(hr))
            return hr;
        const float maxRate = GetMaxRate(fThin);
        float nearest = flRate;
        if (std::fabs(flRate) > maxRate)
        {
            hr = MF_E_UNSUPPORTED_RATE;
            nearest = flRate < 0 ? -maxRate : maxRate;
        }
        if (pflNearestSupportedRate)
            *pflNearestSupportedRate = nearest;
        return hr;
    });
}

// ------------------------------------------------- media type negotiation

HRESULT EVRCustomPresenter::RenegotiateMediaType()
{
    if (m_PresenterMode.load() == PRESENTER_MODE_KEEP_TYPE)
        return S_OK;
    DebugTrace(L"RenegotiateMediaType %d\n", static_cast<int>(m_RenderState));
    if (!m_pMixer)
        return MF_E_INVALIDREQUEST;

    for (DWORD i = 0;; ++i)
    {
        ComPtr<IMFMediaType> type;
        if (FAILED(m_pMixer->GetOutputAvailableType(0, i, &type)))
            break;
        UINT32 width = 0;
        UINT32 height = 0;
        MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height); // unread shows as 0x0
        std::ostringstream text;
        text << "mixer format " << (i + 1) << " " << width << "x" << height;
        D3DFORMAT format = D3DFMT_UNKNOWN;
        if (FAILED(VideoType(type.Get()).GetFormat(&format)))
            text << " not d3d ";
        else
        {
            const UINT32 f = static_cast<UINT32>(format);
            text << " f=" << f << " " << Printable(f & 0xFF) << Printable((f >> 8) & 0xFF)
                 << Printable((f >> 16) & 0xFF) << Printable((f >> 24) & 0xFF);
        }
        Log("EVRCustomPresenter::RenegotiateMediaType", text);
    }

    HRESULT hr = S_OK;
    bool found = false;
    for (DWORD i = 0; !found && hr != MF_E_NO_MORE_TYPES; ++i)
    {
        ComPtr<IMFMediaType> pMixerType;
        ComPtr<IMFMediaType> pOptimalType;
        hr = m_pMixer->GetOutputAvailableType(0, i, &pMixerType);
        if (FAILED(hr))
            break;
        hr = IsMediaTypeSupported(pMixerType.Get());
        if (SUCCEEDED(hr))
            hr = CreateOptimalVideoType(pMixerType.Get(), &pOptimalType);
        if (SUCCEEDED(hr))
            hr = m_pMixer->SetOutputType(0, pOptimalType.Get(), MFT_SET_TYPE_TEST_ONLY);
        if (SUCCEEDED(hr))
            hr = SetMediaType(pOptimalType.Get());
        if (SUCCEEDED(hr))
        {
            hr = m_pMixer->SetOutputType(0, pOptimalType.Get(), 0);
            QV_ASSERT(SUCCEEDED(hr), "SUCCEEDED(hr)");
            if (FAILED(hr))
                ClearMediaType();
        }
        found = SUCCEEDED(hr);
        std::ostringstream text;
        text << "format " << (i + 1) << (found ? " accepted" : " rejected") << " render state " << m_RenderState;
        Log("EVRCustomPresenter::RenegotiateMediaType", text);
    }

    if (!found && m_PresenterMode.load() == PRESENTER_MODE_PLAYBACK)
    {
        // The mixer keeps its first type and the graph learns why nothing plays.
        ComPtr<IMFMediaType> first;
        if (SUCCEEDED(m_pMixer->GetOutputAvailableType(0, 0, &first)))
            m_pMixer->SetOutputType(0, first.Get(), 0); // deliberately untested: the abort below ends playback
        Notify(EC_ERRORABORT, MF_E_INVALIDMEDIATYPE, 0);
        return S_OK;
    }
    return found ? S_OK : hr;
}

HRESULT EVRCustomPresenter::IsMediaTypeSupported(IMFMediaType* pProposal)
{
    VideoType type(pProposal);
    if (type.IsCompressed())
        return MF_E_INVALIDMEDIATYPE;

    D3DFORMAT format = D3DFMT_UNKNOWN;
    HRESULT hr = type.GetFormat(&format);
    if (FAILED(hr))
        return hr;
    if (format == D3DFMT_A8R8G8B8)
    {
        std::ostringstream text;
        text << "format " << static_cast<UINT32>(format) << " - rejected";
        Log("EVRCustomPresenter::IsMediaTypeSupported", text);
        return MF_E_INVALIDMEDIATYPE;
    }
    hr = m_pD3DPresentEngine ? m_pD3DPresentEngine->CheckTextureFormat(format) : MF_E_NOT_INITIALIZED;
    if (FAILED(hr))
        return hr;

    MFVideoInterlaceMode interlace = MFVideoInterlace_Unknown;
    hr = type.GetInterlaceMode(&interlace);
    if (FAILED(hr))
        return hr;
    if (interlace != MFVideoInterlace_Progressive)
        return MF_E_INVALIDMEDIATYPE;

    // A type without a frame size is refused. Its apertures are not checked:
    // for one outside the frame the output rectangle falls back to the whole frame.
    UINT32 width = 0;
    UINT32 height = 0;
    hr = type.GetFrameDimensions(&width, &height);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT EVRCustomPresenter::CreateOptimalVideoType(IMFMediaType* pProposal, IMFMediaType** ppOptimal)
{
    ComPtr<IMFMediaType> mtOptimal;
    HRESULT hr = MFCreateMediaType(&mtOptimal);
    if (SUCCEEDED(hr))
        hr = pProposal->CopyAllItems(mtOptimal.Get());
    VideoType optimal(mtOptimal.Get());
    if (SUCCEEDED(hr))
        hr = optimal.SetPixelAspectRatio(1, 1);
    if (SUCCEEDED(hr))
        hr = optimal.SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
    if (SUCCEEDED(hr))
        hr = optimal.SetUINT32(MF_MT_TRANSFER_FUNCTION, MFVideoTransFunc_709);
    if (SUCCEEDED(hr))
        hr = optimal.SetUINT32(MF_MT_VIDEO_PRIMARIES, MFVideoPrimaries_BT709);
    if (SUCCEEDED(hr))
        hr = optimal.SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_0_255);
    if (SUCCEEDED(hr))
        hr = optimal.SetUINT32(MF_MT_VIDEO_LIGHTING, MFVideoLighting_bright);
    RECT rcOutput{};
    if (SUCCEEDED(hr))
    {
        rcOutput = GetOutputRect(pProposal);
        hr = optimal.SetFrameDimensions(static_cast<UINT32>(rcOutput.right), static_cast<UINT32>(rcOutput.bottom));
    }
    if (SUCCEEDED(hr))
    {
        const MFVideoArea displayArea =
            MakeArea(0, 0, static_cast<DWORD>(rcOutput.right), static_cast<DWORD>(rcOutput.bottom));
        hr = optimal.SetPanScanEnabled(false);
        if (SUCCEEDED(hr))
            hr = optimal.SetGeometricAperture(displayArea);
        if (SUCCEEDED(hr))
            hr = optimal.SetPanScanAperture(displayArea);
        if (SUCCEEDED(hr))
            hr = optimal.SetMinDisplayAperture(displayArea);
    }
    if (hr != S_OK)
        DebugTrace(L"CreateOptimalVideoType failed hr=\n");
    if (SUCCEEDED(hr))
        *ppOptimal = mtOptimal.Detach();
    return hr;
}

void EVRCustomPresenter::ClearMediaType()
{
    m_pMediaType.Reset();
    DiscardSamples();
}

HRESULT EVRCustomPresenter::SetMediaType(IMFMediaType* pMediaType)
{
    HRESULT hr = CheckShutdown();
    if (FAILED(hr))
        return hr;

    if (m_pMediaType)
    {
        DWORD flags = 0;
        if (m_pMediaType->IsEqual(pMediaType, &flags) == S_OK)
            return S_OK;

        VideoType oldVideoType(m_pMediaType.Get());
        VideoType newVideoType(pMediaType);
        D3DFORMAT oldFormat = D3DFMT_UNKNOWN;
        D3DFORMAT newFormat = D3DFMT_UNKNOWN;
        UINT32 oldWidth = 0, oldHeight = 0, newWidth = 0, newHeight = 0;
        if (SUCCEEDED(oldVideoType.GetFormat(&oldFormat)) && SUCCEEDED(newVideoType.GetFormat(&newFormat)) &&
            SUCCEEDED(oldVideoType.GetFrameDimensions(&oldWidth, &oldHeight)) &&
            SUCCEEDED(newVideoType.GetFrameDimensions(&newWidth, &newHeight)) && oldFormat == newFormat &&
            oldWidth == newWidth && oldHeight == newHeight)
        {
            return S_OK; // same textures fit: keep them
        }
    }

    m_pMediaType.Reset();
    DiscardSamples();

    ComPtrList<IMFSample> samples;
    const int sampleCount = m_PresenterMode.load() == PRESENTER_MODE_PLAYBACK ? -1 : 1;
    hr = m_pD3DPresentEngine ? m_pD3DPresentEngine->AllocateSamples(pMediaType, samples, sampleCount)
                             : MF_E_NOT_INITIALIZED;
    if (SUCCEEDED(hr))
    {
        hr = samples.ForEach([this](IMFSample* pSample) -> HRESULT {
            ComPtr<SampleData> pSampleData = GetSampleData(pSample);
            QV_ASSERT(pSampleData != nullptr, "pSampleData!=NULL");
            if (!pSampleData)
                return E_UNEXPECTED;
            pSampleData->SetToken(m_TokenCounter);
            std::ostringstream text;
            text << "new sample  " << pSampleData->GetState() << " " << pSampleData->GetSampleNumber() << " :  "
                 << pSampleData->GetToken();
            Log("EVRCustomPresenter::SetMediaType", text);
            return S_OK;
        });
    }
    if (SUCCEEDED(hr))
        hr = m_SamplePool.Initialize(samples);
    if (SUCCEEDED(hr))
        m_pMediaType = pMediaType;
    else
        DiscardSamples();
    return hr;
}

// ------------------------------------------------------------ sample flow

HRESULT EVRCustomPresenter::PumpOutput()
{
    HRESULT hr = PullOneSample();
    if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT)
        CheckComplete();
    return hr;
}

HRESULT EVRCustomPresenter::PullOneSample()
{
    // While stopped or paused exactly one frame is delivered after each flush.
    if (m_RenderState != RENDER_STATE_STARTED && m_bPrerolled)
        return S_FALSE;
    if (!m_pMixer)
        return MF_E_INVALIDREQUEST;
    // A hung or removed device fails every frame; it was reported, stop asking the mixer.
    if (m_bDeviceFailed)
        return D3DERR_DEVICELOST;

    ComPtr<IMFSample> sample;
    HRESULT hr = m_SamplePool.TakeSample(&sample);
    if (hr == MF_E_SAMPLEALLOCATOR_EMPTY)
        return S_FALSE; // the next returned sample pulls again
    if (FAILED(hr))
        return hr;

    m_pD3DPresentEngine->OnBeforeSampleProcess(sample.Get());

    ComPtr<SampleData> data = GetSampleData(sample.Get());
    const LONG sampleVersion = data ? data->GetToken() : -1;
    QV_ASSERT(sampleVersion == m_TokenCounter, "sampleVersion==m_TokenCounter");

    // Clearing the desired time drops every attribute, ours included.
    ComPtr<IMFDesiredSample> desired;
    if (SUCCEEDED(sample.As(&desired)))
        desired->Clear();
    if (data)
        AttachSampleData(sample.Get(), data.Get()); // fails only out of memory; the sample then returns as foreign

    MFTIME mixerStartTime = 0;
    MFTIME systemTime = 0;
    if (m_pClock)
        m_pClock->GetCorrelatedTime(0, &mixerStartTime, &systemTime); // a latency figure only

    MFT_OUTPUT_DATA_BUFFER buffer{};
    buffer.dwStreamID = 0;
    buffer.pSample = sample.Get();
    DWORD status = 0;
    hr = m_pMixer->ProcessOutput(0, 1, &buffer, &status);
    ComPtr<IMFCollection> events;
    events.Attach(buffer.pEvents);

    if (FAILED(hr))
    {
        HRESULT hrBack = m_SamplePool.GiveBack(sample.Get());
        if (FAILED(hrBack))
            return hrBack;
        if (hr == MF_E_TRANSFORM_TYPE_NOT_SET)
            return RenegotiateMediaType();
        if (hr == MF_E_TRANSFORM_STREAM_CHANGE)
            ClearMediaType();
        else if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT)
            m_bSampleNotify = false;
        else
            ReportDeviceFailure();
        return hr;
    }

    // The texture goes to another device only once the mixer's writes are complete.
    hr = m_pD3DPresentEngine->CompleteSampleWrites();
    if (FAILED(hr))
    {
        m_SamplePool.GiveBack(sample.Get()); // the pool holds this set under the same lock
        ReportDeviceFailure();
        return hr;
    }

    if (m_pClock)
    {
        MFTIME mixerEndTime = 0;
        if (SUCCEEDED(m_pClock->GetCorrelatedTime(0, &mixerEndTime, &systemTime)))
        {
            LONGLONG latencyTime = mixerEndTime - mixerStartTime;
            Notify(EC_PROCESSING_LATENCY, reinterpret_cast<LONG_PTR>(&latencyTime), 0);
        }
    }

    hr = TrackSampleRelease(sample.Get());
    if (FAILED(hr))
    {
        // An untracked sample would never come back: keep it in the ring. The
        // pool holds this set under the same lock, so the give-back cannot fail.
        m_SamplePool.GiveBack(sample.Get());
        return hr;
    }
    if (m_FrameStep.state == STEP_NONE)
        QueueForPresentation(sample.Get());
    else
    {
        hr = DeliverStepSample(sample.Get());
        if (FAILED(hr))
            return hr;
    }
    m_bPrerolled = true;
    return S_OK;
}

void EVRCustomPresenter::ReportDeviceFailure()
{
    // A hung or removed adapter fails every later frame too: the graph hears of it once.
    const HRESULT state = m_pD3DPresentEngine->CheckDeviceState();
    if (m_bDeviceFailed || (state != D3DERR_DEVICELOST && state != D3DERR_DEVICEHUNG && state != D3DERR_DEVICEREMOVED))
        return;
    m_bDeviceFailed = true;
    Log("EVRCustomPresenter::ReportDeviceFailure", "device unusable " + Hex(state));
    Notify(EC_ERRORABORT, state, 0);
}

void EVRCustomPresenter::QueueForPresentation(IMFSample* pSample)
{
    const bool presentNow = m_RenderState != RENDER_STATE_STARTED || m_fRate == 0.0f;
    // The mixer stamps each frame with its presentation time; without one a
    // running stream's frames are shown as polled, not on their time.
    LONGLONG time = 0;
    if (!presentNow && m_pClock && !m_bUntimedReported && FAILED(pSample->GetSampleTime(&time)))
    {
        m_bUntimedReported = true;
        Log("EVRCustomPresenter::QueueForPresentation", "a sample without a time stamp: frames are shown as polled");
    }
    m_Scheduler.Enqueue(pSample, presentNow); // fails only out of memory; the sample then returns to the pool
}

HRESULT EVRCustomPresenter::TrackSampleRelease(IMFSample* pSample)
{
    ComPtr<IMFTrackedSample> tracked;
    HRESULT hr = pSample->QueryInterface(__uuidof(IMFTrackedSample), reinterpret_cast<void**>(tracked.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = tracked->SetAllocator(&m_SampleReleaseCallback, nullptr);
    return hr;
}

HRESULT EVRCustomPresenter::OnSampleReleased(IMFAsyncResult* pResult)
{
    return ComBarrier([&]() -> HRESULT {
        ComPtr<IUnknown> object;
        HRESULT hr = pResult ? pResult->GetObject(&object) : E_POINTER;
        ComPtr<IMFSample> sample;
        if (SUCCEEDED(hr))
            hr = object.As(&sample);

        // The step record is shared with the streaming thread, so the whole
        // return path runs under the object lock.
        CScopedLock lock(m_ObjectLock);
        if (SUCCEEDED(hr) && m_FrameStep.state == STEP_SCHEDULED)
        {
            ComPtr<IUnknown> identity;
            if (SUCCEEDED(sample.As(&identity)) && reinterpret_cast<UINT_PTR>(identity.Get()) == m_FrameStep.pSampleNoRef)
                CompleteStep(sample.Get());
        }
        if (SUCCEEDED(hr))
        {
            ComPtr<SampleData> data = GetSampleData(sample.Get());
            if (data && data->GetToken() == m_TokenCounter)
            {
                data->SetState(SAMPLE_STATE_POOLED);
                hr = m_SamplePool.GiveBack(sample.Get());
                if (SUCCEEDED(hr))
                    PumpOutput(); // failures leave the sample in the pool; the next trigger retries
            }
        }
        if (FAILED(hr))
            Notify(EC_ERRORABORT, hr, 0);
        return hr;
    });
}

void EVRCustomPresenter::FlushPending()
{
    m_bPrerolled = false;
    m_Scheduler.Flush();
    m_FrameStep.samples.Clear();
}

void EVRCustomPresenter::DiscardSamples()
{
    ++m_TokenCounter;
    FlushPending();
    m_SamplePool.Clear();
    if (m_pD3DPresentEngine)
        m_pD3DPresentEngine->ReleaseSamples();
}

// The samples the engine keeps for the client to draw have been shown: the
// stream is complete once the client has taken the last frame, not only when
// it lets go of it.
void EVRCustomPresenter::CheckComplete()
{
    // A stream that ends while the clock is stopped or paused (a seek near
    // the end, delivered at once) completes when the clock starts: the graph
    // would otherwise hear of its end while paused and loop or finish then.
    if (m_RenderState != RENDER_STATE_STARTED)
        return;
    if (!m_bEndStreaming.load() || m_bSampleNotify || m_Scheduler.GetCount() != 0)
        return;
    const LONG shown = m_pD3DPresentEngine ? m_pD3DPresentEngine->GetShownSampleCount() : 0;
    if (m_SamplePool.GetPendingCount() <= shown)
    {
        Notify(EC_COMPLETE, S_OK, 0);
        m_bEndStreaming = false;
    }
}

// ---------------------------------------------------------- frame stepping

HRESULT EVRCustomPresenter::PrepareStep(DWORD steps)
{
    m_FrameStep.steps += steps;
    m_FrameStep.state = STEP_WAIT_START;
    if (m_RenderState == RENDER_STATE_STARTED)
        return StartStep();
    return S_OK;
}

HRESULT EVRCustomPresenter::StartStep()
{
    QV_ASSERT(m_RenderState == RENDER_STATE_STARTED, "m_RenderState == RENDER_STATE_STARTED");
    HRESULT hr = S_OK;
    if (m_FrameStep.state == STEP_WAIT_START)
    {
        m_FrameStep.state = STEP_PENDING;
        while (SUCCEEDED(hr) && !m_FrameStep.samples.IsEmpty() && m_FrameStep.state == STEP_PENDING)
        {
            ComPtr<IMFSample> sample;
            hr = m_FrameStep.samples.RemoveFront(sample.GetAddressOf());
            if (SUCCEEDED(hr))
                hr = DeliverStepSample(sample.Get());
        }
    }
    else if (m_FrameStep.state == STEP_NONE)
    {
        while (SUCCEEDED(hr) && !m_FrameStep.samples.IsEmpty())
        {
            ComPtr<IMFSample> sample;
            hr = m_FrameStep.samples.RemoveFront(sample.GetAddressOf());
            if (SUCCEEDED(hr))
                QueueForPresentation(sample.Get());
        }
    }
    return hr;
}

HRESULT EVRCustomPresenter::DeliverStepSample(IMFSample* pSample)
{
    if (m_fRate == 0.0f && m_pClock)
    {
        LONGLONG sampleTime = 0;
        LONGLONG duration = 0;
        MFTIME clockTime = 0;
        MFTIME systemTime = 0;
        if (SUCCEEDED(pSample->GetSampleTime(&sampleTime)) &&
            SUCCEEDED(m_pClock->GetCorrelatedTime(0, &clockTime, &systemTime)))
        {
            if (FAILED(pSample->GetSampleDuration(&duration)))
                duration = 0;
            if (sampleTime + duration < clockTime)
                return S_OK; // scrubbing past it: skipped
        }
    }

    if (m_FrameStep.state >= STEP_SCHEDULED)
        return m_FrameStep.samples.InsertBack(pSample);

    if (m_FrameStep.steps > 0 && --m_FrameStep.steps == 0)
    {
        if (m_FrameStep.state == STEP_WAIT_START)
            return m_FrameStep.samples.InsertBack(pSample);
        QueueForPresentation(pSample);
        ComPtr<IUnknown> identity;
        const HRESULT hr =
            pSample->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(identity.GetAddressOf()));
        if (SUCCEEDED(hr))
        {
            m_FrameStep.pSampleNoRef = reinterpret_cast<UINT_PTR>(identity.Get());
            m_FrameStep.state = STEP_SCHEDULED;
        }
        return hr;
    }
    return S_OK; // a frame to step over: it returns to the pool when released
}

void EVRCustomPresenter::CompleteStep(IMFSample* pSample)
{
    m_FrameStep.state = STEP_COMPLETE;
    m_FrameStep.pSampleNoRef = 0;
    Notify(EC_STEP_COMPLETE, FALSE, 0);
    if (m_fRate == 0.0f)
    {
        LONGLONG time = 0;
        if (!pSample || FAILED(pSample->GetSampleTime(&time)))
        {
            MFTIME systemTime = 0;
            if (m_pClock)
                m_pClock->GetCorrelatedTime(0, &time, &systemTime); // unread stays 0
        }
        Notify(EC_SCRUB_TIME, static_cast<LONG_PTR>(static_cast<DWORD>(time & 0xFFFFFFFF)),
               static_cast<LONG_PTR>(static_cast<DWORD>((time >> 32) & 0xFFFFFFFF)));
    }
}

void EVRCustomPresenter::CancelStep()
{
    const LONG oldState = m_FrameStep.state;
    m_FrameStep.state = STEP_NONE;
    m_FrameStep.steps = 0;
    m_FrameStep.pSampleNoRef = 0;
    if (oldState == STEP_WAIT_START || oldState == STEP_PENDING || oldState == STEP_SCHEDULED)
        Notify(EC_STEP_COMPLETE, TRUE, 0);
}
