// State the demonstration host's threads share, and the settings fixed in the
// program.
#pragma once

#include "CriticalSection.h"
#include "MemoryWatch.h"

#include <jni.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace HostSettings
{
const bool kRenderThreadEnabled = true;
const bool kPlayerEnabled = true;
const int kClientWidth = 1280;
const int kClientHeight = 720;
const bool kClientStubMode = false;
const bool kServerStubMode = false;
const wchar_t* const kTestMedia = L"../test-data/test-micro.mp4";
const wchar_t* const kDecorationTexture = L"../test-data/texture1.jpg";
const wchar_t* const kDecorationSprite = L"../test-data/sprite.png";
const wchar_t* const kOverlayFont = L"Lucida Console";
const char* const kLeakReport = "vldreport.log";
} // namespace HostSettings

// The player start request's timer, and the message by which other threads
// ask the window's thread to set it (a timer belongs to the window's thread).
const UINT_PTR kPlayerTimerId = 100;
const UINT WM_HOST_SET_PLAYER_TIMER = WM_APP + 1;

// The Java objects kept for the whole run, all global references.
struct JavaObjects
{
    JavaVM* vm = nullptr;
    jobject callback = nullptr;
    jclass callbackClass = nullptr;
    jmethodID getLastError = nullptr; // ids are not references; kept with the class
    jstring mediaPath = nullptr;
};

struct HostState
{
    HWND window = nullptr; // borrowed: owned by wWinMain

    // The player lock: serialises drawing, player start and end, and shut-down.
    CCriticalSection playerLock;
    jlong player = 0;
    bool running = false;
    bool firstFrame = false;
    int playerCount = 0;
    std::string lastPlayerError;
    int framesOfPlayer = 0; // frames drawn with the current player
    MemoryWatch memory;

    // Covers the creation of the Direct3D device only.
    CCriticalSection deviceLock;

    std::atomic<bool> stop{false};
    std::atomic<bool> renderInitialised{false};
    std::atomic<bool> renderFinished{false};
    std::atomic<bool> fullScreen{false};

    JavaObjects java;
};

// Asks the window's thread to (re)start the player timer; harmless after the window is gone.
inline void RequestPlayerTimer(const HostState& state, UINT delayMs)
{
    PostMessageW(state.window, WM_HOST_SET_PLAYER_TIMER, delayMs, 0);
}
