// qvfx-jni-video-sample: plays the test media over and over through the
// library's video exports in a Direct3D 9Ex window of its own, with a Java
// virtual machine in the process for real JNI objects, and shows frame rate,
// player count, memory and handle figures.
#include "EnvPath.h"
#include "Handles.h"
#include "HostState.h"
#include "JavaHost.h"
#include "Log.h"
#include "PlayerCycle.h"
#include "RenderThread.h"
#include "Utf8.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"
#include "com_quorvane_player_platform_util_win_WinUtil.h"

#include <windows.h>
#include <mmsystem.h>

#include <fstream>
#include <memory>

namespace
{
const wchar_t* const kWindowClass = L"d3d9vwindowclass";
const wchar_t* const kWindowTitle = L"Direct3D9Ex Sample";
const UINT kIgnoredMessage = 0x800C;
const DWORD kStartupWaitStepMs = 50;
const DWORD kShutdownWaitStepMs = 5;

// The window procedure's view of the host: both live for the whole of wWinMain.
HostState* g_state = nullptr;
PlayerCycle* g_cycle = nullptr;
int g_enterPresses = 0;

class TimerResolution
{
public:
    TimerResolution() { timeBeginPeriod(1); }
    ~TimerResolution() { timeEndPeriod(1); }
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;
};

class UniqueWindow
{
public:
    explicit UniqueWindow(HWND window) : m_window(window) {}
    ~UniqueWindow()
    {
        if (m_window && IsWindow(m_window))
            DestroyWindow(m_window);
    }
    UniqueWindow(const UniqueWindow&) = delete;
    UniqueWindow& operator=(const UniqueWindow&) = delete;
    HWND Get() const { return m_window; }

private:
    HWND m_window;
};

// Dispatches one pending message, if any. A WM_QUIT is not dispatched: its
// code goes to quitCode (when given) and the result is true.
bool DispatchOnePendingMessage(int* quitCode = nullptr)
{
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        return false;
    if (msg.message == WM_QUIT)
    {
        if (quitCode)
            *quitCode = static_cast<int>(msg.wParam);
        return true;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    return false;
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    try
    {
        switch (message)
        {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_PAINT:
        {
            PAINTSTRUCT paint;
            BeginPaint(window, &paint);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_GETMINMAXINFO:
        {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            info->ptMaxSize = POINT{2000, 2000};
            info->ptMaxTrackSize = POINT{2000, 2000};
            return 0;
        }
        case WM_KEYUP:
            if (wParam == VK_RETURN)
            {
                if (++g_enterPresses == 1 && g_state)
                    g_state->fullScreen = true;
                else
                    PostQuitMessage(0);
            }
            else if (wParam == VK_ESCAPE)
            {
                PostQuitMessage(0);
            }
            return 0;
        case WM_TIMER:
            if (wParam == kPlayerTimerId && g_cycle)
                g_cycle->StartRequest();
            return 0;
        case WM_HOST_SET_PLAYER_TIMER:
            if (g_state && !g_state->stop)
                SetTimer(window, kPlayerTimerId, static_cast<UINT>(wParam), nullptr);
            return 0;
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case kIgnoredMessage:
            return 0;
        default:
            break;
        }
    }
    catch (...)
    {
        Log("HostWindowProc [ERROR]", "unexpected exception");
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateHostWindow(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_OWNDC;
    windowClass.lpfnWndProc = &HostWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&windowClass))
        return nullptr;
    RECT frame = {0, 0, HostSettings::kClientWidth, HostSettings::kClientHeight};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_CLIENTEDGE);
    HWND window = CreateWindowExW(WS_EX_CLIENTEDGE, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                  instance, nullptr);
    if (window)
        ShowWindow(window, SW_SHOW);
    return window;
}

void LogPath()
{
    Log("wWinMain", "PATH=" + ToUtf8OrPlaceholder(GetEnvPath()));
}

void AddTestPath(JNIEnv* env)
{
    const std::wstring text = L";test";
    jstring path = env->NewString(reinterpret_cast<const jchar*>(text.c_str()), static_cast<jsize>(text.size()));
    if (!path)
        return;
    Java_com_quorvane_player_platform_util_win_WinUtil_nAddEnvironmentPath(env, nullptr, path);
    env->DeleteLocalRef(path);
}

// Stops the render thread and the player thread, then releases the library's
// video state and the VM. Safe at any stage of start-up.
void ShutDown(HostState& state, PlayerCycle* cycle, JNIEnv* env, HANDLE renderThread)
{
    Log("wWinMain", "shutting down");
    state.stop = true;
    if (state.window)
        KillTimer(state.window, kPlayerTimerId);
    // The render thread may have ended without a word (a fault): its handle tells.
    // A quit pulled by these waits changes nothing: the host is ending already.
    while (renderThread && !state.renderFinished && WaitForSingleObject(renderThread, 0) == WAIT_TIMEOUT)
    {
        Sleep(kShutdownWaitStepMs);
        DispatchOnePendingMessage();
    }
    if (cycle)
    {
        // Closing again on every round catches a player stored after the first look.
        while (cycle->CloseForShutdown())
        {
            Sleep(kShutdownWaitStepMs);
            DispatchOnePendingMessage();
        }
        cycle->WaitForThreadExit();
    }
    if (env)
    {
        Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nShutdownCleanup(env, nullptr);
        ReleaseJavaObjects(state.java, env);
    }
    Log("wWinMain", "finished");
}

int RunHost(HINSTANCE instance)
{
    {
        std::ofstream truncate(HostSettings::kLeakReport, std::ios::out | std::ios::trunc);
    }
    TimerResolution timerResolution;
    Log("wWinMain", "start");

    HostState state;
    g_state = &state;
    UniqueWindow window(CreateHostWindow(instance));
    if (!window.Get())
    {
        Log("wWinMain [ERROR]", "window not created");
        return HOST_EXIT_WINDOW;
    }
    state.window = window.Get();

    UniqueHandle renderThread(CreateThread(nullptr, 0, &RenderThreadMain, &state, 0, nullptr));
    if (!renderThread)
    {
        Log("wWinMain [ERROR]", "render thread not started");
        state.stop = true;
    }
    // The window's messages are served meanwhile: device creation may need them.
    // A window closed meanwhile leaves its quit here, and nothing would end the main loop after it.
    bool quit = false;
    int quitCode = 0;
    while (renderThread && !quit && !state.renderInitialised && !state.renderFinished &&
           WaitForSingleObject(renderThread.Get(), kStartupWaitStepMs) == WAIT_TIMEOUT)
        quit = DispatchOnePendingMessage(&quitCode);
    if (quit)
    {
        Log("wWinMain", "quit during start-up");
        ShutDown(state, nullptr, nullptr, renderThread.Get());
        return quitCode;
    }

    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);

    JNIEnv* env = nullptr;
    const int javaResult = CreateJavaObjects(state.java, env);
    if (javaResult != 0)
    {
        ShutDown(state, nullptr, env, renderThread.Get());
        return javaResult;
    }

    ScopedComInit com(COINIT_MULTITHREADED);
    if (FAILED(com.Result()))
    {
        Log("wWinMain [ERROR]", "CoInitializeEx failed");
        ShutDown(state, nullptr, env, renderThread.Get());
        return HOST_EXIT_COM;
    }

    LogPath();
    AddTestPath(env);
    LogPath();

    PlayerCycle cycle(state, env, GetTickCount64());
    g_cycle = &cycle;
    cycle.StartRequest();

    MSG msg = {};
    int exitCode = 0;
    while (!state.stop)
    {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0)
        {
            exitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1)
            break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    ShutDown(state, &cycle, env, renderThread.Get());
    g_cycle = nullptr;
    g_state = nullptr;
    return exitCode;
}
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    try
    {
        return RunHost(instance);
    }
    catch (...)
    {
        Log("wWinMain [ERROR]", "unexpected exception");
        return -1;
    }
}
