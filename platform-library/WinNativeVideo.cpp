// Exports of com.quorvane.player.platform.impl.ui.view.win.d3d.WinNativeVideo
// (the two frame exports live in WinNativeVideoFrame.cpp). A player crosses
// into Java as the address of its VideoPlayerClient; 0 means none.
#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"

#include "Handles.h"
#include "HexText.h"
#include "JniString.h"
#include "JniVideoCallback.h"
#include "Log.h"
#include "VideoPlayerClient.h"
#include "VideoTextures.h"

#include <windows.h>

#include <cstdint>
#include <memory>

namespace
{
const char kCreateTag[] = "WinNativeVideo__1nCreate";
const char kLoopTag[] = "WinNativeVideo__1nRunMessageLoop";

// Return values of _nRunMessageLoop besides 0.
const jint kLoopComFailed = -2;
const jint kLoopOpenFailed = -3;
const jint kLoopUnexpected = -4;
const jint kLoopNoPlayer = -1000;

VideoPlayerClient* FromHandle(jlong handle)
{
    return reinterpret_cast<VideoPlayerClient*>(static_cast<intptr_t>(handle));
}

jlong ToHandle(VideoPlayerClient* player)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(player));
}

// Pumps the player's client window on the calling (player) thread until the
// window is closed; every Java callback of the player runs inside it.
jint PlayerLoopThread(VideoPlayerClient* player)
{
    Log("WinNativeVideo-- PlayerLoopThread", "start");
    // Also balances an S_FALSE (a thread already in the apartment), which
    // needs its own CoUninitialize like any successful call.
    ScopedComInit com(COINIT_MULTITHREADED);
    if (FAILED(com.Result()))
        return kLoopComFailed;
    if (!player->Open())
    {
        Log("WinNativeVideo-- PlayerLoopThread", "open failed");
        return kLoopOpenFailed;
    }
    Log("WinNativeVideo-- PlayerLoopThread", "entering loop");
    MSG msg;
    // GetMessageW answers -1 on failure, which must end the loop too.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        Log("WinNativeVideo--PlayerLoopThread", "Got message " + Hex(msg.message));
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        if (msg.message == WM_CLOSE || msg.message == 0)
            break;
    }
    return 0;
}

jdouble Widen(float value)
{
    return static_cast<jdouble>(value);
}

// Runs one command or query of a player; nothing thrown inside reaches Java.
template <typename Result, typename Work>
Result Guarded(const char* errorTag, Result failure, Work work) noexcept
{
    try
    {
        return work();
    }
    catch (...)
    {
        Log(errorTag, "exception in the player");
        return failure;
    }
}
} // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nCreate(
    JNIEnv* env, jclass, jlong parentHwnd, jstring mediaFile, jfloat startPosition, jfloat endPosition,
    jfloat soundVolume, jboolean isLoopEnabled, jobject callback, jboolean clientStubMode, jboolean serverStubMode)
{
    try
    {
        JavaVM* pJvm = nullptr;
        if (!env || env->GetJavaVM(&pJvm) != JNI_OK || !pJvm)
            return 0;
        VideoCallbackPtr jniCallback(new JniVideoCallback(pJvm, env, callback));
        Log(kCreateTag, "enter");

        OpenParameters openParameters;
        {
            // A null path cannot be read either; a JVM would crash on it.
            JniString path(env, mediaFile);
            const wchar_t* chars = mediaFile ? path.Chars() : nullptr;
            if (!chars)
            {
                // Releasing the callback delivers onDestroy and drops its global reference.
                jniCallback->onError(nullptr, 0, 0, 0, "WinNativeVideo__1nCreate: error acquiring path string");
                return 0;
            }
            openParameters.mediaFile.assign(chars, static_cast<size_t>(path.Length()));
        }
        openParameters.startPosition = startPosition;
        openParameters.endPosition = endPosition;
        openParameters.soundVolume = soundVolume;
        openParameters.isLoopEnabled = isLoopEnabled ? 1 : 0;

        std::unique_ptr<VideoPlayerClient> player(new VideoPlayerClient(jniCallback.get()));
        IVideoCallback* reporter = jniCallback.release(); // the player owns it now

        if (clientStubMode || serverStubMode)
        {
            if (FAILED(CreateStubTexture()))
            {
                reporter->onError(nullptr, 0, 0, 0, "WinNativeVideo__1nCreate: error creating stub texture");
                return 0;
            }
            player->SetStubMode(StubTextureHandle(), clientStubMode != JNI_FALSE);
        }

        if (!player->Init(static_cast<int64_t>(parentHwnd), openParameters))
        {
            reporter->onError(nullptr, 0, 0, 0, "WinNativeVideo__1nCreate: error initializing client");
            return 0;
        }
        return ToHandle(player.release());
    }
    catch (...)
    {
        Log("WinNativeVideo__1nCreate [ERROR]", "player not created");
        return 0;
    }
}

extern "C" JNIEXPORT jint JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nRunMessageLoop(JNIEnv*, jclass, jlong handle)
{
    Log(kLoopTag, "enter");
    VideoPlayerClient* player = FromHandle(handle);
    if (!player)
    {
        Log(kLoopTag, "no player, exiting");
        return kLoopNoPlayer;
    }
    return Guarded("WinNativeVideo__1nRunMessageLoop [ERROR]", kLoopUnexpected,
                   [&] { return PlayerLoopThread(player); });
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nClose(JNIEnv*, jclass, jlong handle)
{
    VideoPlayerClient* player = FromHandle(handle);
    return Guarded("WinNativeVideo__1nClose [ERROR]", jboolean(JNI_FALSE),
                   [&] { return player && player->Close() ? JNI_TRUE : JNI_FALSE; });
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nDelete(JNIEnv*, jclass, jlong handle)
{
    delete FromHandle(handle); // destructors do not throw
    return JNI_TRUE;
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nPlay(JNIEnv*, jclass, jlong handle)
{
    VideoPlayerClient* player = FromHandle(handle);
    return Guarded("WinNativeVideo__1nPlay [ERROR]", jboolean(JNI_FALSE),
                   [&] { return player && player->Play() ? JNI_TRUE : JNI_FALSE; });
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nResume(JNIEnv*, jclass, jlong handle)
{
    VideoPlayerClient* player = FromHandle(handle);
    return Guarded("WinNativeVideo__1nResume [ERROR]", jboolean(JNI_FALSE),
                   [&] { return player && player->Play() ? JNI_TRUE : JNI_FALSE; });
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nPause(JNIEnv*, jclass, jlong handle)
{
    VideoPlayerClient* player = FromHandle(handle);
    return Guarded("WinNativeVideo__1nPause [ERROR]", jboolean(JNI_FALSE),
                   [&] { return player && player->Pause() ? JNI_TRUE : JNI_FALSE; });
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nSetPosition(JNIEnv*, jclass, jlong handle,
                                                                                     jdouble seconds)
{
    VideoPlayerClient* player = FromHandle(handle);
    return Guarded("WinNativeVideo__1nSetPosition [ERROR]", jboolean(JNI_FALSE),
                   [&] { return player && player->SetPosition(static_cast<float>(seconds)) ? JNI_TRUE : JNI_FALSE; });
}

extern "C" JNIEXPORT jdouble JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetPosition(JNIEnv*, jclass, jlong handle)
{
    VideoPlayerClient* player = FromHandle(handle);
    return Guarded("WinNativeVideo__1nGetPosition [ERROR]", jdouble(0.0),
                   [&] { return player ? Widen(player->GetPosition()) : 0.0; });
}

extern "C" JNIEXPORT jdouble JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetDuration(JNIEnv*, jclass, jlong handle)
{
    VideoPlayerClient* player = FromHandle(handle);
    return Guarded("WinNativeVideo__1nGetDuration [ERROR]", jdouble(0.0),
                   [&] { return player ? Widen(player->GetDuration()) : 0.0; });
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nSetLoopEnabled(JNIEnv*, jclass, jlong handle,
                                                                                        jboolean enabled)
{
    VideoPlayerClient* player = FromHandle(handle);
    return Guarded("WinNativeVideo__1nSetLoopEnabled [ERROR]", jboolean(JNI_FALSE),
                   [&] { return player && player->SetLoopEnabled(enabled != JNI_FALSE) ? JNI_TRUE : JNI_FALSE; });
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetLoopEnabled(JNIEnv*, jclass, jlong handle)
{
    VideoPlayerClient* player = FromHandle(handle);
    return Guarded("WinNativeVideo__1nGetLoopEnabled [ERROR]", jboolean(JNI_FALSE), [&] {
        return player ? static_cast<jboolean>(player->GetLoopEnabled() & 0xFF) : jboolean(JNI_FALSE);
    });
}

// Volume and mute follow the creation parameters; these exist so that the
// Java class links, and never reach the server.
extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nSetMute(JNIEnv*, jclass, jlong, jboolean)
{
    return JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetMute(JNIEnv*, jclass, jlong)
{
    return JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nSetSoundVolume(JNIEnv*, jclass, jlong, jfloat)
{
    return JNI_FALSE;
}

extern "C" JNIEXPORT jfloat JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetSoundVolume(JNIEnv*, jclass, jlong)
{
    return 0.0f;
}

extern "C" JNIEXPORT jboolean JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nHintRenderSize(JNIEnv*, jclass, jlong, jlong)
{
    return JNI_TRUE;
}

extern "C" JNIEXPORT jstring JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetLastErrorString(JNIEnv* env, jclass,
                                                                                            jlong handle)
{
    if (!env)
        return nullptr;
    return env->NewStringUTF(handle ? "get error not implemented" : "not initialized");
}

extern "C" JNIEXPORT void JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nShutdownCleanup(JNIEnv*, jclass)
{
    try
    {
        ReleaseStubTexture("WinNativeVideo__1nShutdownCleanup");
    }
    catch (...)
    {
        Log("WinNativeVideo__1nShutdownCleanup [ERROR]", "exception while releasing the stub texture");
    }
}
