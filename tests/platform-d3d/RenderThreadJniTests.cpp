// The render thread's device verification failures, seen by Java as
// exceptions through the JVM stand-in.
#include "D3dTestContext.h"
#include "JniStandIn.h"
#include "ShareTestDevice.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitNGNode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace
{
jlong WindowValue(HWND hwnd)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(hwnd));
}

extern "C" const unsigned kSlotDeviceCheckDeviceState;

// A device object that answers only CheckDeviceState, with `state` (a lost
// device by default), and may raise a structured exception first. Every
// other method fails.
struct FakeDevice
{
    FakeDevice() : slots(kSlotDeviceCheckDeviceState + 1, reinterpret_cast<void*>(&Unused))
    {
        slots[kSlotDeviceCheckDeviceState] = reinterpret_cast<void*>(&CheckDeviceState);
        table = slots.data();
    }
    static HRESULT STDMETHODCALLTYPE Unused(FakeDevice*) { return E_NOTIMPL; }
    static HRESULT STDMETHODCALLTYPE CheckDeviceState(FakeDevice* self, HWND)
    {
        ++self->stateChecks;
        if (self->raise)
            RaiseException(self->raise, 0, 0, nullptr);
        return self->state;
    }

    void* const* table = nullptr; // first, where a COM object keeps its method table
    std::vector<void*> slots;
    int stateChecks = 0;
    DWORD raise = 0;
    HRESULT state = D3DERR_DEVICELOST;

    IDirect3DDevice9Ex* AsDevice() { return reinterpret_cast<IDirect3DDevice9Ex*>(this); }
};

// Everything the calling code writes to standard output while it lives.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        wchar_t dir[MAX_PATH], path[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        GetTempFileNameW(dir, L"qvo", 0, path);
        m_path = path;
        m_saved = _dup(1);
        const int file = _wopen(path, _O_WRONLY | _O_TRUNC | _O_BINARY);
        _dup2(file, 1);
        _close(file);
    }
    ~StdoutCapture()
    {
        Stop();
        DeleteFileW(m_path.c_str());
    }
    std::string Stop()
    {
        if (m_saved >= 0)
        {
            std::fflush(stdout);
            _dup2(m_saved, 1);
            _close(m_saved);
            m_saved = -1;
        }
        std::string text;
        if (FILE* file = _wfopen(m_path.c_str(), L"rb"))
        {
            char buffer[512];
            size_t read = 0;
            while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
                text.append(buffer, read);
            std::fclose(file);
        }
        return text;
    }

private:
    std::wstring m_path;
    int m_saved = -1;
};

// Memory that is reserved but never committed: every read faults.
class ReservedPage
{
public:
    ReservedPage() : m_base(VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS)) {}
    ~ReservedPage()
    {
        if (m_base)
            VirtualFree(m_base, 0, MEM_RELEASE);
    }
    ReservedPage(const ReservedPage&) = delete;
    ReservedPage& operator=(const ReservedPage&) = delete;
    void* Get() const { return m_base; }

private:
    void* m_base;
};

class RenderThreadVerification : public testing::Test
{
protected:
    void SetUp() override
    {
        m_window.Reset(CreateWindowExW(0, L"STATIC", L"javafx", WS_POPUP, 0, 0, 64, 64, nullptr, nullptr,
                                       GetModuleHandleW(nullptr), nullptr));
        ASSERT_NE(nullptr, m_window.Get());
        m_context.SetMaxTextureSize(8192, 8192);
    }

    // The one exception text Java sees, or "" when none was thrown.
    std::string InitRenderThread(jlong context, jlong* result = nullptr)
    {
        const size_t before = m_jvm.Thrown().size();
        const jlong device = Java_com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitNGNode__1nInitRenderThread(
            m_jvm.Env(), nullptr, WindowValue(m_window.Get()), context);
        if (result)
            *result = device;
        const auto thrown = m_jvm.Thrown();
        if (thrown.size() == before)
            return "";
        EXPECT_EQ(before + 1, thrown.size());
        EXPECT_EQ("java/lang/Exception", thrown.back().className);
        EXPECT_EQ("java/lang/Exception", m_jvm.PendingException());
        m_jvm.ClearException();
        EXPECT_EQ(0, device) << "a failed verification returns no device";
        return thrown.back().text;
    }
    std::string InitRenderThread() { return InitRenderThread(m_context.Address()); }

    JniStandIn m_jvm;
    UniqueWindow m_window;
    FakeD3DContext m_context;
};
} // namespace

TEST_F(RenderThreadVerification, MissingContextOrDeviceIsNamed)
{
    EXPECT_EQ("null D3DContext", InitRenderThread(0));
    EXPECT_EQ("D3DContext Get3DExDevice is null", InitRenderThread());
    // The device is missing even when the sizes are wrong as well.
    m_context.SetMaxTextureSize(0, 0);
    EXPECT_EQ("D3DContext Get3DExDevice is null", InitRenderThread());
}

TEST_F(RenderThreadVerification, TextureSizesOutsideTheRangeAreReportedWithBothMaxima)
{
    ShareTestDevice device;
    ASSERT_EQ(S_OK, device.Create());
    m_context.SetDevices(device.Get());
    m_context.SetMaxTextureSize(1024, 4096);
    EXPECT_EQ("D3DContext texture size validation failed 1024, 4096", InitRenderThread());
    m_context.SetMaxTextureSize(4096, 719);
    EXPECT_EQ("D3DContext texture size validation failed 4096, 719", InitRenderThread());
    m_context.SetMaxTextureSize(65536, 4096);
    EXPECT_EQ("D3DContext texture size validation failed 65536, 4096", InitRenderThread());
    // The sizes are printed as signed numbers.
    m_context.SetMaxTextureSize(0x80000000u, 4096);
    EXPECT_EQ("D3DContext texture size validation failed -2147483648, 4096", InitRenderThread());
}

TEST_F(RenderThreadVerification, MaximumOfExactly65535IsRefusedAsUnknown)
{
    ShareTestDevice device;
    ASSERT_EQ(S_OK, device.Create());
    m_context.SetDevices(device.Get());
    m_context.SetMaxTextureSize(65535, 4096);
    EXPECT_EQ("D3D unknown verification error", InitRenderThread());
    m_context.SetMaxTextureSize(4096, 65535);
    EXPECT_EQ("D3D unknown verification error", InitRenderThread());
}

TEST_F(RenderThreadVerification, LostHungOrRemovedDeviceIsAskedTwiceAndReported)
{
    for (HRESULT state : {D3DERR_DEVICELOST, D3DERR_DEVICEHUNG, D3DERR_DEVICEREMOVED})
    {
        FakeDevice failed;
        failed.state = state;
        m_context.SetDeviceEx(failed.AsDevice());
        EXPECT_EQ("D3D cooperative level failed", InitRenderThread()) << std::hex << state;
        EXPECT_EQ(2, failed.stateChecks);
    }
}

TEST_F(RenderThreadVerification, OccludedOrModeChangedDeviceStillDraws)
{
    const DWORD priorityClass = GetPriorityClass(GetCurrentProcess());
    const int threadPriority = GetThreadPriority(GetCurrentThread());
    for (HRESULT state : {S_OK, S_PRESENT_OCCLUDED, S_PRESENT_MODE_CHANGED})
    {
        FakeDevice usable;
        usable.state = state;
        m_context.SetDeviceEx(usable.AsDevice());
        jlong device = 0;
        EXPECT_EQ("", InitRenderThread(m_context.Address(), &device)) << std::hex << state;
        EXPECT_EQ(static_cast<jlong>(reinterpret_cast<intptr_t>(usable.AsDevice())), device);
    }
    SetPriorityClass(GetCurrentProcess(), priorityClass);
    SetThreadPriority(GetCurrentThread(), threadPriority);
}

TEST_F(RenderThreadVerification, AccessViolationReadingTheContextBecomesAnException)
{
    ReservedPage page;
    ASSERT_NE(nullptr, page.Get());
    StdoutCapture output;
    EXPECT_EQ("D3DContext verification structured exception",
              InitRenderThread(static_cast<jlong>(reinterpret_cast<intptr_t>(page.Get()))));
    EXPECT_EQ("in filter.\n", output.Stop());
}

TEST_F(RenderThreadVerification, AccessViolationInsideTheDeviceBecomesAnException)
{
    // A device pointer into unreadable memory faults on the method call.
    ReservedPage page;
    ASSERT_NE(nullptr, page.Get());
    m_context.SetDeviceEx(static_cast<IDirect3DDevice9Ex*>(page.Get()));
    StdoutCapture output;
    EXPECT_EQ("D3DContext verification structured exception", InitRenderThread());
    EXPECT_EQ("in filter.\n", output.Stop());
    // The guard is gone afterwards: a later check runs normally.
    FakeDevice lost;
    m_context.SetDeviceEx(lost.AsDevice());
    EXPECT_EQ("D3D cooperative level failed", InitRenderThread());
}

namespace
{
const DWORD kOtherException = 0xE0C0FFEE;
int g_otherExceptionsSeen = 0;

// Stands for an outer handler: continues after the exception the guard passed on.
LONG CALLBACK ContinueAfterOtherException(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode != kOtherException)
        return EXCEPTION_CONTINUE_SEARCH;
    ++g_otherExceptionsSeen;
    return EXCEPTION_CONTINUE_EXECUTION;
}
} // namespace

TEST_F(RenderThreadVerification, OtherExceptionsPassTheGuardAfterItsFilterRan)
{
    void* outer = AddVectoredExceptionHandler(0, &ContinueAfterOtherException);
    ASSERT_NE(nullptr, outer);
    FakeDevice raising;
    raising.raise = kOtherException;
    m_context.SetDeviceEx(raising.AsDevice());
    g_otherExceptionsSeen = 0;
    StdoutCapture output;
    const std::string thrown = InitRenderThread();
    const std::string printed = output.Stop();
    RemoveVectoredExceptionHandler(outer);
    // The check went on after each exception and ended as a lost device.
    EXPECT_EQ("D3D cooperative level failed", thrown);
    EXPECT_EQ(2, g_otherExceptionsSeen);
    EXPECT_EQ("in filter.\nin filter.\n", printed);
}
