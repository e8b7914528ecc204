#include "HelperWindow.h"

#include "TestProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{
const UINT kHandled = WM_APP + 1;
const UINT kDeclined = WM_APP + 2;

struct RecordingHandler : WndMessageHandler
{
    std::vector<UINT> messages;
    BOOL OnWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM, LRESULT* result) override
    {
        messages.push_back(message);
        if (message == kHandled)
        {
            *result = static_cast<LRESULT>(wParam * 2);
            return TRUE;
        }
        if (message == kDeclined)
            *result = 77; // ignored: the handler says it did not handle the message
        return FALSE;
    }
    bool Saw(UINT message) const
    {
        for (UINT m : messages)
            if (m == message)
                return true;
        return false;
    }
};
} // namespace

TEST(HelperWindow, MessageOnlyWindowRoutesMessagesToItsHandler)
{
    RecordingHandler handler;
    HelperWindow window(L"QvTestMsgOnly", &handler);
    ASSERT_EQ(S_OK, window.Create(nullptr, true));
    ASSERT_TRUE(IsWindow(window.GetHwnd()));
    EXPECT_EQ(window.GetHwnd(), FindWindowExW(HWND_MESSAGE, nullptr, L"QvTestMsgOnly", nullptr));
    EXPECT_FALSE(IsWindowVisible(window.GetHwnd()));

    EXPECT_EQ(42, SendMessageW(window.GetHwnd(), kHandled, 21, 0));
    // Declined: the answer is the default processing's, 0 for an application message.
    EXPECT_EQ(0, SendMessageW(window.GetHwnd(), kDeclined, 0, 0));
    EXPECT_TRUE(handler.Saw(kDeclined));
}

TEST(HelperWindow, PopupFormIsAHiddenSixteenPixelWindowAtThreeHundredZero)
{
    HelperWindow window(L"QvTestPopup", nullptr);
    ASSERT_EQ(S_OK, window.Create(nullptr, false));
    HWND hwnd = window.GetHwnd();
    RECT rect = {};
    GetWindowRect(hwnd, &rect);
    EXPECT_EQ(300, rect.left);
    EXPECT_EQ(0, rect.top);
    EXPECT_EQ(16, rect.right - rect.left);
    EXPECT_EQ(16, rect.bottom - rect.top);
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_TRUE(GetWindowLongW(hwnd, GWL_STYLE) & WS_POPUP);
    EXPECT_EQ(static_cast<LONG>(WS_EX_NOACTIVATE | WS_EX_NOPARENTNOTIFY),
              GetWindowLongW(hwnd, GWL_EXSTYLE) & (WS_EX_NOACTIVATE | WS_EX_NOPARENTNOTIFY));
    // Without a handler every message gets default processing.
    EXPECT_EQ(0, SendMessageW(hwnd, kHandled, 1, 0));
}

TEST(HelperWindow, ChildFormLivesInsideItsParent)
{
    HelperWindow parent(L"QvTestParent", nullptr);
    ASSERT_EQ(S_OK, parent.Create(nullptr, false));
    HelperWindow child(L"QvTestChild", nullptr);
    ASSERT_EQ(S_OK, child.Create(parent.GetHwnd(), true));
    EXPECT_EQ(parent.GetHwnd(), GetParent(child.GetHwnd()));
    EXPECT_TRUE(GetWindowLongW(child.GetHwnd(), GWL_STYLE) & WS_CHILD);
}

TEST(HelperWindow, SecondWindowOfTheSameClassReusesTheRegistration)
{
    RecordingHandler first, second;
    HelperWindow a(L"QvTestShared", &first);
    HelperWindow b(L"QvTestShared", &second);
    ASSERT_EQ(S_OK, a.Create(nullptr, true));
    ASSERT_EQ(S_OK, b.Create(nullptr, true));
    EXPECT_EQ(2, SendMessageW(a.GetHwnd(), kHandled, 1, 0));
    EXPECT_EQ(6, SendMessageW(b.GetHwnd(), kHandled, 3, 0));
    EXPECT_EQ(1, std::count(first.messages.begin(), first.messages.end(), kHandled));
    EXPECT_EQ(1, std::count(second.messages.begin(), second.messages.end(), kHandled));
}

// Players start on threads of their own: the first windows of a class may be
// made at the same moment, and each must be made.
TEST(HelperWindow, FirstWindowsOfAClassMadeAtOnceOnManyThreadsAreAllCreated)
{
    const int kThreads = 16;
    for (int round = 0; round < 40; ++round)
    {
        const std::wstring className = L"QvTestRace" + std::to_wstring(round);
        std::vector<HRESULT> results(kThreads, E_PENDING);
        std::atomic<int> waiting{kThreads};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] {
                RecordingHandler handler;
                HelperWindow window(className, &handler);
                for (--waiting; waiting > 0;)
                    std::this_thread::yield();
                results[i] = window.Create(nullptr, true);
            });
        for (std::thread& thread : threads)
            thread.join();
        for (int i = 0; i < kThreads; ++i)
            ASSERT_EQ(S_OK, results[i]) << "round " << round << ", thread " << i;
    }
}

TEST(HelperWindow, PaintAndDestroyNeverReachTheHandler)
{
    RecordingHandler handler;
    HelperWindow window(L"QvTestPaint", &handler);
    ASSERT_EQ(S_OK, window.Create(nullptr, false));
    HWND hwnd = window.GetHwnd();
    SendMessageW(hwnd, WM_PAINT, 0, 0);
    DestroyWindow(hwnd);
    EXPECT_EQ(nullptr, window.GetHwnd());
    EXPECT_FALSE(handler.Saw(WM_PAINT));
    EXPECT_FALSE(handler.Saw(WM_DESTROY));
    EXPECT_TRUE(handler.Saw(WM_NCDESTROY));
}

TEST(HelperWindow, PostCloseFromAnotherThreadEndsTheWindowThroughTheLoop)
{
    RecordingHandler handler;
    HelperWindow window(L"QvTestClose", &handler);
    ASSERT_EQ(S_OK, window.Create(nullptr, true));
    HWND hwnd = window.GetHwnd();
    HANDLE thread = CreateThread(
        nullptr, 0, [](void* p) -> DWORD { static_cast<HelperWindow*>(p)->PostClose(); return 0; }, &window, 0,
        nullptr);
    UniqueHandle owner(thread);
    EXPECT_TRUE(PumpUntil([&] { return window.GetHwnd() == nullptr; }, 5000));
    EXPECT_TRUE(handler.Saw(WM_CLOSE));
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(HelperWindow, DestroyedOnAnotherThreadItsWindowStaysButNoLongerReachesTheHandler)
{
    RecordingHandler handler;
    auto window = std::make_unique<HelperWindow>(L"QvTestForeign", &handler);
    HWND hwnd = nullptr;
    DWORD ownerId = 0;
    UniqueHandle created(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread owner([&] {
        window->Create(nullptr, true);
        hwnd = window->GetHwnd();
        ownerId = GetCurrentThreadId();
        SetEvent(created.Get());
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(created.Get(), 5000));
    window.reset(); // DestroyWindow fails on a thread that did not create the window
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_EQ(0, SendMessageW(hwnd, kHandled, 21, 0));
    EXPECT_FALSE(handler.Saw(kHandled));
    PostThreadMessageW(ownerId, WM_QUIT, 0, 0);
    owner.join();
}

TEST(HelperWindow, FailedCreateReportsTheSystemError)
{
    HelperWindow window(L"QvTestBadParent", nullptr);
    HRESULT hr = window.Create(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7FFF0001)), false);
    EXPECT_EQ(HResultFromWin32(ERROR_INVALID_WINDOW_HANDLE), hr);
    EXPECT_EQ(nullptr, window.GetHwnd());
}
