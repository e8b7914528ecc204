// Export of com.quorvane.player.platform.impl.ui.view.win.d3d.D3DInitNGNode:
// takes the JavaFX device from its D3DContext on the render thread, checks it
// and raises the priorities of rendering.
#include "com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitNGNode.h"

#include "Compat.h"

#include <windows.h>
#include <d3d9.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{
// Members of JavaFX's D3DContext, at their byte offsets in the runtime the
// library is built against.
constexpr uintptr_t kD3DContextDeviceExOffset = 224; // IDirect3DDevice9Ex*, Get3DExDevice()
constexpr uintptr_t kD3DContextCapsOffset = 344;     // embedded D3DCAPS9, GetDeviceCaps()

constexpr DWORD kMinTextureWidth = 1280;
constexpr DWORD kMinTextureHeight = 720;
constexpr DWORD kMaxTextureSize = 65535;
constexpr INT kGpuThreadPriority = 5;

enum VerifyOutcome
{
    VERIFY_ACCEPTED,
    VERIFY_NO_DEVICE,
    VERIFY_NO_CAPS,
    VERIFY_TEXTURE_SIZE,
    VERIFY_COOPERATIVE_LEVEL,
    VERIFY_UNKNOWN,
};

// What the guarded check found. Filled without allocating anything, since an
// access violation abandons the check wherever it is.
struct Verification
{
    HWND window = nullptr;         // borrowed from JavaFX
    const char* context = nullptr; // borrowed from JavaFX
    IDirect3DDevice9Ex* device = nullptr;
    DWORD maxTextureWidth = 0;
    DWORD maxTextureHeight = 0;
    VerifyOutcome outcome = VERIFY_UNKNOWN;
};

// On a 9Ex device TestCooperativeLevel always answers S_OK; CheckDeviceState
// tells a lost, hung or removed device. Occluded or a changed mode still draw.
bool IsDeviceUsable(IDirect3DDevice9Ex* device, HWND window)
{
    const HRESULT state = device->CheckDeviceState(window);
    return state == S_OK || state == S_PRESENT_OCCLUDED || state == S_PRESENT_MODE_CHANGED;
}

void VerifyContext(Verification& v)
{
    std::memcpy(&v.device, v.context + kD3DContextDeviceExOffset, sizeof(v.device));
    const auto* caps = reinterpret_cast<const D3DCAPS9*>(v.context + kD3DContextCapsOffset);
    if (caps)
    {
        v.maxTextureWidth = caps->MaxTextureWidth;
        v.maxTextureHeight = caps->MaxTextureHeight;
    }
    const DWORD w = v.maxTextureWidth, h = v.maxTextureHeight;
    if (v.device && caps && w >= kMinTextureWidth && w < kMaxTextureSize && h >= kMinTextureHeight &&
        h < kMaxTextureSize && IsDeviceUsable(v.device, v.window))
    {
        SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        // Only a scheduling hint; the device works the same without it.
        v.device->SetGPUThreadPriority(kGpuThreadPriority);
        v.outcome = VERIFY_ACCEPTED;
        return;
    }
    // A maximum of exactly 65535 passes this test yet failed the one above.
    if (!v.device)
        v.outcome = VERIFY_NO_DEVICE;
    else if (!caps)
        v.outcome = VERIFY_NO_CAPS;
    else if (w < kMinTextureWidth || w > kMaxTextureSize || h < kMinTextureHeight || h > kMaxTextureSize)
        v.outcome = VERIFY_TEXTURE_SIZE;
    else if (!IsDeviceUsable(v.device, v.window))
        v.outcome = VERIFY_COOPERATIVE_LEVEL;
    else
        v.outcome = VERIFY_UNKNOWN;
}

// The structured-exception guard, built on a vectored handler so that both
// compilers build it: an access violation raised on the guarded thread
// resumes at the point where the guard captured its context.
struct GuardFrame
{
    CONTEXT resume;
    volatile LONG faulted;
};

thread_local GuardFrame* t_guard = nullptr;

LONG CALLBACK GuardFilter(EXCEPTION_POINTERS* info)
{
    GuardFrame* guard = t_guard;
    if (!guard)
        return EXCEPTION_CONTINUE_SEARCH;
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    // Debugger-output notices are always handled where they are raised.
    if (code == DBG_PRINTEXCEPTION_C || code == 0x4001000A /* DBG_PRINTEXCEPTION_WIDE_C */)
        return EXCEPTION_CONTINUE_SEARCH;
    std::printf("in filter.\n");
    std::fflush(stdout);
    if (code != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    t_guard = nullptr;
    guard->faulted = 1;
    *info->ContextRecord = guard->resume;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Owns a registered vectored exception handler.
class VectoredHandler
{
public:
    explicit VectoredHandler(PVECTORED_EXCEPTION_HANDLER handler) : m_handle(AddVectoredExceptionHandler(1, handler))
    {
    }
    ~VectoredHandler()
    {
        if (m_handle)
            RemoveVectoredExceptionHandler(m_handle);
    }
    VectoredHandler(const VectoredHandler&) = delete;
    VectoredHandler& operator=(const VectoredHandler&) = delete;

    explicit operator bool() const { return m_handle != nullptr; }

private:
    void* m_handle;
};

// Runs the check; false when it ended in an access violation.
QV_NOINLINE bool VerifyContextGuarded(Verification& v)
{
    VectoredHandler handler(&GuardFilter);
    if (!handler)
        return false;
    GuardFrame guard{};
    RtlCaptureContext(&guard.resume);
    // The filter resumes here a second time, with faulted set.
    if (guard.faulted)
        return false;
    t_guard = &guard;
    VerifyContext(v);
    t_guard = nullptr;
    return true;
}

void ThrowJavaException(JNIEnv* env, const std::string& text)
{
    jclass exceptionClass = env->FindClass("java/lang/Exception");
    if (!exceptionClass)
        return; // FindClass left its own error pending
    env->ThrowNew(exceptionClass, text.c_str());
    env->DeleteLocalRef(exceptionClass);
}
} // namespace

extern "C" JNIEXPORT jlong JNICALL
Java_com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitNGNode__1nInitRenderThread(JNIEnv* env, jclass,
                                                                                        jlong hwnd, jlong d3dContext)
{
    try
    {
        HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(hwnd));
        if (!window || !IsWindow(window))
            return 0;
        if (!d3dContext)
        {
            ThrowJavaException(env, "null D3DContext");
            return 0;
        }
        Verification v;
        v.window = window;
        v.context = reinterpret_cast<const char*>(static_cast<intptr_t>(d3dContext));
        if (!VerifyContextGuarded(v))
        {
            ThrowJavaException(env, "D3DContext verification structured exception");
            return 0;
        }
        switch (v.outcome)
        {
        case VERIFY_ACCEPTED:
            return static_cast<jlong>(reinterpret_cast<intptr_t>(v.device));
        case VERIFY_NO_DEVICE:
            ThrowJavaException(env, "D3DContext Get3DExDevice is null");
            break;
        case VERIFY_NO_CAPS:
            ThrowJavaException(env, "D3DContext GetDeviceCaps is null");
            break;
        case VERIFY_TEXTURE_SIZE:
            ThrowJavaException(env, "D3DContext texture size validation failed " +
                                        std::to_string(static_cast<int>(v.maxTextureWidth)) + ", " +
                                        std::to_string(static_cast<int>(v.maxTextureHeight)));
            break;
        case VERIFY_COOPERATIVE_LEVEL:
            ThrowJavaException(env, "D3D cooperative level failed");
            break;
        case VERIFY_UNKNOWN:
            ThrowJavaException(env, "D3D unknown verification error");
            break;
        }
        return 0;
    }
    catch (...)
    {
        // Only building an exception text can throw (out of memory); Java gets no device.
        return 0;
    }
}
