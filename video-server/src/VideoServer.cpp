#include "VideoServer.h"

#include "EnvPath.h"
#include "HexText.h"
#include "Log.h"
#include "Utf8.h"

#include <shlwapi.h>

#include <cstring>
#include <sstream>

namespace
{
const DWORD kQueryLimited = PROCESS_QUERY_LIMITED_INFORMATION;


// The failure texts of an error report never leave it; they end the server.
bool ReportError(bool post, uint32_t code, const std::string& text, int64_t param1)
{
    VideoServerState& server = Server();
    CScopedLock lock(server.errorLock);
    // Every report uses the same block name, so the previous one goes first.
    server.postedError.close();
    SharedMemory sentError;
    SharedMemory& block = post ? server.postedError : sentError;
    const char* failure = nullptr;
    try
    {
        if (!IsParentAlive())
            failure = "client is not alive";
        else
        {
            Log("SendClientError", text);
            VideoErrorMsg record;
            record.code = static_cast<int32_t>(code);
            record.param1 = param1;
            record.param2 = 0;
            record.text = text;
            const std::vector<uint8_t> bytes = record.Serialize();
            if (!block.create(errorBlockName(server.parentProcessId, server.clientHwnd), bytes.size()))
            {
                if (post)
                    PostMessageW(server.clientHwnd, WM_VP_ON_ERROR, kVeNoErrorBlock, 0);
                failure = "SharedMemory error";
            }
            else
            {
                std::memcpy(block.data(), bytes.data(), bytes.size());
                bool delivered = false;
                if (post)
                    delivered = PostMessageW(server.clientHwnd, WM_VP_ON_ERROR, code, bytes.size()) != FALSE;
                else
                {
                    // Bounded like the created message: a client that hangs must not hold the server.
                    DWORD_PTR answer = 0;
                    delivered = SendMessageTimeoutW(server.clientHwnd, WM_VP_ON_ERROR, code, bytes.size(),
                                                    kVpSendFlags, kVpSendTimeoutMs, &answer) &&
                                answer == 1;
                }
                if (!delivered)
                    failure = "PostMessage error";
            }
        }
    }
    catch (const std::exception&)
    {
        failure = "out of memory";
    }
    if (failure)
    {
        block.close();
        Log("SendClientError", std::string("failed, ") + failure);
        PostQuitMessage(VSRV_EXIT_FAILURE);
        return false;
    }
    return true;
}

} // namespace

VideoServerState& Server()
{
    static VideoServerState state;
    return state;
}

void ParseArgs(const wchar_t* tail)
{
    const ServerCommandLine args = ParseServerCommandLine(tail);
    VideoServerState& server = Server();
    server.clientHwnd = reinterpret_cast<HWND>(static_cast<intptr_t>(args.clientHwnd));
    server.parentHwnd = reinterpret_cast<HWND>(static_cast<intptr_t>(args.parentHwnd));
    server.parentProcessId = static_cast<DWORD>(args.parentProcessId);
    server.mediaFile = args.mediaFile;
    server.startPosition = args.startPosition;
    server.endPosition = args.endPosition;
    server.soundVolume = args.soundVolume;
    server.isLoopEnabled = args.isLoopEnabled;
    server.stubTexture = args.hStubTexture;
}

bool IsParentAlive()
{
    VideoServerState& server = Server();
    if (!IsWindow(server.clientHwnd))
    {
        std::ostringstream text;
        text << "not a window " << server.clientHwnd;
        Log("IsParentAlive", text);
        return false;
    }
    DWORD owner = 0;
    GetWindowThreadProcessId(server.clientHwnd, &owner);
    if (owner != server.parentProcessId)
        return false;
    if (!server.parentProcess)
    {
        server.parentProcess.Reset(OpenProcess(kQueryLimited, FALSE, server.parentProcessId));
        if (!server.parentProcess)
            return false;
    }
    if (GetProcessId(server.parentProcess.Get()) != server.parentProcessId)
        return false;
    DWORD code = 0;
    if (!GetExitCodeProcess(server.parentProcess.Get(), &code))
        return false;
    return code == STILL_ACTIVE;
}

bool SendClientMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    const char tag[] = "SendClientMessage";
    HWND client = Server().clientHwnd;
    if (!client)
        Log(tag, "no client window");
    else
    {
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutW(client, message, wParam, lParam, kVpSendFlags, kVpSendTimeoutMs, &answer))
            Log(tag, "SendMessageTimeout has failed");
        else if (answer == 1)
            return true;
        else
            Log(tag, "result is not 1");
    }
    Log(tag, "failed, exiting");
    PostQuitMessage(VSRV_EXIT_FAILURE);
    return false;
}

bool PostClientMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND client = Server().clientHwnd;
    if (client && PostMessageW(client, message, wParam, lParam))
        return true;
    Log("PostClientMessage", "failed, exiting");
    PostQuitMessage(VSRV_EXIT_FAILURE);
    return false;
}

bool SendClientError(uint32_t code, const std::string& text, int64_t param1)
{
    return ReportError(false, code, text, param1);
}

bool SendClientError(uint32_t code, const std::wstring& text, int64_t param1)
{
    return ReportError(false, code, ToUtf8OrPlaceholder(text), param1);
}

bool PostClientError(uint32_t code, const std::string& text, int64_t param1)
{
    return ReportError(true, code, text, param1);
}

bool PostClientError(uint32_t code, const std::wstring& text, int64_t param1)
{
    return ReportError(true, code, ToUtf8OrPlaceholder(text), param1);
}

namespace
{
// Closes the player on every return of RunServer, before its window goes, so
// that the graph, the renderer and the device are released while COM is up.
struct PlayerCloser
{
    ~PlayerCloser() { Server().player.Close(true); }
};
} // namespace

int RunServer()
{
    VideoServerState& server = Server();
    const char errorTag[] = "wWinMain [ERROR]";
    if (!IsParentAlive())
    {
        Log(errorTag, "parent is not alive");
        return VSRV_EXIT_FAILURE;
    }

    // Declared before the window: its destruction still reaches the handler.
    PlayerMessageHandler handler;
    // Hidden pop-up, never shown; destroyed on every return below.
    HelperWindow window(L"velmorin", nullptr);
    HRESULT hr = window.Create(nullptr, false);
    if (FAILED(hr))
    {
        Log(errorTag, "can't create window");
        SendClientError(VE_INIT_ERROR, std::string("window error"), hr);
        return VSRV_EXIT_FAILURE;
    }
    server.serverHwnd = window.GetHwnd();
    window.SetHandler(&handler);
    PlayerCloser closer;
    const WPARAM serverWindow = reinterpret_cast<WPARAM>(server.serverHwnd);
    if (!SendClientMessage(WM_VP_ON_CREATED, serverWindow, 0))
        return VSRV_EXIT_NOT_CREATED;

    // A block of that name belongs to another player: never write into it.
    if (!server.frameMemory.createNew(frameBlockName(server.parentProcessId, server.clientHwnd), sizeof(FrameParams)))
    {
        SendClientError(VE_INIT_ERROR, std::string("memory init error"), 0);
        return VSRV_EXIT_NO_FRAME_BLOCK;
    }

    if (server.mediaFile.empty() || !PathFileExistsW(server.mediaFile.c_str()))
    {
        Log(errorTag, "video file does not exists");
        SendClientError(VE_INIT_ERROR, std::string("media file does not exist"), 0);
        return VSRV_EXIT_NO_MEDIA_FILE;
    }

    if (!SetTimer(server.serverHwnd, kParentWatchTimerId, kParentWatchPeriodMs, nullptr))
    {
        SendClientError(VE_INIT_ERROR, std::string("timer init error"), 0);
        return VSRV_EXIT_NO_TIMER;
    }

    Log("wWinMain", "initialized, opening player");
    hr = S_OK;
    if (!server.IsStubMode())
    {
        // Shared textures cannot cross adapters: take the one of the client's parent window.
        server.player.SetAdapterWindow(server.parentHwnd);
        hr = server.player.Initialize(server.serverHwnd, 0);
        if (SUCCEEDED(hr))
        {
            SetPriorityClass(GetCurrentProcess(), ABOVE_NORMAL_PRIORITY_CLASS);
            hr = server.player.Open(server.mediaFile, server.isLoopEnabled, server.startPosition,
                                    FloatToBits(server.endPosition), FloatToBits(server.soundVolume));
        }
        // Attached only now: open's own reports stay local; its failure is sent below.
        server.player.SetNotifyHandler(&server.notifyHandler);
    }
    if (FAILED(hr))
    {
        std::ostringstream description;
        describeLastError(server.player, description);
        SendClientError(VE_INIT_ERROR, description.str(), 0);
        Log("wWinMain", "player open failed " + Hex(static_cast<uint32_t>(hr)));
        return VSRV_EXIT_OPEN_FAILED;
    }

    if (!PostClientMessage(WM_VP_ON_READY, serverWindow, 0))
        return VSRV_EXIT_NOT_READY;
    Log("wWinMain", "player opened");

    MSG msg = {};
    int exitCode = VSRV_EXIT_FAILURE;
    for (;;)
    {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0)
        {
            exitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1)
            break; // cannot happen with these arguments; leave rather than spin
        DispatchMessageW(&msg);
    }
    return exitCode;
}
