#pragma once

#include "HelperWindow.h"
#include "VideoPlayer.h"

#include <windows.h>

// Turns the client's commands into calls on the server's player and runs the
// parent watch. Reads the process-wide server state.
class PlayerMessageHandler : public WndMessageHandler
{
public:
    BOOL OnWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

private:
    LRESULT FillFrame();
};

// Forwards the player's end-of-media events and its errors to the client.
class VideoProcessNotifyHandler : public IVideoNotifyHandler
{
public:
    void onEvent(VideoPlayer* sender, uint32_t code, int32_t nativeCode, int64_t param, const wchar_t* text) override;
    void onError(VideoPlayer* sender, uint32_t code, const std::string& description) override;
};
