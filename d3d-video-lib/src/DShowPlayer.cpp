#include "DShowPlayer.h"

#include "Diagnostics.h"
#include "Handles.h"
#include "Log.h"
#include "Utf8.h"
#include "VideoPlayerMsg.h"

#include <new>
#include <sstream>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{
const wchar_t kHelperClassName[] = L"QV_DSHOW_PLAYER_MSG_HELPER_WND";
const double kUnitsPerSecond = 10000000.0;
const ULONG kMaxLoggedFilters = 100;
const size_t kMaxNameBytes = 128;
// The FOURCC 'H264' subtype; MinGW's headers lack it.
const GUID kMediaSubtypeH264 = {0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// A filter's FILTER_INFO, whose graph reference is released on every way out.
struct ScopedFilterInfo
{
    FILTER_INFO info = {};
    ScopedFilterInfo() = default;
    ~ScopedFilterInfo()
    {
        if (info.pGraph)
            info.pGraph->Release();
    }
    ScopedFilterInfo(const ScopedFilterInfo&) = delete;
    ScopedFilterInfo& operator=(const ScopedFilterInfo&) = delete;
};

// A media type filled in by a pin, whose format block and object are freed on
// every way out.
struct ScopedMediaType
{
    AM_MEDIA_TYPE type = {};
    ScopedMediaType() = default;
    ~ScopedMediaType()
    {
        CoTaskMemFree(type.pbFormat);
        if (type.pUnk)
            type.pUnk->Release();
    }
    ScopedMediaType(const ScopedMediaType&) = delete;
    ScopedMediaType& operator=(const ScopedMediaType&) = delete;
};

// Names come from the platform's filters; a bad one must not cost the log line.
std::string NarrowName(const wchar_t* name)
{
    std::string text;
    try
    {
        text = ToUtf8(name ? std::wstring(name) : std::wstring());
    }
    catch (const std::exception&)
    {
        text = "?";
    }
    if (text.size() > kMaxNameBytes)
        text.resize(kMaxNameBytes);
    return text;
}

std::string PinName(IPin* pin, PIN_DIRECTION* direction, std::string* filterName)
{
    PIN_INFO info = {};
    if (FAILED(pin->QueryPinInfo(&info)))
        return "?";
    ComPtr<IBaseFilter> owner;
    owner.Attach(info.pFilter); // QueryPinInfo added a reference
    if (direction)
        *direction = info.dir;
    if (filterName)
    {
        ScopedFilterInfo filterInfo;
        if (owner && SUCCEEDED(owner->QueryFilterInfo(&filterInfo.info)))
            *filterName = NarrowName(filterInfo.info.achName);
    }
    return NarrowName(info.achName);
}

std::string ConnectionDescription(IPin* pin)
{
    ScopedMediaType connection;
    if (FAILED(pin->ConnectionMediaType(&connection.type)))
        return std::string();
    const AM_MEDIA_TYPE& type = connection.type;
    std::string text;
    if (type.formattype == FORMAT_MPEG2Video)
        text = " MPEG2Video ";
    else if (type.formattype == FORMAT_VideoInfo2)
        text = " VIDEOINFO2 ";
    else if (type.majortype == MEDIATYPE_Audio)
        text = " Audio ";
    else
        text = " other ";
    if (type.subtype == MEDIASUBTYPE_NV12)
        text += " MEDIASUBTYPE_NV12 ";
    else if (type.subtype == MEDIASUBTYPE_MPEG2_VIDEO)
        text += " MEDIASUBTYPE_MPEG2_VIDEO ";
    else if (type.subtype == kMediaSubtypeH264)
        text += " MEDIASUBTYPE_H264 ";
    else
        text += " other ";
    return text;
}

std::string GuidText(const GUID& guid)
{
    wchar_t text[64] = {};
    if (!StringFromGUID2(guid, text, 64))
        return std::string();
    return NarrowName(text);
}
} // namespace

DShowPlayer::DShowPlayer() : VideoPlayer(kHelperClassName)
{
}

DShowPlayer::~DShowPlayer()
{
    TearDown();
    // The base destroys the helper window after this object is gone; its last
    // messages must not reach this handler then.
    m_helperWindow.SetHandler(nullptr);
}

void DShowPlayer::Report(uint32_t code, int64_t param, const wchar_t* text)
{
    NotifyCallback(code, 0, param, text);
}

HRESULT DShowPlayer::Initialize(HWND serverWindow, LONG_PTR value)
{
    if (m_state != PLAYER_STATE_NONE)
        return kPlayerInvalidState;
    HRESULT hr = VideoPlayer::Initialize(serverWindow, value);
    m_helperWindow.SetHandler(this);
    m_state = PLAYER_STATE_CLOSED;
    return hr;
}

HRESULT DShowPlayer::InitializeGraph()
{
    TearDown();
    // MinGW's headers give the DirectShow interfaces no __uuidof, hence the named ids.
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(m_pGraph.ReleaseAndGetAddressOf()));
    if (SUCCEEDED(hr))
        hr = m_pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(m_pControl.ReleaseAndGetAddressOf()));
    if (SUCCEEDED(hr))
        hr = m_pGraph->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(m_pEvents.ReleaseAndGetAddressOf()));
    if (SUCCEEDED(hr))
        hr = m_pGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(m_pSeeking.ReleaseAndGetAddressOf()));
    if (SUCCEEDED(hr))
        hr = m_pGraph->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(m_pAudio.ReleaseAndGetAddressOf()));
    if (SUCCEEDED(hr))
        hr = m_pEvents->SetNotifyWindow(reinterpret_cast<OAHWND>(GetHelperWindow()), kGraphEventMessage, 0);
    return hr;
}

HRESULT DShowPlayer::CreateVideoRenderer()
{
    std::unique_ptr<EVR> renderer(new (std::nothrow) EVR());
    if (!renderer)
        return E_OUTOFMEMORY;
    renderer->SetAdapterWindow(GetAdapterWindow());
    std::ostringstream text;
    text << "adding video to graph on hwnd=" << GetHelperWindow();
    Log("DShowPlayer::CreateVideoRenderer", text);
    HRESULT hr = renderer->AddToGraph(m_pGraph.Get(), GetHelperWindow(), GetInitValue());
    if (FAILED(hr))
    {
        TraceStep("CreateVideoRenderer", hr);
        return hr;
    }
    m_pVideoRenderer = std::move(renderer);
    return hr;
}

HRESULT DShowPlayer::RenderStreams(IBaseFilter* pSource)
{
    ComPtr<IFilterGraph2> graph2;
    HRESULT hr = m_pGraph->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(graph2.GetAddressOf()));
    if (SUCCEEDED(hr))
    {
        hr = CreateVideoRenderer();
        if (m_pVideoRenderer)
            m_pVideoRenderer->SetPresenterMode(PRESENTER_MODE_PLAYBACK);
    }
    ComPtr<IBaseFilter> audioRenderer;
    if (SUCCEEDED(hr) && FAILED(AddFilterByCLSID(m_pGraph.Get(), CLSID_DSoundRender, &audioRenderer, L"Audio Renderer")))
        audioRenderer.Reset(); // no audio device: the video plays without sound

    bool rendered = false;
    ComPtr<IEnumPins> pins;
    if (SUCCEEDED(hr))
        hr = pSource->EnumPins(&pins);
    if (SUCCEEDED(hr))
    {
        ComPtr<IPin> pin;
        while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK)
        {
            PIN_DIRECTION direction = PINDIR_INPUT;
            std::string filterName;
            const std::string pinName = PinName(pin.Get(), &direction, &filterName);
            Log("DShowPlayer PIN", "rendering pin[" + filterName + "]" + (direction == PINDIR_OUTPUT ? "->[" : "<-") +
                                       pinName + "]\n");
            // A stream without a decoder or renderer is not an error of the file.
            if (SUCCEEDED(graph2->RenderEx(pin.Get(), 0, nullptr)))
                rendered = true;
        }
    }

    if (SUCCEEDED(hr) && m_pVideoRenderer)
    {
        bool removed = false;
        hr = m_pVideoRenderer->RemoveIfUnconnected(m_pGraph.Get(), &removed);
        if (removed)
        {
            m_pVideoRenderer.reset();
            hr = VFW_E_CANNOT_RENDER;
        }
    }
    if (SUCCEEDED(hr) && audioRenderer)
    {
        if (!HasConnectedInput(audioRenderer.Get()))
        {
            m_pGraph->RemoveFilter(audioRenderer.Get()); // a failure only leaves an idle filter in the graph
            audioRenderer.Reset();
        }
        m_audioPresent = audioRenderer != nullptr;
    }
    if (SUCCEEDED(hr) && !rendered)
        hr = VFW_E_CANNOT_RENDER;
    if (FAILED(hr))
        Report(VE_PLAY_ERROR, hr, L"failed to render file");
    return hr;
}

HRESULT DShowPlayer::Open(const std::wstring& path, int loop, float startPosition, uint32_t endPositionBits,
                          uint32_t volumeBits)
{
    if (m_state != PLAYER_STATE_CLOSED)
    {
        Report(VE_PLAY_ERROR, m_state, L"Open: invalid state");
        return kPlayerInvalidState;
    }
    HRESULT hr = InitializeGraph();
    TraceStep("InitializeGraph", hr);

    SetLoopEnabled(loop != 0);
    // A NaN compares false and also starts at 0.
    m_startPosition = startPosition >= 0.0f ? startPosition : 0.0f;
    m_endPosition = endPositionBits;
    if (m_startPosition > 0.0f)
        SetPosition(m_startPosition); // a failed seek is reported by SetPosition itself
    const float volume = BitsToFloat(volumeBits);
    if (volume > 0.0f)
        SetVolume(volume);
    else
        SetMute(1);

    if (FAILED(hr))
    {
        Report(VE_PLAY_ERROR, hr, L"initialization failed");
        return hr;
    }

    const wchar_t* failure = nullptr;
    ComPtr<IBaseFilter> source;
    hr = m_pGraph->AddSourceFilter(path.c_str(), nullptr, &source);
    TraceStep("OpenFile/AddSourceFilter", hr);
    if (FAILED(hr))
        failure = L"file open has failed";
    else
    {
        hr = RenderStreams(source.Get());
        if (FAILED(hr))
            failure = L"failed to render, is codec installed?";
    }
    source.Reset();
    m_state = PLAYER_STATE_STOPPED;

    if (SUCCEEDED(hr))
    {
        m_seekCaps = 0;
        hr = m_pSeeking->GetCapabilities(&m_seekCaps);
        if (FAILED(hr))
            failure = L"failed to get seek caps";
    }
    if (SUCCEEDED(hr))
    {
        hr = ApplyVolume();
        if (FAILED(hr))
            failure = L"failed to set sound volume";
    }
    // The seek before the source existed had nothing to move; now the start
    // position can take effect before the first frame is cued.
    if (SUCCEEDED(hr) && m_startPosition > 0.0f)
    {
        // Directly, without SetPosition's cue: the pause below cues the frame.
        LONGLONG position = static_cast<LONGLONG>(static_cast<double>(m_startPosition) * kUnitsPerSecond);
        m_pSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    }
    m_state = SUCCEEDED(hr) ? PLAYER_STATE_STOPPED : PLAYER_STATE_CLOSED;
    if (SUCCEEDED(hr))
    {
        hr = Play();
        if (SUCCEEDED(hr))
            hr = Pause();
    }
    if (FAILED(hr))
    {
        // A failed Play has already torn the graph down.
        if (m_pGraph)
            m_pGraph->Abort(); // stops a build in progress; the graph is dropped with the player anyway
        // Play and Pause reported their own failure; a second report without a
        // text would replace the recorded cause that the client receives.
        if (failure)
            Report(VE_PLAY_ERROR, hr, failure);
    }
    return hr;
}

HRESULT DShowPlayer::Play()
{
    if (m_state != PLAYER_STATE_PAUSED && m_state != PLAYER_STATE_STOPPED)
    {
        Report(VE_PLAY_ERROR_WRONG_STATE, m_state, L"Play: wrong state");
        return VFW_E_WRONG_STATE;
    }
    if (m_state == PLAYER_STATE_PAUSED)
        return Resume();
    QV_ASSERT(m_pGraph, "m_pGraph");
    QV_ASSERT(m_pControl, "m_pControl");
    if (!m_pGraph || !m_pControl)
        return E_UNEXPECTED;
    LogFilters();
    if (m_pVideoRenderer)
        m_pVideoRenderer->SetPresenterMode(PRESENTER_MODE_PLAYBACK);
    HRESULT hr = m_pControl->Run();
    if (FAILED(hr))
    {
        TearDown();
        Report(VE_PLAY_ERROR, hr, L"failed to run playback");
        return hr;
    }
    m_state = PLAYER_STATE_PLAYING;
    return hr;
}

HRESULT DShowPlayer::Pause()
{
    if (m_state == PLAYER_STATE_PAUSED)
        return S_OK;
    if (m_state != PLAYER_STATE_PLAYING)
    {
        Report(VE_PLAY_ERROR_WRONG_STATE, m_state, L"Pause: wrong state");
        return VFW_E_WRONG_STATE;
    }
    HRESULT hr = m_pControl->Pause();
    if (FAILED(hr))
    {
        Report(VE_PLAY_ERROR, hr, L"pause has failed");
        return hr;
    }
    m_state = PLAYER_STATE_PAUSED;
    return hr;
}

HRESULT DShowPlayer::Resume()
{
    if (m_state == PLAYER_STATE_PLAYING)
        return S_OK;
    if (m_state != PLAYER_STATE_PAUSED)
    {
        Report(VE_PLAY_ERROR_WRONG_STATE, m_state, L"Resume: wrong state");
        return VFW_E_WRONG_STATE;
    }
    HRESULT hr = m_pControl->Run();
    if (FAILED(hr))
    {
        Report(VE_PLAY_ERROR, hr, L"resume has failed");
        return hr;
    }
    m_state = PLAYER_STATE_PLAYING;
    return hr;
}

HRESULT DShowPlayer::Stop()
{
    if (m_state == PLAYER_STATE_STOPPED || m_state == PLAYER_STATE_SHUTDOWN)
        return S_OK;
    if (m_state != PLAYER_STATE_PLAYING && m_state != PLAYER_STATE_PAUSED)
        return VFW_E_WRONG_STATE;
    HRESULT hr = m_pControl->Stop();
    if (SUCCEEDED(hr))
        m_state = PLAYER_STATE_STOPPED;
    return hr;
}

bool DShowPlayer::HasVideo()
{
    return m_pVideoRenderer && m_pVideoRenderer->HasVideo();
}

IFrameData* DShowPlayer::GetFrameData()
{
    return m_pVideoRenderer ? m_pVideoRenderer->GetFrameData() : nullptr;
}

HRESULT DShowPlayer::ApplyVolume()
{
    if (!m_audioPresent || !m_pAudio)
        return S_OK;
    const long value = m_mute ? -10000 : static_cast<long>(static_cast<float>(m_volume * 10000.0 - 10000.0));
    return m_pAudio->put_Volume(value);
}

HRESULT DShowPlayer::SetMute(int mute)
{
    m_mute = mute;
    return ApplyVolume();
}

HRESULT DShowPlayer::SetVolume(float volume)
{
    m_volume = volume;
    return ApplyVolume();
}

bool DShowPlayer::CanSeek()
{
    const DWORD needed = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration;
    return (m_seekCaps & needed) == needed;
}

HRESULT DShowPlayer::SetPosition(double seconds)
{
    if (!m_pControl || !m_pSeeking)
    {
        Report(VE_PLAY_ERROR_WRONG_STATE, m_state, L"SetPosition: wrong state");
        return E_UNEXPECTED;
    }
    LONGLONG position = static_cast<LONGLONG>(seconds * kUnitsPerSecond);
    HRESULT hr = m_pSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr,
                                          AM_SEEKING_NoPositioning);
    // A stopped graph shows the new frame only after it cues up again.
    if (SUCCEEDED(hr) && m_state == PLAYER_STATE_STOPPED)
        m_pControl->StopWhenReady();
    return hr;
}

double DShowPlayer::GetDuration()
{
    if (!m_pSeeking)
        return 0.0;
    LONGLONG duration = 0;
    m_pSeeking->GetDuration(&duration); // a failure leaves 0, which is the answer then
    return duration * 1e-7;
}

double DShowPlayer::GetPosition()
{
    if (!m_pSeeking)
        return 0.0;
    LONGLONG position = 0;
    m_pSeeking->GetCurrentPosition(&position); // a failure leaves 0, which is the answer then
    return position * 1e-7;
}

void DShowPlayer::SetLoopEnabled(int enabled)
{
    m_loop = enabled != 0;
    Log("DShowPlayer::SetLoopEnabled", std::string("enabled: ") + (m_loop ? "1" : "0"));
}

BOOL DShowPlayer::OnWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT* result)
{
    if (message != kGraphEventMessage)
        return FALSE;
    *result = 0;
    // Held here: a handler that closes the player must not pull it from under the loop.
    ComPtr<IMediaEventEx> events = m_pEvents;
    if (!events)
        return TRUE;
    for (;;)
    {
        long eventCode = 0;
        LONG_PTR param1 = 0, param2 = 0;
        if (FAILED(events->GetEvent(&eventCode, &param1, &param2, 0)))
            break;
        HandleEvent(eventCode, param1, param2);
        if (FAILED(events->FreeEventParams(eventCode, param1, param2)))
            break;
    }
    return TRUE;
}

void DShowPlayer::HandleEvent(long eventCode, LONG_PTR param1, LONG_PTR)
{
    uint32_t code = VE_UNKNOWN_EVENT;
    switch (eventCode)
    {
    case EC_COMPLETE:
        if (m_loop && m_state == PLAYER_STATE_PLAYING)
        {
            RestartLoop();
            code = VE_PLAY_LOOP_RESTART;
        }
        else
            code = VE_PLAY_COMPLETE;
        break;
    case EC_ERRORABORT:
    case EC_STREAM_ERROR_STOPPED:
    case EC_ERRORABORTEX:
        if (m_pControl)
            m_pControl->Stop(); // the error below is what the client needs to know
        NotifyCallback(VE_PLAY_ERROR, eventCode, static_cast<int64_t>(param1), L"playback has failed");
        return;
    case EC_CLOCK_CHANGED:
        code = VE_CLOCK_SET;
        break;
    case EC_PAUSED:
        code = VE_PLAY_PAUSED;
        break;
    default:
        if (CountPerFrameEvent(eventCode))
            return;
        break;
    }
    NotifyCallback(code, eventCode, static_cast<int64_t>(param1), nullptr);
}

// The renderer's figures of every sample (its processing latency, Wine's
// renderer asking for input) arrive at the frame rate. Reported one by one
// they were four log lines a frame, each opening and closing the log file:
// about a sixth of the server's CPU, and a log that grew without end while a
// video looped. The first of each kind is reported as any other unknown event;
// the rest are counted, and the counts are logged when the graph goes down.
bool DShowPlayer::CountPerFrameEvent(long eventCode)
{
    if (eventCode < EC_SAMPLE_NEEDED || eventCode > EC_SAMPLE_LATENCY)
        return false;
    return m_perFrameEvents[eventCode - EC_SAMPLE_NEEDED]++ > 0;
}

// A seek while running makes the graph pause, seek and run again from a start
// time of its own, with the margin it leaves filters for a first start (200 ms
// under Wine): the first frame of the new round waited that long. The stream
// is already running, so the new round runs from the clock's present.
void DShowPlayer::RestartLoop()
{
    ComPtr<IMediaFilter> graph;
    ComPtr<IReferenceClock> clock;
    if (FAILED(m_pGraph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(graph.GetAddressOf()))) ||
        FAILED(graph->GetSyncSource(&clock)) || !clock || FAILED(graph->Pause()))
    {
        SetPosition(m_startPosition); // a failed seek shows as the next end not arriving
        return;
    }
    SetPosition(m_startPosition); // as above
    REFERENCE_TIME now = 0;
    HRESULT hr = clock->GetTime(&now);
    hr = SUCCEEDED(hr) ? graph->Run(now) : m_pControl->Run();
    if (FAILED(hr))
        Report(VE_PLAY_ERROR, hr, L"loop restart has failed");
}

void DShowPlayer::LogFilters()
{
    std::ostringstream text;
    ComPtr<IEnumFilters> filters;
    std::vector<ComPtr<IBaseFilter>> list;
    if (m_pGraph && SUCCEEDED(m_pGraph->EnumFilters(&filters)))
    {
        ComPtr<IBaseFilter> filter;
        while (list.size() < kMaxLoggedFilters && filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK)
            list.push_back(filter);
    }
    text << list.size() << " filters\n";
    for (size_t index = 0; index < list.size(); ++index)
    {
        IBaseFilter* filter = list[index].Get();
        ScopedFilterInfo info;
        if (FAILED(filter->QueryFilterInfo(&info.info)))
        {
            text << " error  filter[" << index << "]\n";
            continue;
        }
        text << NarrowName(info.info.achName) << " ";
        UniqueCoTaskMem<wchar_t> vendor;
        const HRESULT hrVendor = filter->QueryVendorInfo(vendor.Receive());
        if (SUCCEEDED(hrVendor))
            text << "vendor: " << NarrowName(vendor.Get());
        else if (hrVendor != E_NOTIMPL)
            text << " vendor info call err";
        CLSID clsid = {};
        if (SUCCEEDED(filter->GetClassID(&clsid)))
            text << " CLSID " << GuidText(clsid);
        else
            text << " CLSID err";
        text << "\n";

        ComPtr<IEnumPins> pins;
        if (FAILED(filter->EnumPins(&pins)))
            continue;
        ComPtr<IPin> pin;
        while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK)
        {
            PIN_DIRECTION direction = PINDIR_INPUT;
            text << "    " << PinName(pin.Get(), &direction, nullptr) << (direction == PINDIR_OUTPUT ? "->" : "<-");
            ComPtr<IPin> peer;
            if (SUCCEEDED(pin->ConnectedTo(&peer)) && peer)
            {
                std::string peerFilter;
                text << PinName(peer.Get(), nullptr, &peerFilter) << " " << ConnectionDescription(pin.Get()) << " ["
                     << peerFilter << "]";
            }
            else
                text << "disconnected";
            text << "\n";
        }
    }
    OutputDebugStringA(text.str().c_str());
    Log("DShowPlayer FILTERS", text);
}

void DShowPlayer::TearDown()
{
    if (m_pEvents)
        m_pEvents->SetNotifyWindow(0, 0, 0); // the window may already be gone; nothing to undo then
    if (m_pGraph)
        m_pGraph->Abort(); // only cancels a build in progress; its result carries nothing
    m_pVideoRenderer.reset();
    m_pControl.Reset();
    m_pEvents.Reset();
    m_pSeeking.Reset();
    m_pAudio.Reset();
    m_pGraph.Reset();
    m_state = PLAYER_STATE_CLOSED;
    m_seekCaps = 0;
    m_audioPresent = false;
    std::ostringstream counts;
    for (long code = EC_SAMPLE_NEEDED; code <= EC_SAMPLE_LATENCY; ++code)
    {
        uint64_t& count = m_perFrameEvents[code - EC_SAMPLE_NEEDED];
        if (count > 1)
            counts << " 0x" << std::hex << code << " x" << std::dec << count;
        count = 0;
    }
    if (counts.tellp() > 0)
        Log("DShowPlayer::TearDown", "per-frame events, reported once each:" + counts.str());
}

HRESULT DShowPlayer::Close(bool)
{
    TearDown();
    m_state = PLAYER_STATE_SHUTDOWN;
    return VideoPlayer::Close(true);
}
