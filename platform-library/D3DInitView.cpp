// Export of com.quorvane.player.platform.impl.ui.view.win.d3d.D3DInitView: the
// thread that pumps the JavaFX window runs at a high priority.
#include "com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitView.h"

#include "Log.h"

#include <windows.h>

#include <cstdint>

extern "C" JNIEXPORT jlong JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitView__1nInitMessageThread(JNIEnv*, jclass, jlong hwnd)
{
    try
    {
        const char kTag[] = "nInitMessageThread";
        Log(kTag, "initializing threads");
        HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(hwnd));
        if (!window || !IsWindow(window))
            return 0;
        Log(kTag, "boosting process priority");
        SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
        return hwnd;
    }
    catch (...)
    {
        // Only the log's text can throw (out of memory); the thread keeps its priority.
        return 0;
    }
}
