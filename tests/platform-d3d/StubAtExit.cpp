// platform-d3d-stub-exit.exe MODE [EVENT]
//   loads qvfx.dll as Java does, makes the stub texture through a client-stub
//   player and never calls the clean-up export.
//   MODE "exit": sets the named event EVENT, then returns from wmain and so
//   leaves the texture to the end of the process.
//   MODE "unload": unloads the library and checks that the texture went with it.
//   Ends with 0 when done, 1 when the library or an export is missing, 2 without
//   a stub texture, 3 when the texture still opens after the unload, 4 without
//   a device to check that, 5 for bad arguments.
#include "JniStandIn.h"
#include "ShareTestDevice.h"
#include "TestProcess.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"

#include <windows.h>

#include <string>
#include <vector>

#define QV_VIDEO(name) Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1n##name

namespace
{
template <typename Function>
Function Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(GetProcAddress(module, name));
}
#define QV_STRINGIZE(text) #text
#define QV_NAME_OF(name) QV_STRINGIZE(name)
#define QV_EXPORT_OF(module, name) Export<decltype(&QV_VIDEO(name))>(module, QV_NAME_OF(QV_VIDEO(name)))

// The stub texture's shared handle, made by a client-stub player; null on failure.
HANDLE MakeStubTexture(HMODULE library, JniStandIn& jni)
{
    auto create = QV_EXPORT_OF(library, Create);
    auto getFrame = QV_EXPORT_OF(library, GetFrameTexture);
    auto del = QV_EXPORT_OF(library, Delete);
    if (!create || !getFrame || !del)
        return nullptr;
    JNIEnv* env = jni.Env();
    jni.AddPlayerCallbackClass();
    jobject callback = jni.NewObject("TestWinPlayerCallback");
    const jlong player = create(env, nullptr, 0, jni.NewJavaString(L"stub.mp4"), 0.0f, 0.0f, 1.0f, JNI_FALSE,
                                callback, JNI_TRUE, JNI_FALSE);
    if (!player)
        return nullptr;
    jlongArray frame = jni.NewLongArray({0, 0, 0, 0});
    const jint status = getFrame(env, nullptr, player, frame);
    const std::vector<jlong> values = jni.LongArray(frame);
    del(env, nullptr, player);
    return status == 0 ? reinterpret_cast<HANDLE>(static_cast<uintptr_t>(values[3])) : nullptr;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (!(mode == L"exit" && argc == 3) && !(mode == L"unload" && argc == 2))
        return 5;
    HMODULE library = LoadLibraryW((BinDirectory() + L"\\qvfx.dll").c_str());
    if (!library)
        return 1;
    HANDLE stub = nullptr;
    {
        JniStandIn jni;
        stub = MakeStubTexture(library, jni);
    }
    if (!stub)
        return 2;

    if (mode == L"exit")
    {
        HANDLE exiting = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
        if (exiting)
            SetEvent(exiting); // the handle goes with the process
        return 0;
    }

    FreeLibrary(library);
    ShareTestDevice device;
    if (FAILED(device.Create()))
        return 4;
    Microsoft::WRL::ComPtr<IDirect3DTexture9> texture;
    return SUCCEEDED(device.OpenShared(stub, 1280, 720, D3DFMT_X8R8G8B8, &texture)) ? 3 : 0;
}
