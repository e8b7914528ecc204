// Exports of com.quorvane.player.platform.impl.ui.view.win.WinBrowser. A
// control crosses into Java as the address of its CAxControl; 0 means none.
#include "com_quorvane_player_platform_impl_ui_view_win_WinBrowser.h"

#include "AxControl.h"
#include "JniString.h"
#include "Log.h"

#include <cstdint>

namespace
{
CAxControl* FromHandle(jlong handle)
{
    return reinterpret_cast<CAxControl*>(static_cast<intptr_t>(handle));
}

jlong ToHandle(CAxControl* control)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(control));
}
} // namespace

extern "C" JNIEXPORT jlong JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_nCreateControl(JNIEnv* env, jclass, jstring url)
{
    try
    {
        std::wstring address = L"about:blank";
        if (url && env)
        {
            JniString text(env, url);
            const wchar_t* chars = text.Chars();
            if (!chars && text.Length() > 0)
                return 0;
            address.assign(chars ? chars : L"", text.Length());
        }
        return ToHandle(new CAxBrowserControl(address));
    }
    catch (...)
    {
        Log("WinBrowser_nCreateControl [ERROR]", "control not created");
        return 0;
    }
}

extern "C" JNIEXPORT jlong JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_nControlRun(JNIEnv*, jclass, jlong handle,
                                                                           jlong parentHwnd)
{
    CAxControl* control = FromHandle(handle);
    if (!control)
        return -1;
    try
    {
        return static_cast<jlong>(control->run(reinterpret_cast<HWND>(static_cast<intptr_t>(parentHwnd))));
    }
    catch (...)
    {
        Log("WinBrowser_nControlRun [ERROR]", "exception in the control loop");
        return static_cast<jlong>(0xFFFFFFFFu);
    }
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_nCloseControl(JNIEnv*, jclass, jlong handle)
{
    CAxControl* control = FromHandle(handle);
    if (!control)
        return JNI_FALSE;
    try
    {
        control->close();
    }
    catch (...)
    {
        Log("WinBrowser_nCloseControl [ERROR]", "exception while closing");
    }
    return JNI_TRUE;
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_nDeleteControl(JNIEnv*, jclass, jlong handle)
{
    CAxControl* control = FromHandle(handle);
    if (!control || control->isRunning())
        return JNI_FALSE;
    delete control;
    return JNI_TRUE;
}

extern "C" JNIEXPORT jstring JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_nGetLastError(JNIEnv* env, jclass, jlong handle)
{
    CAxControl* control = FromHandle(handle);
    if (!control || !env)
        return nullptr;
    try
    {
        const std::wstring text = control->getLastError();
        return NewJavaString(env, text.c_str(), text.size());
    }
    catch (...)
    {
        return nullptr;
    }
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_nSetBounds(
    JNIEnv*, jclass, jlong handle, jint x, jint y, jint width, jint height)
{
    CAxControl* control = FromHandle(handle);
    if (!control)
        return JNI_FALSE;
    try
    {
        control->setBounds(x, y, width, height);
    }
    catch (...)
    {
        Log("WinBrowser_nSetBounds [ERROR]", "exception");
    }
    return JNI_TRUE;
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_nSetPos(JNIEnv*, jclass, jlong handle, jint x, jint y)
{
    CAxControl* control = FromHandle(handle);
    if (!control)
        return JNI_FALSE;
    try
    {
        control->setPos(x, y);
    }
    catch (...)
    {
        Log("WinBrowser_nSetPos [ERROR]", "exception");
    }
    return JNI_TRUE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_nSetSize(
    JNIEnv*, jclass, jlong handle, jint width, jint height)
{
    CAxControl* control = FromHandle(handle);
    if (!control)
        return JNI_FALSE;
    try
    {
        control->setSize(width, height);
    }
    catch (...)
    {
        Log("WinBrowser_nSetSize [ERROR]", "exception");
    }
    return JNI_TRUE;
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_nShow(JNIEnv*, jclass, jlong handle, jboolean visible)
{
    CAxControl* control = FromHandle(handle);
    if (!control)
        return JNI_FALSE;
    try
    {
        control->show(visible != JNI_FALSE);
    }
    catch (...)
    {
        Log("WinBrowser_nShow [ERROR]", "exception");
    }
    return JNI_TRUE;
}
