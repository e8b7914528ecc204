// Stands in for an application's java.exe, copied beside the unpacked shipped
// files: it loads qvfx.dll from its own folder as System.load would, runs one
// player of the given media through the exports from another working folder
// (so the server can only be found beside the program) and reports each step.
// Arguments: <working folder> <media file>. Exit code 0 when the video played.
#include "JniStandIn.h"
#include "TestProcess.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace
{
#define QV_VIDEO(name) Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1n##name
#define QV_STRINGIZE_NAME(name) #name
#define QV_EXPORT(module, name) reinterpret_cast<decltype(&name)>(GetProcAddress(module, QV_STRINGIZE_NAME(name)))

std::atomic<int> g_failures{0};

void Check(bool condition, const char* what)
{
    std::printf("%s: %s\n", condition ? "ok" : "FAILED", what);
    std::fflush(stdout);
    if (!condition)
        ++g_failures;
}

size_t CallCount(JniStandIn& jni, jobject callback, const std::string& method)
{
    size_t count = 0;
    for (const JavaCall& call : jni.Calls(callback))
        count += call.method == method ? 1 : 0;
    return count;
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
    {
        std::printf("usage: java.exe <working folder> <media file>\n");
        return 2;
    }
    Check(SetCurrentDirectoryW(argv[1]) != FALSE, "the working folder is set");
    HMODULE library = LoadLibraryW((ProgramFolder() + L"\\qvfx.dll").c_str());
    Check(library != nullptr, "qvfx.dll loads from the program's folder");
    if (!library)
        return 1;
    const auto create = QV_EXPORT(library, QV_VIDEO(Create));
    const auto run = QV_EXPORT(library, QV_VIDEO(RunMessageLoop));
    const auto play = QV_EXPORT(library, QV_VIDEO(Play));
    const auto position = QV_EXPORT(library, QV_VIDEO(GetPosition));
    const auto frame = QV_EXPORT(library, QV_VIDEO(GetFrameTexture));
    const auto close = QV_EXPORT(library, QV_VIDEO(Close));
    const auto del = QV_EXPORT(library, QV_VIDEO(Delete));
    Check(create && run && play && position && frame && close && del, "the video exports are found");
    if (g_failures > 0)
        return 1;

    JniStandIn jni;
    jni.AddPlayerCallbackClass();
    jobject callback = jni.NewObject("TestWinPlayerCallback");
    const std::wstring media = argv[2];

    // The player thread as Java runs it: create, run the loop, delete.
    std::atomic<jlong> handle{0};
    std::atomic<bool> loopEnded{false};
    std::atomic<bool> deleteNow{false};
    std::atomic<jint> loopResult{1};
    std::thread player([&] {
        JNIEnv* env = jni.Env();
        handle = create(env, nullptr, 0, jni.NewJavaString(media), 0.0f, 0.0f, 0.5f, JNI_FALSE, callback, JNI_FALSE,
                        JNI_FALSE);
        if (handle)
            loopResult = run(env, nullptr, handle);
        loopEnded = true;
        while (!deleteNow)
            Sleep(10);
        if (handle)
            del(env, nullptr, handle);
    });
    JNIEnv* env = jni.Env();
    // A fresh prefix makes the first server start slow.
    Check(WaitFor([&] { return CallCount(jni, callback, "onReady") > 0 || loopEnded; }, 90000) &&
              CallCount(jni, callback, "onReady") > 0,
          "the server is found and the player is ready");
    if (CallCount(jni, callback, "onReady") > 0)
    {
        Check(play(env, nullptr, handle) != JNI_FALSE, "play is sent");
        Check(WaitFor([&] { return position(env, nullptr, handle) > 0.5; }, 30000), "the position runs past 0.5 s");
        jlongArray data = jni.NewLongArray({0, 0, 0, 0});
        const bool got = WaitFor([&] { return frame(env, nullptr, handle, data) == 0; }, 10000);
        const std::vector<jlong> descriptor = jni.LongArray(data);
        std::printf("frame: %lld x %lld format %lld handle %lld\n", static_cast<long long>(descriptor[0]),
                    static_cast<long long>(descriptor[1]), static_cast<long long>(descriptor[2]),
                    static_cast<long long>(descriptor[3]));
        Check(got && descriptor[0] > 0 && descriptor[1] > 0 && descriptor[3] != 0, "a frame texture is handed out");
        Check(close(env, nullptr, handle) != JNI_FALSE, "close is sent");
    }
    Check(WaitFor([&] { return loopEnded.load(); }, 20000), "the player's loop ends");
    Check(loopResult == 0, "the loop ends with 0");
    deleteNow = true;
    player.join();
    for (const JavaCall& call : jni.Calls(callback))
    {
        if (call.method == "onError")
            std::printf("onError: %s\n", call.texts.empty() ? "" : call.texts[0].c_str());
    }
    Check(CallCount(jni, callback, "onError") == 0, "no error reached Java");
    Check(CallCount(jni, callback, "onDestroy") == 1, "onDestroy reached Java");
    return g_failures == 0 ? 0 : 1;
}
