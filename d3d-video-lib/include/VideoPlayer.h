// The player base of the video server: helper window, last-error record and
// the one path through which a player reports its events and errors.
#pragma once

#include "CriticalSection.h"
#include "HelperWindow.h"

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>

class IFrameData; // the presenter's frame descriptor; owned by whoever receives it
class VideoPlayer;

// Receives a player's notifications; the player never owns it.
class IVideoNotifyHandler
{
public:
    virtual void onEvent(VideoPlayer* sender, uint32_t code, int32_t nativeCode, int64_t param,
                         const wchar_t* text) = 0;
    // description is UTF-8 text.
    virtual void onError(VideoPlayer* sender, uint32_t code, const std::string& description) = 0;
    virtual ~IVideoNotifyHandler() = default;
};

// A code of 0 means that no error was recorded.
struct VideoErrorRecord
{
    uint32_t code = 0;
    int32_t nativeCode = 0;
    int64_t param = 0;
    std::wstring text;
};

class VideoPlayer
{
public:
    explicit VideoPlayer(const std::wstring& helperClassName);
    virtual ~VideoPlayer();

    VideoPlayer(const VideoPlayer&) = delete;
    VideoPlayer& operator=(const VideoPlayer&) = delete;

    virtual void ClearErrorRecord();
    virtual void SetErrorRecord(uint32_t code, int32_t nativeCode, int64_t param, const std::wstring& text);
    virtual VideoErrorRecord GetErrorRecord();
    virtual HRESULT Initialize(HWND serverWindow, LONG_PTR value);
    virtual HRESULT Close(bool stop);

    virtual HRESULT Open(const std::wstring& path, int loop, float startPosition, uint32_t endPositionBits,
                         uint32_t volumeBits) = 0;
    virtual HRESULT Play() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Resume() = 0;
    virtual bool HasVideo() = 0;
    virtual int GetState() = 0;
    // A new frame object that the caller disposes of, or null.
    virtual IFrameData* GetFrameData() = 0;
    virtual HRESULT SetMute(int mute) = 0;
    virtual int GetMute() = 0;
    virtual HRESULT SetVolume(float volume) = 0;
    virtual float GetVolume() = 0;
    virtual bool CanSeek() = 0;
    virtual HRESULT SetPosition(double seconds) = 0;
    virtual double GetDuration() = 0;
    virtual double GetPosition() = 0;
    virtual void SetLoopEnabled(int enabled) = 0;
    virtual int GetLoopEnabled() = 0;

    virtual void SetUserData(void* data) { m_pUserData = data; }
    virtual void* GetUserData() { return m_pUserData; }

    void SetNotifyHandler(IVideoNotifyHandler* handler) { m_pNotifyHandler = handler; }
    // Logs the notification; records errors before handing them to the handler.
    void NotifyCallback(uint32_t code, int32_t nativeCode, int64_t param, const wchar_t* text);
    CCriticalSection& NotifyLock() { return m_notifyLock; }

    HWND GetHelperWindow() const { return m_helperWindow.GetHwnd(); }
    HWND GetServerWindow() const { return m_hwndServer; }
    // The client's parent window: its monitor selects the adapter of the textures.
    void SetAdapterWindow(HWND window) { m_hwndAdapter = window; }
    HWND GetAdapterWindow() const { return m_hwndAdapter; }
    LONG_PTR GetInitValue() const { return m_initValue; }

protected:
    HelperWindow m_helperWindow;

private:
    VideoErrorRecord m_lastError;
    CCriticalSection m_notifyLock; // guards m_lastError only
    IVideoNotifyHandler* m_pNotifyHandler = nullptr; // borrowed
    HWND m_hwndServer = nullptr;                     // borrowed
    HWND m_hwndAdapter = nullptr;                    // borrowed
    LONG_PTR m_initValue = 0;
    void* m_pUserData = nullptr;
};

// " VE_PLAY_ERROR" and its kin; " 0x" and hexadecimal for codes without a name.
std::string VideoCodeName(uint32_t code);

// Writes the player's last error in the form the client receives it; nothing
// when no error was recorded. Takes the player's notification lock.
void describeLastError(VideoPlayer& player, std::ostream& out);
