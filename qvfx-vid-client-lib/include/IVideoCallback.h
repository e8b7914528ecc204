#pragma once

#include <windows.h>

#include <cstdint>
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
