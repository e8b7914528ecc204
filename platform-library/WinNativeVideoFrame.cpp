// The frame exports of com.quorvane.player.platform.impl.ui.view.win.d3d.WinNativeVideo:
// ask a player for its current frame descriptor, then open that frame's
// shared texture on the JavaFX device and bind it to a texture stage.
#include "com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo.h"

#include "VideoPlayerClient.h"
#include "VideoPlayerMsg.h"
#include "VideoTextures.h"

#include <d3d9.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstring>
#include <string>

using Microsoft::WRL::ComPtr;

namespace
{
// Where JavaFX's D3DContext keeps its plain IDirect3DDevice9 pointer, in the
// runtime the library is built against.
constexpr uintptr_t kD3DContextPlainDeviceOffset = 216;

constexpr jsize kFrameDataLength = 4; // width, height, format, shared handle
constexpr double kMinOpacity = 0.03;

enum : jint
{
    FRAME_STATUS_OK = 0,
    FRAME_STATUS_BAD_ARGUMENTS = -1,
    FRAME_STATUS_CONTEXT_AND_DEVICE = -200,
    FRAME_STATUS_NO_DEVICE = 200,
    FRAME_STATUS_TRANSPARENT = 18,
    FRAME_STATUS_NOT_USABLE = 19,
    FRAME_STATUS_RENDER_ERROR = -11,
    FRAME_STATUS_RENDER_UNKNOWN = -12,
};

VideoPlayerClient* FromHandle(jlong player)
{
    return reinterpret_cast<VideoPlayerClient*>(static_cast<intptr_t>(player));
}

bool HasFrameData(JNIEnv* env, jlongArray frameData)
{
    return env && frameData && env->GetArrayLength(frameData) >= kFrameDataLength;
}

IDirect3DDevice9* PlainDeviceOf(jlong d3dContext)
{
    IDirect3DDevice9* device = nullptr; // borrowed from JavaFX
    std::memcpy(&device, reinterpret_cast<const char*>(static_cast<intptr_t>(d3dContext)) + kD3DContextPlainDeviceOffset,
                sizeof(device));
    return device;
}

void RenderError(const wchar_t* text)
{
    OutputDebugStringW((std::wstring(L"WinNativeVideo__1nApplyFrameTexture render error, ") + text).c_str());
}

// Opens the frame's texture on device and binds it to stage; the stage keeps
// its own reference, the one taken here goes when this returns.
jint BindFrameTexture(IDirect3DDevice9* device, const FrameParams& frame, jint stage, jint renderWidth,
                      jint renderHeight)
{
    HANDLE hVideoTexture = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(frame.textureHandle));
    ComPtr<IDirect3DTexture9> pVideoTexture;
    // With a non-zero handle this opens the server's texture instead of making one.
    HRESULT hr = device->CreateTexture(frame.width, frame.height, 1, D3DUSAGE_RENDERTARGET,
                                       static_cast<D3DFORMAT>(frame.format), D3DPOOL_DEFAULT, &pVideoTexture,
                                       &hVideoTexture);
    if (FAILED(hr) || !pVideoTexture)
    {
        RenderError(L"CreateTexture has failed");
        return FRAME_STATUS_RENDER_ERROR;
    }
    const DWORD sampler = static_cast<DWORD>(stage);
    hr = device->SetTexture(sampler, pVideoTexture.Get());
    if (FAILED(hr))
    {
        RenderError(L"SetTexture has failed");
        return FRAME_STATUS_RENDER_ERROR;
    }
    const D3DTEXTUREFILTERTYPE filter = ChooseTextureFilter(frame.width, frame.height, renderWidth, renderHeight);
    // A filter the device refuses leaves its previous one, which still draws the frame.
    device->SetSamplerState(sampler, D3DSAMP_MAGFILTER, filter);
    device->SetSamplerState(sampler, D3DSAMP_MINFILTER, filter);
    return FRAME_STATUS_OK;
}
} // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nGetFrameTexture(
    JNIEnv* env, jclass, jlong player, jlongArray frameData)
{
    if (!player)
        return FRAME_STATUS_BAD_ARGUMENTS;
    // Writing past a short array would leave Java an exception it never expects here.
    if (!HasFrameData(env, frameData))
        return FRAME_STATUS_BAD_ARGUMENTS;
    try
    {
        FrameParams frame{};
        const int status = FromHandle(player)->GetFrameData(&frame);
        if (status != VPC_FRAME_OK)
            return status;
        const jlong values[kFrameDataLength] = {
            static_cast<jlong>(static_cast<uint64_t>(frame.width)),
            static_cast<jlong>(static_cast<uint64_t>(frame.height)),
            static_cast<jlong>(static_cast<uint64_t>(frame.format)),
            static_cast<jlong>(frame.textureHandle),
        };
        env->SetLongArrayRegion(frameData, 0, kFrameDataLength, values);
        return IsUsableFrame(frame) ? FRAME_STATUS_OK : FRAME_STATUS_NOT_USABLE;
    }
    catch (...)
    {
        // Only the player's lock can throw, and only on a player already deleted.
        return FRAME_STATUS_BAD_ARGUMENTS;
    }
}

extern "C" JNIEXPORT jint JNICALL Java_com_quorvane_player_platform_impl_ui_view_win_d3d_WinNativeVideo__1nApplyFrameTexture(
    JNIEnv* env, jclass, jlong player, jlong d3dContext, jlong device, jint stage, jint renderWidth,
    jint renderHeight, jfloat opacity, jlongArray frameData)
{
    if (!HasFrameData(env, frameData))
        return FRAME_STATUS_BAD_ARGUMENTS;
    if (!d3dContext && !device)
        return FRAME_STATUS_BAD_ARGUMENTS;
    if (d3dContext && device)
        return FRAME_STATUS_CONTEXT_AND_DEVICE;
    IDirect3DDevice9* pDevice = device ? reinterpret_cast<IDirect3DDevice9*>(static_cast<intptr_t>(device))
                                       : PlainDeviceOf(d3dContext); // borrowed from JavaFX
    if (!pDevice)
        return FRAME_STATUS_NO_DEVICE;
    if (!player)
        return FRAME_STATUS_BAD_ARGUMENTS;

    jlong values[kFrameDataLength] = {};
    env->GetLongArrayRegion(frameData, 0, kFrameDataLength, values);
    FrameParams frame{};
    frame.width = static_cast<uint16_t>(values[0] & 0xFFFF);
    frame.height = static_cast<uint16_t>(values[1] & 0xFFFF);
    frame.format = static_cast<uint32_t>(values[2] & 0xFFFFFFFF);
    frame.textureHandle = static_cast<uint64_t>(values[3]);

    if (static_cast<double>(opacity) < kMinOpacity)
        return FRAME_STATUS_TRANSPARENT;
    if (!IsUsableFrame(frame))
        return FRAME_STATUS_NOT_USABLE;
    try
    {
        return BindFrameTexture(pDevice, frame, stage, renderWidth, renderHeight);
    }
    catch (...)
    {
        OutputDebugStringA("WinNativeVideo__1nApplyFrameTexture render unknown exception");
        return FRAME_STATUS_RENDER_UNKNOWN;
    }
}
