#include "PlayerMessageHandler.h"

#include "FrameData.h"
#include "HexText.h"
#include "Log.h"
#include "VideoServer.h"

#include <cstring>

namespace
{
const char kTag[] = "PlayerMessageHandler::OnWindowMessage";
const uint16_t kStubWidth = 1280;
const uint16_t kStubHeight = 720;
const uint32_t kStubFormat = 22; // D3DFMT_X8R8G8B8

std::string MessageName(UINT message)
{
    switch (message)
    {
    case WM_DESTROY:
        return "WM_DESTROY";
    case WM_CLOSE:
        return "WM_CLOSE";
    case WM_NCDESTROY:
        return "WM_NCDESTROY";
    case 0x0090:
        return "WM_UAHDESTROYWINDOW";
    default:
        return "0x" + Hex(message);
    }
}

// Owns a frame object from the player until it is disposed of.
struct FrameDataOwner
{
    IFrameData* frame;
    ~FrameDataOwner()
    {
        if (frame)
            frame->Dispose();
    }
};
} // namespace

LRESULT PlayerMessageHandler::FillFrame()
{
    VideoServerState& server = Server();
    void* block = server.frameMemory.data();
    FrameParams params = {};
    if (server.IsStubMode())
    {
        params.textureHandle = static_cast<uint64_t>(server.stubTexture);
        params.width = kStubWidth;
        params.height = kStubHeight;
        params.format = kStubFormat;
        if (block)
            std::memcpy(block, &params, sizeof(params));
        return block ? sizeof(params) : 0;
    }

    FrameDataOwner owner{server.player.GetFrameData()};
    if (owner.frame && owner.frame->HasFrame() && block)
    {
        params.textureHandle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(owner.frame->GetSharedHandle()));
        params.width = static_cast<uint16_t>(owner.frame->GetWidth());
        params.height = static_cast<uint16_t>(owner.frame->GetHeight());
        params.format = static_cast<uint32_t>(owner.frame->GetFormat());
        std::memcpy(block, &params, sizeof(params));
        return sizeof(params);
    }
    if (block)
        std::memset(block, 0, sizeof(params));
    return 0;
}

BOOL PlayerMessageHandler::OnWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM, LRESULT* result)
{
    VideoServerState& server = Server();
    DShowPlayer& player = server.player;
    *result = 0;
    switch (message)
    {
    case WM_VP_PAUSE:
        if (!server.IsStubMode())
        {
            HRESULT hr = player.Pause();
            if (FAILED(hr))
                PostClientError(VE_COMMAND_FAILED, std::string("pause has failed"), hr);
        }
        *result = 1;
        return TRUE;
    case WM_VP_RESUME:
        if (!server.IsStubMode())
        {
            HRESULT hr = player.Resume();
            if (FAILED(hr))
                PostClientError(VE_COMMAND_FAILED, std::string("resume has failed"), hr);
        }
        *result = 1;
        return TRUE;
    case WM_VP_CLOSE:
        Log(kTag, "WM_VP_CLOSE");
        PostQuitMessage(VSRV_EXIT_OK);
        *result = 1;
        return TRUE;
    case WM_VP_GET_FRAME:
        *result = FillFrame();
        return TRUE;
    case WM_VP_GET_DURATION:
        *result = static_cast<LRESULT>(FloatToBits(static_cast<float>(player.GetDuration())));
        return TRUE;
    case WM_VP_GET_POSITION:
        *result = static_cast<LRESULT>(FloatToBits(static_cast<float>(player.GetPosition())));
        return TRUE;
    case WM_VP_SET_POSITION:
    {
        const double seconds = BitsToFloat(static_cast<uint32_t>(wParam));
        *result = SUCCEEDED(player.SetPosition(seconds)) ? 1 : 0;
        return TRUE;
    }
    case WM_VP_GET_LOOP:
        *result = player.GetLoopEnabled() ? 1 : 0;
        return TRUE;
    case WM_VP_SET_LOOP:
        player.SetLoopEnabled(wParam != 0);
        *result = 1;
        return TRUE;
    case WM_VP_NOOP:
        *result = 1;
        return TRUE;
    case WM_VP_GET_STATE:
        *result = static_cast<LRESULT>(player.GetState());
        return TRUE;
    case WM_TIMER:
        if (wParam == kParentWatchTimerId)
        {
            if (!IsParentAlive())
            {
                Log(kTag, "WM_TIMER, parent is not alive, quiting");
                PostQuitMessage(VSRV_EXIT_FAILURE);
            }
            return TRUE;
        }
        break;
    default:
        break;
    }
    Log(kTag, "message " + MessageName(message) + " (not a player command, pass through)");
    return FALSE;
}

void VideoProcessNotifyHandler::onEvent(VideoPlayer*, uint32_t code, int32_t nativeCode, int64_t, const wchar_t*)
{
    const char tag[] = "VideoProcessNotifyHandler::onEvent";
    if (code == VE_PLAY_LOOP_RESTART || code == VE_PLAY_COMPLETE)
    {
        Log(tag, "sending to client");
        PostClientMessage(WM_VP_ON_EVENT, static_cast<WPARAM>(static_cast<int64_t>(static_cast<int32_t>(code))),
                          static_cast<LPARAM>(nativeCode));
        return;
    }
    Log(tag, "skipping event");
}

void VideoProcessNotifyHandler::onError(VideoPlayer*, uint32_t code, const std::string& description)
{
    Log("VideoProcessNotifyHandler::onEvent", "sending error to client: " + description);
    PostClientError(code, description, 0);
}
