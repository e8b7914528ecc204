// The library's side of one video: starts one video server, completes the
// handshake, sends commands and frame requests, and reports to a callback.
#pragma once

#include "CriticalSection.h"
#include "FrameBlockNameClaim.h"
#include "Handles.h"
#include "HelperWindow.h"
#include "IVideoCallback.h"
#include "VideoPlayerMsg.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

struct OpenParameters
{
    std::wstring mediaFile;
    float startPosition = 0.0f;
    float endPosition = 0.0f;
    float soundVolume = 1.0f;
    int32_t isLoopEnabled = 0;
};

// The client window's own message, not part of the protocol: the watch of the
// server process posts it when the process has ended.
const UINT WM_VPC_SERVER_ENDED = WM_APP + 240;

// Status values of GetFrameData.
enum : int
{
    VPC_FRAME_OK = 0,
    VPC_FRAME_NO_STUB_TEXTURE = -2,
    VPC_FRAME_NOT_READY = -3,
    VPC_FRAME_NONE_YET = 19,
    VPC_FRAME_NO_ANSWER = -50,
};

class VideoPlayerClient : public WndMessageHandler
{
public:
    // Takes ownership of callback, which may be null.
    explicit VideoPlayerClient(IVideoCallback* callback);
    virtual ~VideoPlayerClient();

    VideoPlayerClient(const VideoPlayerClient&) = delete;
    VideoPlayerClient& operator=(const VideoPlayerClient&) = delete;

    BOOL OnWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

    // Before Init: the stub texture's shared handle (0: none) and client stub mode.
    void SetStubMode(HANDLE stubTextureHandle, bool stubMode);
    bool Init(int64_t parentHwnd, const OpenParameters& parameters);
    bool Open();
    bool Close();

    bool Play();
    bool Pause();
    bool SetPosition(float seconds);
    bool SetLoopEnabled(bool enabled);
    float GetDuration();
    float GetPosition();
    int GetLoopEnabled();
    int GetFrameData(FrameParams* out);
    bool IsReady();

    void OnError(uint32_t code, int32_t param1, int32_t param2, const std::string& text, bool takeLock);
    static void GetExitCodeMessage(DWORD exitCode, std::string& text);
    // Waits until the started server is idle, has ended or timeoutMs passed,
    // answering the messages sent to this thread meanwhile.
    static void WaitForServerStart(HANDLE process, DWORD timeoutMs);

    std::string GetLastErrorText()
    {
        CScopedLock lock(m_lock);
        return m_lastError;
    }
    void SetCloseOnError(bool closeOnError) { m_closeOnError = closeOnError; }
    HWND GetClientWindow() const { return m_window.GetHwnd(); }

private:
    bool PostCommand(UINT message, WPARAM wParam, LPARAM lParam);
    bool SendRequest(UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result);
    void WatchServer(UniqueHandle process);
    static void CALLBACK OnServerEnded(void* context, BOOLEAN timedOut);
    // Replaces the client window while its frame block name is in use or
    // claimed by another player of this process, then claims it; false
    // when no window with a free name could be made.
    bool FreeFrameBlockName();
    // The exit-code message, unless an error was reported for this player already.
    void ReportServerEnd(DWORD exitCode);

    // The client window's messages, one handler each; each takes the lock
    // itself and returns the reply value.
    LRESULT OnServerCreated(HWND server);
    LRESULT OnServerReady();
    LRESULT OnServerClosed();
    LRESULT OnServerProcessEnded();
    // recordSize: the size of the error block the server wrote, as the message carries it.
    LRESULT OnServerError(int32_t code, LPARAM recordSize);
    LRESULT OnServerEvent(int32_t code, int64_t value);

    HelperWindow m_window;
    int64_t m_parentHwnd = 0;
    std::atomic<HWND> m_serverHwnd{nullptr}; // borrowed; read without the lock by the senders
    VideoCallbackPtr m_callback;
    bool m_ready = false;
    std::atomic<bool> m_closed{false};
    bool m_closeOnError = false;
    SharedMemory m_frameMemory;
    FrameBlockNameClaim m_frameBlockName;
    CCriticalSection m_lock; // recursive; guards every member above and below
    std::string m_lastError;
    bool m_errorReported = false; // any error reported for this player; a dead server then adds none
    OpenParameters m_openParameters;
    bool m_stubMode = false;
    HANDLE m_stubTextureHandle = nullptr; // borrowed: the library's stub texture
    std::atomic<HWND> m_clientHwnd{nullptr}; // for the server watch, which runs on a pool thread
    UniqueHandle m_serverProcess;             // kept to read the exit code of a server that died
    UniqueWait m_serverWatch;                 // declared last: unregistered first
};
