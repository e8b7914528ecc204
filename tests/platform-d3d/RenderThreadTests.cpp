// The render thread's device capture and the message thread's priority boost,
// where no Java exception is involved.
#include "D3dTestContext.h"
#include "ShareTestDevice.h"

#include "com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitNGNode.h"
#include "com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitView.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace
{
jlong WindowValue(HWND hwnd)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(hwnd));
}

// Puts the process and thread priorities back when a test ends.
class PriorityRestorer
{
public:
    ~PriorityRestorer()
    {
        SetPriorityClass(GetCurrentProcess(), m_class);
        SetThreadPriority(GetCurrentThread(), m_thread);
    }

private:
    DWORD m_class = GetPriorityClass(GetCurrentProcess());
    int m_thread = GetThreadPriority(GetCurrentThread());
};

class RenderThreadDevice : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, m_device.Create());
        m_window.Reset(CreateWindowExW(0, L"STATIC", L"javafx", WS_POPUP, 0, 0, 64, 64, nullptr, nullptr,
                                       GetModuleHandleW(nullptr), nullptr));
        ASSERT_NE(nullptr, m_window.Get());
        m_context.SetDevices(m_device.Get());
        m_context.SetMaxTextureSize(8192, 8192);
    }

    jlong InitRenderThread(JNIEnv* env, HWND hwnd)
    {
        return Java_com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitNGNode__1nInitRenderThread(
            env, nullptr, WindowValue(hwnd), m_context.Address());
    }

    ShareTestDevice m_device;
    UniqueWindow m_window;
    FakeD3DContext m_context;
    PriorityRestorer m_priorities;
};
} // namespace

TEST_F(RenderThreadDevice, AcceptedDeviceIsReturnedAndRenderingRunsAtTopPriority)
{
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    // A null environment: an accepted device throws nothing.
    EXPECT_EQ(static_cast<jlong>(reinterpret_cast<intptr_t>(m_device.Get())), InitRenderThread(nullptr, m_window.Get()));
    EXPECT_EQ(static_cast<DWORD>(HIGH_PRIORITY_CLASS), GetPriorityClass(GetCurrentProcess()));
    EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, GetThreadPriority(GetCurrentThread()));
}

TEST_F(RenderThreadDevice, SmallestAcceptedTextureSizeIsHdReady)
{
    m_context.SetMaxTextureSize(1280, 720);
    EXPECT_NE(0, InitRenderThread(nullptr, m_window.Get()));
    m_context.SetMaxTextureSize(65534, 65534);
    EXPECT_NE(0, InitRenderThread(nullptr, m_window.Get()));
}

TEST_F(RenderThreadDevice, NoWindowOrADeadOneReturnsZeroWithoutAnException)
{
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    // A null environment would crash any attempt to throw.
    EXPECT_EQ(0, InitRenderThread(nullptr, nullptr));
    HWND dead = CreateWindowExW(0, L"STATIC", L"gone", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, dead);
    DestroyWindow(dead);
    EXPECT_EQ(0, InitRenderThread(nullptr, dead));
    EXPECT_EQ(0, Java_com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitNGNode__1nInitRenderThread(
                     nullptr, nullptr, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(NORMAL_PRIORITY_CLASS), GetPriorityClass(GetCurrentProcess()));
}

TEST(MessageThread, AWindowBoostsTheThreadAndIsReturned)
{
    PriorityRestorer priorities;
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(0, Java_com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitView__1nInitMessageThread(nullptr,
                                                                                                         nullptr, 0));
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(GetCurrentThread()));

    UniqueWindow window;
    window.Reset(CreateWindowExW(0, L"STATIC", L"javafx", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(nullptr, window.Get());
    EXPECT_EQ(WindowValue(window.Get()),
              Java_com_quorvane_player_platform_impl_ui_view_win_d3d_D3DInitView__1nInitMessageThread(
                  nullptr, nullptr, WindowValue(window.Get())));
    EXPECT_EQ(static_cast<DWORD>(HIGH_PRIORITY_CLASS), GetPriorityClass(GetCurrentProcess()));
    EXPECT_EQ(THREAD_PRIORITY_HIGHEST, GetThreadPriority(GetCurrentThread()));
}
