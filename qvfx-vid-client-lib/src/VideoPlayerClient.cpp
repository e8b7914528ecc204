#include "VideoPlayerClient.h"

#include "EnvPath.h"
#include "HexText.h"
#include "Log.h"
#include "Utf8.h"

#include <cstring>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace
{
const char kMessageTag[] = "VideoPlayerClient::OnWindowMessage";
const DWORD kIdleWaitMs = 3000;
// Client windows tried for a frame block name that no other player uses.
const int kWindowAttempts = 16;
const size_t kCommandLineBuffer = kMaxServerCommandLine + 1;
} // namespace

VideoPlayerClient::VideoPlayerClient(IVideoCallback* callback)
    : m_window(L"clzVideoPlayerClient", nullptr), m_callback(callback)
{
}

VideoPlayerClient::~VideoPlayerClient()
{
    try
    {
        CScopedLock lock(m_lock);
        m_callback.reset();
        if (!m_closed)
            Close();
    }
    catch (...)
    {
        // A destructor must not throw; the window and handles are released below anyway.
    }
    // The watch must end before the process handle it waits on.
    m_serverWatch.Reset();
}

void VideoPlayerClient::SetStubMode(HANDLE stubTextureHandle, bool stubMode)
{
    CScopedLock lock(m_lock);
    m_stubTextureHandle = stubTextureHandle;
    m_stubMode = stubMode;
}

bool VideoPlayerClient::Init(int64_t parentHwnd, const OpenParameters& parameters)
{
    Log("VideoPlayerClient::Init", "enter");
    CScopedLock lock(m_lock);
    m_parentHwnd = parentHwnd;
    m_openParameters = parameters;
    if (m_window.GetHwnd())
        return false;
    m_window.SetHandler(this);
    const HRESULT hr = m_window.Create(nullptr, true);
    if (FAILED(hr))
    {
        Log("VideoPlayerClient::Init [ERROR]", "can't create window " + Hex(static_cast<uint32_t>(hr)));
        return false;
    }
    m_clientHwnd = m_window.GetHwnd();
    return true;
}

bool VideoPlayerClient::Open()
{
    const char tag[] = "VideoPlayerClient::Open";
    std::wstring line;
    bool stubMode = false;
    {
        CScopedLock lock(m_lock);
        if (!m_stubMode && !FreeFrameBlockName())
            return false;
        ServerCommandLine args;
        args.parentHwnd = m_parentHwnd;
        args.clientHwnd = static_cast<int64_t>(reinterpret_cast<intptr_t>(m_window.GetHwnd()));
        args.parentProcessId = GetCurrentProcessId();
        args.mediaFile = m_openParameters.mediaFile;
        args.startPosition = m_openParameters.startPosition;
        args.endPosition = m_openParameters.endPosition;
        args.soundVolume = m_openParameters.soundVolume;
        args.isLoopEnabled = m_openParameters.isLoopEnabled;
        args.hStubTexture = static_cast<int64_t>(reinterpret_cast<intptr_t>(m_stubTextureHandle));
        line = BuildServerCommandLine(args);
        stubMode = m_stubMode;
    }
    Log(tag, "opening process: \n  " + ToUtf8OrPlaceholder(line) + "\n   envpath:" + ToUtf8OrPlaceholder(GetEnvPath()));
    if (line.size() > kMaxServerCommandLine)
        return false;
    // A player closed before its loop starts must not start a server nobody will close.
    if (m_closed)
    {
        Log(tag, "closed before start");
        return false;
    }
    std::vector<wchar_t> cmdLine(kCommandLineBuffer, L'\0');
    std::memcpy(cmdLine.data(), line.c_str(), (line.size() + 1) * sizeof(wchar_t));

    if (stubMode)
    {
        HWND self = m_window.GetHwnd();
        PostMessageW(self, WM_VP_ON_CREATED, 0, 0);
        PostMessageW(self, WM_VP_ON_READY, 0, 0);
        return true;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, cmdLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, nullptr,
                        nullptr, &startup, &info))
    {
        const DWORD error = GetLastError();
        OnError(VE_INIT_ERROR, 0, 0, "can't create process, " + Hex(error), true);
        return false;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread); // never used; closed on return

    const bool closed = m_closed;
    DWORD exitCode = STILL_ACTIVE;
    if (!closed)
    {
        // The server's created message and start-up errors are sent to this
        // thread during the wait and must be answered as they come.
        WaitForServerStart(process.Get(), kIdleWaitMs);
        if (!GetExitCodeProcess(process.Get(), &exitCode))
            Log(tag, "failed to read the exit code");
    }
    if (closed)
        return false;
    if (exitCode == STILL_ACTIVE)
    {
        WatchServer(std::move(process));
        Log(tag, "returning ok");
        return true;
    }

    ReportServerEnd(exitCode);
    m_window.PostClose();
    return false;
}

bool VideoPlayerClient::FreeFrameBlockName()
{
    // Names OR the process id with the window handle, so two players of one
    // process can meet on one; a server would then write into another's block.
    for (int attempt = 0; attempt < kWindowAttempts; ++attempt)
    {
        const std::string name = frameBlockName(GetCurrentProcessId(), m_window.GetHwnd());
        if (!BlockNameInUse(name) && m_frameBlockName.Claim(name))
            return true;
        Log("VideoPlayerClient::Open", "frame block name in use, making another client window");
        if (FAILED(m_window.Recreate()))
            return false;
        m_clientHwnd = m_window.GetHwnd();
    }
    return false;
}

void VideoPlayerClient::ReportServerEnd(DWORD exitCode)
{
    CScopedLock lock(m_lock);
    // A server that said why it fails has been heard; its end adds no second report.
    if (m_errorReported)
        return;
    std::string text;
    GetExitCodeMessage(exitCode, text);
    OnError(VE_PLAY_ERROR, 0, 0, text, false);
}

void VideoPlayerClient::WaitForServerStart(HANDLE process, DWORD timeoutMs)
{
    // WaitForInputIdle need not dispatch the messages the server sends this
    // thread meanwhile, so it waits on a thread of its own while this one
    // answers them. It is called once per start: under Wine every call keeps
    // an event handle, so polling it would leak one per round.
    UniqueHandle idle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread idleWait;
    if (idle)
    {
        try
        {
            idleWait = std::thread([process, timeoutMs, event = idle.Get()] {
                WaitForInputIdle(process, timeoutMs);
                SetEvent(event);
            });
        }
        catch (const std::system_error&)
        {
        }
    }
    if (!idleWait.joinable())
    {
        Log("VideoPlayerClient::Open", "can't wait for the server on a thread of its own");
        WaitForInputIdle(process, timeoutMs);
        return;
    }

    // Asking for sent messages before the first wait keeps this thread from
    // counting as hung: the server sends with SMTO_ABORTIFHUNG.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    const HANDLE ends[] = {idle.Get(), process};
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        const DWORD woken = MsgWaitForMultipleObjects(2, ends, FALSE, static_cast<DWORD>(deadline - now), QS_SENDMESSAGE);
        if (woken != WAIT_OBJECT_0 + 2)
            break;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE); // dispatches sent messages only
    }
    // Bounded by the same timeout, and by the server's end.
    idleWait.join();
}

void VideoPlayerClient::WatchServer(UniqueHandle process)
{
    CScopedLock lock(m_lock);
    m_serverProcess = std::move(process);
    if (!RegisterWaitForSingleObject(m_serverWatch.Receive(), m_serverProcess.Get(), &VideoPlayerClient::OnServerEnded,
                                     this, INFINITE, WT_EXECUTEONLYONCE))
        Log("VideoPlayerClient::Open", "can't watch the server process");
}

void CALLBACK VideoPlayerClient::OnServerEnded(void* context, BOOLEAN)
{
    auto self = static_cast<VideoPlayerClient*>(context);
    // A server that ends after a close was asked for ends as planned.
    if (!self->m_closed)
        PostMessageW(self->m_clientHwnd, WM_VPC_SERVER_ENDED, 0, 0);
}

void VideoPlayerClient::GetExitCodeMessage(DWORD exitCode, std::string& text)
{
    text = "process unexpectedly finished with code ";
    if (exitCode == kStatusDllNotFound)
        text += "STATUS_DLL_NOT_FOUND";
    else
        text += std::to_string(exitCode) + " " + Hex(exitCode) + " " + Hex(exitCode);
    Log("VideoPlayerClient::GetExitCodeMessage", text);
}

BOOL VideoPlayerClient::OnWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    switch (message)
    {
    case WM_VP_ON_CREATED:
        *result = OnServerCreated(reinterpret_cast<HWND>(wParam));
        return TRUE;
    case WM_VP_ON_READY:
        *result = OnServerReady();
        return TRUE;
    case WM_VP_ON_CLOSED:
        *result = OnServerClosed();
        return TRUE;
    case WM_VPC_SERVER_ENDED:
        *result = OnServerProcessEnded();
        return TRUE;
    case WM_VP_ON_ERROR:
        *result = OnServerError(static_cast<int32_t>(wParam), lParam);
        return TRUE;
    case WM_VP_ON_EVENT:
        *result = OnServerEvent(static_cast<int32_t>(wParam), static_cast<int64_t>(lParam));
        return TRUE;
    default:
        *result = 0;
        return FALSE;
    }
}

LRESULT VideoPlayerClient::OnServerCreated(HWND server)
{
    CScopedLock lock(m_lock);
    // Once closed, a late server is refused: it ends at once instead of
    // waiting for a close that nobody will send.
    if (m_serverHwnd || m_closed)
        return 0;
    Log(kMessageTag, "WM_VP_ON_CREATED");
    m_serverHwnd = server;
    return 1;
}

LRESULT VideoPlayerClient::OnServerReady()
{
    CScopedLock lock(m_lock);
    if (m_serverHwnd)
    {
        if (!m_frameMemory.open(frameBlockName(GetCurrentProcessId(), m_window.GetHwnd()), sizeof(FrameParams)))
        {
            OnError(VE_INIT_ERROR, 0, 0, "failed to open frame memory", false);
            return 0;
        }
        Log(kMessageTag, "WM_VP_ON_READY");
        m_ready = true;
        if (m_callback)
            m_callback->onReady(this, m_serverHwnd);
        return 1;
    }
    if (m_stubMode)
    {
        m_ready = true;
        if (m_callback)
            m_callback->onReady(this, nullptr);
        return 1;
    }
    return 0;
}

LRESULT VideoPlayerClient::OnServerClosed()
{
    CScopedLock lock(m_lock);
    if (!m_serverHwnd)
        return 0;
    Log(kMessageTag, "WM_VP_ON_CLOSED");
    m_serverHwnd = nullptr;
    m_frameMemory.close();
    OnError(VE_PLAY_ERROR, 0, 0, "video process unexpectedly closed", false);
    m_window.PostClose();
    return 1;
}

LRESULT VideoPlayerClient::OnServerProcessEnded()
{
    CScopedLock lock(m_lock);
    // Also a server that died before it announced its window: the loop
    // would otherwise wait for ever.
    if (m_closed || !m_serverProcess || WaitForSingleObject(m_serverProcess.Get(), 0) != WAIT_OBJECT_0)
        return 0;
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(m_serverProcess.Get(), &exitCode))
        exitCode = 0;
    Log(kMessageTag, "server process ended");
    m_serverHwnd = nullptr;
    m_ready = false;
    m_frameMemory.close();
    ReportServerEnd(exitCode);
    m_window.PostClose();
    return 1;
}

LRESULT VideoPlayerClient::OnServerError(int32_t code, LPARAM recordSize)
{
    if (!m_serverHwnd)
        return 0;
    CScopedLock lock(m_lock);
    VideoErrorMsg record;
    bool recordRead = false;
    const size_t size = recordSize > 0 ? static_cast<size_t>(recordSize) : 0;
    SharedMemory block;
    if (size > 0 && block.open(errorBlockName(GetCurrentProcessId(), m_window.GetHwnd()), size))
    {
        record = ReadVideoErrorMsg(block.data(), static_cast<int>(size));
        recordRead = true;
    }
    // Held views keep the block alive; the server's next report needs the name free.
    block.close();
    // A later report may already have replaced the block of a posted one.
    if (recordRead && (record.code != code || kVideoErrorHeaderSize + record.text.size() + 1 != size))
        recordRead = false;
    if (!recordRead)
    {
        // Without the record the message's own code is the best there is.
        record = VideoErrorMsg();
        record.code = code;
        record.text = "video error (no details available)";
    }
    OnError(static_cast<uint32_t>(record.code), static_cast<int32_t>(record.param1),
            static_cast<int32_t>(record.param2), record.text, false);
    return recordRead ? 1 : 0;
}

LRESULT VideoPlayerClient::OnServerEvent(int32_t code, int64_t value)
{
    Log(kMessageTag, "WM_VP_ON_EVENT");
    CScopedLock lock(m_lock);
    if (m_callback)
        m_callback->onEvent(this, code, value);
    return 1;
}

void VideoPlayerClient::OnError(uint32_t code, int32_t param1, int32_t param2, const std::string& text, bool takeLock)
{
    OutputDebugStringA(("VideoPlayerClient::OnError " + text + "\n").c_str());
    Log("VideoPlayerClient::OnError", text);
    {
        std::optional<CScopedLock> lock; // the caller may already hold it
        if (takeLock)
            lock.emplace(m_lock);
        m_lastError = text;
        m_errorReported = true;
        if (m_callback)
            m_callback->onError(this, code, param1, param2, text);
    }
    if (m_closeOnError)
        Close();
}

bool VideoPlayerClient::Close()
{
    HWND server = nullptr;
    {
        CScopedLock lock(m_lock);
        server = m_serverHwnd.exchange(nullptr);
        m_ready = false;
        m_closed = true;
        // Under the lock, as on the server-death path: one view, one unmap.
        m_frameMemory.close();
    }
    if (server)
        PostMessageW(server, WM_VP_CLOSE, 0, 0);
    m_window.PostClose();
    return server != nullptr;
}

bool VideoPlayerClient::PostCommand(UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND server = m_serverHwnd;
    return server && PostMessageW(server, message, wParam, lParam);
}

bool VideoPlayerClient::SendRequest(UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result)
{
    HWND server = m_serverHwnd;
    return server && SendMessageTimeoutW(server, message, wParam, lParam, kVpSendFlags, kVpSendTimeoutMs, result);
}

bool VideoPlayerClient::Play()
{
    return m_stubMode || PostCommand(WM_VP_RESUME, 0, 0);
}

bool VideoPlayerClient::Pause()
{
    return m_stubMode || PostCommand(WM_VP_PAUSE, 0, 0);
}

bool VideoPlayerClient::SetPosition(float seconds)
{
    return m_stubMode || PostCommand(WM_VP_SET_POSITION, FloatToBits(seconds), 0);
}

bool VideoPlayerClient::SetLoopEnabled(bool enabled)
{
    return m_stubMode || PostCommand(WM_VP_SET_LOOP, enabled ? 1 : 0, 0);
}

float VideoPlayerClient::GetDuration()
{
    if (m_stubMode)
        return 10000.0f;
    DWORD_PTR result = 0;
    return SendRequest(WM_VP_GET_DURATION, 0, 0, &result) ? BitsToFloat(static_cast<uint32_t>(result)) : 0.0f;
}

float VideoPlayerClient::GetPosition()
{
    if (m_stubMode)
        return 2000.0f;
    DWORD_PTR result = 0;
    return SendRequest(WM_VP_GET_POSITION, 0, 0, &result) ? BitsToFloat(static_cast<uint32_t>(result)) : 0.0f;
}

int VideoPlayerClient::GetLoopEnabled()
{
    if (m_stubMode)
        return 1;
    DWORD_PTR result = 0;
    return SendRequest(WM_VP_GET_LOOP, 0, 0, &result) ? static_cast<int>(static_cast<uint32_t>(result)) : 0;
}

bool VideoPlayerClient::IsReady()
{
    CScopedLock lock(m_lock);
    return m_ready && (m_stubMode || IsWindow(m_serverHwnd));
}

int VideoPlayerClient::GetFrameData(FrameParams* out)
{
    CScopedLock lock(m_lock);
    if (m_stubMode)
    {
        if (!m_stubTextureHandle)
            return VPC_FRAME_NO_STUB_TEXTURE;
        if (out)
        {
            out->textureHandle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(m_stubTextureHandle));
            out->width = 1280;
            out->height = 720;
            out->format = 22; // D3DFMT_X8R8G8B8
        }
        return VPC_FRAME_OK;
    }
    if (!IsReady() || m_closed || !m_frameMemory.data())
        return VPC_FRAME_NOT_READY;
    DWORD_PTR result = 0;
    if (!SendRequest(WM_VP_GET_FRAME, 0, 0, &result))
        return VPC_FRAME_NO_ANSWER;
    if (result == 0)
        return VPC_FRAME_NONE_YET;
    if (out)
        std::memcpy(out, m_frameMemory.data(), sizeof(FrameParams));
    return VPC_FRAME_OK;
}
