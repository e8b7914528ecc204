// A browser control of the loaded library on a real parent window: the
// parent belongs to the test thread (as Java's window belongs to its UI
// thread), nControlRun runs on a thread of its own.
#pragma once

#include "JniStandIn.h"
#include "QvfxLibrary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#define QV_BROWSER(name) Java_com_quorvane_player_platform_impl_ui_view_win_WinBrowser_##name

class BrowserTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, library.Module());
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QvTestBrowserParent";
        RegisterClassW(&wc);
        // Hidden unless a test shows it: under Wine without a window manager,
        // destroying a shown window waits 2 s for the X server.
        parent = CreateWindowExW(0, L"QvTestBrowserParent", L"parent", WS_POPUP, 100, 100, 800, 600, nullptr,
                                 nullptr, wc.hInstance, nullptr);
        ASSERT_NE(nullptr, parent);
    }

    void TearDown() override
    {
        if (runner.joinable())
        {
            close(env, nullptr, handle);
            WaitForRunEnd();
        }
        if (handle)
            deleteControl(env, nullptr, handle);
        DestroyWindow(parent);
        EXPECT_EQ(0u, jni.PinnedStrings());
    }

    jlong Create(const wchar_t* url) { return create(env, nullptr, url ? jni.NewJavaString(url) : nullptr); }

    void StartRun(HWND parentWindow)
    {
        runDone = false;
        runner = std::thread([this, parentWindow] {
            runResult = run(env, nullptr, handle, static_cast<jlong>(reinterpret_cast<intptr_t>(parentWindow)));
            runDone = true;
        });
    }

    // Pumps the parent's thread meanwhile: creating a child window sends to it.
    bool WaitForRunEnd(DWORD timeoutMs = 15000)
    {
        const bool ended = PumpUntil([this] { return runDone.load(); }, timeoutMs);
        if (ended)
            runner.join();
        else
            runner.detach(); // a hung run thread must not hang the whole program
        return ended;
    }

    HWND WaitForHost(DWORD timeoutMs = 15000)
    {
        HWND host = nullptr;
        PumpUntil([&] { return (host = FindWindowExW(parent, nullptr, L"AtlAxWin120", nullptr)) != nullptr; },
                  timeoutMs);
        return host;
    }

    // The host once its control exists and its creation has finished.
    HWND WaitForStartedHost()
    {
        HWND host = WaitForHost();
        if (host && PumpUntil([&] { return GetWindow(host, GW_CHILD) != nullptr; }, 15000))
            PumpUntil([] { return false; }, 300);
        return host;
    }

    // The window's rectangle in its parent's client coordinates.
    static RECT ClientRect(HWND window)
    {
        RECT rect = {};
        GetWindowRect(window, &rect);
        MapWindowPoints(HWND_DESKTOP, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    }

    static bool RectIs(HWND window, LONG left, LONG top, LONG right, LONG bottom)
    {
        const RECT rect = ClientRect(window);
        return rect.left == left && rect.top == top && rect.right == right && rect.bottom == bottom;
    }

    std::wstring LastError() { return JniStandIn::Text(lastError(env, nullptr, handle)); }

    QvfxLibrary library;
    JniStandIn jni;
    JNIEnv* env = jni.Env();
    HWND parent = nullptr;
    jlong handle = 0;
    std::thread runner;
    std::atomic<bool> runDone{false};
    std::atomic<jlong> runResult{0};

    decltype(&QV_BROWSER(nCreateControl)) create = QV_EXPORT(library, QV_BROWSER(nCreateControl));
    decltype(&QV_BROWSER(nControlRun)) run = QV_EXPORT(library, QV_BROWSER(nControlRun));
    decltype(&QV_BROWSER(nCloseControl)) close = QV_EXPORT(library, QV_BROWSER(nCloseControl));
    decltype(&QV_BROWSER(nDeleteControl)) deleteControl = QV_EXPORT(library, QV_BROWSER(nDeleteControl));
    decltype(&QV_BROWSER(nGetLastError)) lastError = QV_EXPORT(library, QV_BROWSER(nGetLastError));
    decltype(&QV_BROWSER(nSetBounds)) setBounds = QV_EXPORT(library, QV_BROWSER(nSetBounds));
    decltype(&QV_BROWSER(nSetPos)) setPos = QV_EXPORT(library, QV_BROWSER(nSetPos));
    decltype(&QV_BROWSER(nSetSize)) setSize = QV_EXPORT(library, QV_BROWSER(nSetSize));
    decltype(&QV_BROWSER(nShow)) show = QV_EXPORT(library, QV_BROWSER(nShow));
};
