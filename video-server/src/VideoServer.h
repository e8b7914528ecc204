// The process-wide state of the video server and the functions through which
// every notification reaches the client.
#pragma once

#include "CriticalSection.h"
#include "DShowPlayer.h"
#include "Handles.h"
#include "PlayerMessageHandler.h"
#include "VideoPlayerMsg.h"

#include <windows.h>

#include <string>

struct VideoServerState
{
    HWND clientHwnd = nullptr;  // borrowed: the client's window
    HWND parentHwnd = nullptr;  // borrowed: logged only
    DWORD parentProcessId = 0;
    std::wstring mediaFile;
    float startPosition = 0.0f;
    float endPosition = 0.0f;
    float soundVolume = kDefaultSoundVolume;
    int isLoopEnabled = 0;
    int64_t stubTexture = 0;    // non-zero: stub mode
    HWND serverHwnd = nullptr;  // borrowed: owned by RunServer's window
    UniqueHandle parentProcess; // opened by the first IsParentAlive that gets that far
    SharedMemory frameMemory;
    // The last posted error report: the client reads it after the post
    // returns, so it lives until the next report or the end of the process.
    SharedMemory postedError;
    CCriticalSection errorLock; // serialises error reports
    DShowPlayer player;
    VideoProcessNotifyHandler notifyHandler;

    bool IsStubMode() const { return stubTexture != 0; }
};

// The one instance of the process.
VideoServerState& Server();

void ParseArgs(const wchar_t* tail);
int RunServer();
bool IsParentAlive();
bool SendClientMessage(UINT message, WPARAM wParam, LPARAM lParam);
bool PostClientMessage(UINT message, WPARAM wParam, LPARAM lParam);
bool SendClientError(uint32_t code, const std::string& text, int64_t param1);
bool SendClientError(uint32_t code, const std::wstring& text, int64_t param1);
bool PostClientError(uint32_t code, const std::string& text, int64_t param1);
bool PostClientError(uint32_t code, const std::wstring& text, int64_t param1);

// Id of the parent-watch timer of the server window.
const UINT_PTR kParentWatchTimerId = 200;
const UINT kParentWatchPeriodMs = 5000;
