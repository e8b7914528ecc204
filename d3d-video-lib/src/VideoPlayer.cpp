#include "VideoPlayer.h"

#include "HexText.h"
#include "Log.h"
#include "Utf8.h"
#include "VideoPlayerMsg.h"

#include <sstream>

std::string VideoCodeName(uint32_t code)
{
    switch (code)
    {
    case VE_PLAY_COMPLETE:
        return " VE_PLAY_COMPLETE";
    case VE_PLAY_PAUSED:
        return " VE_PLAY_PAUSED";
    case VE_CLOCK_SET:
        return " VE_CLOCK_SET";
    case VE_PLAY_LOOP_RESTART:
        return " VE_PLAY_LOOP_RESTART";
    case VE_PLAY_ERROR:
        return " VE_PLAY_ERROR";
    case VE_PLAY_ERROR_WRONG_STATE:
        return " VE_PLAY_ERROR_WRONG_STATE";
    case VE_INIT_ERROR:
        return " VE_INIT_ERROR";
    default:
        return " 0x" + Hex(code);
    }
}

void describeLastError(VideoPlayer& player, std::ostream& out)
{
    CScopedLock lock(player.NotifyLock());
    const VideoErrorRecord record = player.GetErrorRecord();
    if (record.code == 0)
        return;
    out << VideoCodeName(record.code);
    if (!record.text.empty())
        out << " '" << ToUtf8OrPlaceholder(record.text) << "'";
    out << " nt 0x" << Hex(record.nativeCode) << " 0x" << Hex(record.param);
}

VideoPlayer::VideoPlayer(const std::wstring& helperClassName) : m_helperWindow(helperClassName, nullptr)
{
}

VideoPlayer::~VideoPlayer()
{
    VideoPlayer::Close(false);
}

void VideoPlayer::ClearErrorRecord()
{
    CScopedLock lock(m_notifyLock);
    m_lastError = VideoErrorRecord();
}

void VideoPlayer::SetErrorRecord(uint32_t code, int32_t nativeCode, int64_t param, const std::wstring& text)
{
    CScopedLock lock(m_notifyLock);
    m_lastError.code = code;
    m_lastError.nativeCode = nativeCode;
    m_lastError.param = param;
    m_lastError.text = text;
}

VideoErrorRecord VideoPlayer::GetErrorRecord()
{
    CScopedLock lock(m_notifyLock);
    return m_lastError;
}

HRESULT VideoPlayer::Initialize(HWND serverWindow, LONG_PTR value)
{
    m_hwndServer = serverWindow;
    m_initValue = value;
    return m_helperWindow.Create(nullptr, true);
}

HRESULT VideoPlayer::Close(bool stop)
{
    if (stop)
        Stop();
    m_helperWindow.PostClose();
    m_hwndServer = nullptr;
    m_initValue = 0;
    return S_OK;
}

void VideoPlayer::NotifyCallback(uint32_t code, int32_t nativeCode, int64_t param, const wchar_t* text)
{
    std::ostringstream message;
    message << "Video notification " << VideoCodeName(code) << " native 0x" << Hex(nativeCode) << " 0x"
            << Hex(param);
    if (text)
        message << " data '" << ToUtf8OrPlaceholder(text) << "'";
    OutputDebugStringA((message.str() + "\n").c_str());
    Log("VideoPlayer::NotifyCallback", message);

    if (code < kVeErrorThreshold)
    {
        if (m_pNotifyHandler)
            m_pNotifyHandler->onEvent(this, code, nativeCode, param, text);
        return;
    }
    SetErrorRecord(code, nativeCode, param, text ? std::wstring(text) : std::wstring());
    if (m_pNotifyHandler)
    {
        std::ostringstream description;
        describeLastError(*this, description);
        m_pNotifyHandler->onError(this, code, description.str());
    }
}
