#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

class VideoPlayerClient;

// Receives one player's notifications, on the thread that pumps its client
// window. The client calls Release exactly once, from its destructor.
class IVideoCallback
{
public:
    virtual ~IVideoCallback() = default;
    // player is null for errors reported before a player exists.
    virtual void onError(VideoPlayerClient* player, uint32_t code, int64_t param1, int64_t param2,
                         const std::string& text) = 0;
    virtual void onEvent(VideoPlayerClient* player, int32_t code, int64_t value) = 0;
    virtual void onReady(VideoPlayerClient* player, HWND serverWindow) = 0;
    virtual void Release() = 0;
};

// An owned callback: given back through its Release, which may do more than delete.
struct VideoCallbackRelease
{
    void operator()(IVideoCallback* callback) const { callback->Release(); }
};
using VideoCallbackPtr = std::unique_ptr<IVideoCallback, VideoCallbackRelease>;
