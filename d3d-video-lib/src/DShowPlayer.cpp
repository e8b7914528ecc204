#include "DShowPlayer.h"

#include "Log.h"
#include "VideoPlayerMsg.h"

namespace
{
const wchar_t kHelperClassName[] = L"QV_DSHOW_PLAYER_MSG_HELPER_WND";
const double kUnitsPerSecond = 10000000.0;
} // namespace

DShowPlayer::DShowPlayer() : VideoPlayer(kHelperClassName)
{
}

DShowPlayer::~DShowPlayer()
{
    TearDown();
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
    // The graph (source filter, the EVR with our presenter, audio renderer) is
    // built by the playback work; until it exists no file can be opened.
    return E_NOTIMPL;
}

HRESULT DShowPlayer::Open(const std::wstring& path, int loop, float startPosition, uint32_t endPositionBits,
                          uint32_t volumeBits)
{
    (void)path;
    if (m_state != PLAYER_STATE_CLOSED)
    {
        Report(VE_PLAY_ERROR, m_state, L"Open: invalid state");
        return kPlayerInvalidState;
    }
    HRESULT hr = InitializeGraph();

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
        Report(VE_PLAY_ERROR, hr, L"initialization failed");
    // Adding the source filter and rendering its streams follow here with the graph.
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
    if (!m_pGraph || !m_pControl)
        return E_UNEXPECTED;
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
    // True only with a video renderer, which arrives with the graph.
    return false;
}

IFrameData* DShowPlayer::GetFrameData()
{
    // No video renderer, so no frame; the renderer's frame query comes with it.
    return nullptr;
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
    // Graph events are read here once a graph exists to announce them.
    *result = 0;
    return TRUE;
}

void DShowPlayer::TearDown()
{
    if (m_pEvents)
        m_pEvents->SetNotifyWindow(0, 0, 0); // the window may already be gone; nothing to undo then
    if (m_pGraph)
        m_pGraph->Abort(); // only cancels a build in progress; its result carries nothing
    m_pControl.Reset();
    m_pEvents.Reset();
    m_pSeeking.Reset();
    m_pAudio.Reset();
    m_pGraph.Reset();
    m_state = PLAYER_STATE_CLOSED;
    m_seekCaps = 0;
    m_audioPresent = false;
}

HRESULT DShowPlayer::Close(bool)
{
    TearDown();
    m_state = PLAYER_STATE_SHUTDOWN;
    return VideoPlayer::Close(true);
}
