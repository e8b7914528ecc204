#include "BrowserFixture.h"

#include "AxHost.h"

#include <exdisp.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

TEST_F(BrowserTest, GeometryGivenBeforeRunShapesTheCreatedWindow)
{
    ShowWindow(parent, SW_SHOWNA);
    handle = Create(nullptr);
    ASSERT_NE(0, handle);
    EXPECT_TRUE(setBounds(env, nullptr, handle, 10, 20, 300, 200));
    EXPECT_TRUE(setPos(env, nullptr, handle, 50, 60));
    EXPECT_TRUE(setSize(env, nullptr, handle, 400, 300));
    EXPECT_TRUE(show(env, nullptr, handle, JNI_TRUE));
    StartRun(parent);
    HWND host = WaitForStartedHost();
    ASSERT_NE(nullptr, host);
    EXPECT_TRUE(RectIs(host, 50, 60, 450, 360));
    EXPECT_TRUE(IsWindowVisible(host));
    const LONG_PTR style = GetWindowLongPtrW(host, GWL_STYLE);
    EXPECT_EQ(WS_CHILD | WS_DISABLED, style & (WS_CHILD | WS_DISABLED));
    EXPECT_EQ(L"", LastError());

    EXPECT_TRUE(close(env, nullptr, handle));
    ASSERT_TRUE(WaitForRunEnd());
    EXPECT_EQ(0, runResult);
    EXPECT_EQ(L"", LastError());
    EXPECT_FALSE(IsWindow(host));
    EXPECT_TRUE(deleteControl(env, nullptr, handle));
    handle = 0;
}

TEST_F(BrowserTest, WindowStartsHiddenUnlessShown)
{
    ShowWindow(parent, SW_SHOWNA);
    handle = Create(L"");
    setBounds(env, nullptr, handle, 0, 0, 100, 100);
    StartRun(parent);
    HWND host = WaitForStartedHost();
    ASSERT_NE(nullptr, host);
    EXPECT_FALSE(IsWindowVisible(host));
    EXPECT_TRUE(RectIs(host, 0, 0, 100, 100));
}

TEST_F(BrowserTest, ChangesDuringTheLoopReachTheWindow)
{
    ShowWindow(parent, SW_SHOWNA);
    handle = Create(nullptr);
    StartRun(parent);
    HWND host = WaitForHost();
    ASSERT_NE(nullptr, host);

    setBounds(env, nullptr, handle, 5, 6, 200, 100);
    EXPECT_TRUE(PumpUntil([&] { return RectIs(host, 5, 6, 205, 106); }, 5000));
    setPos(env, nullptr, handle, 30, 40);
    EXPECT_TRUE(PumpUntil([&] { return RectIs(host, 30, 40, 230, 140); }, 5000));
    setSize(env, nullptr, handle, 250, 150);
    EXPECT_TRUE(PumpUntil([&] { return RectIs(host, 30, 40, 280, 190); }, 5000));
    show(env, nullptr, handle, JNI_TRUE);
    EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(host) != FALSE; }, 5000));
    show(env, nullptr, handle, JNI_FALSE);
    EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(host) == FALSE; }, 5000));

    // The hosted control follows the host window's size.
    HWND controlWindow = GetWindow(host, GW_CHILD);
    ASSERT_NE(nullptr, controlWindow) << "the control made no window of its own";
    EXPECT_TRUE(PumpUntil(
        [&] {
            RECT rect = {};
            GetClientRect(controlWindow, &rect);
            return rect.right == 250 && rect.bottom == 150;
        },
        5000));
}

TEST_F(BrowserTest, CloseBeforeRunMakesRunReturnAtOnce)
{
    handle = Create(nullptr);
    EXPECT_TRUE(close(env, nullptr, handle));
    EXPECT_EQ(0, run(env, nullptr, handle, reinterpret_cast<intptr_t>(parent)));
    EXPECT_EQ(L"control is closed", LastError());
    EXPECT_EQ(nullptr, FindWindowExW(parent, nullptr, L"AtlAxWin120", nullptr));
    const size_t before = CountOf(ReadLogFile(), "[CAxControl] close: already closed");
    EXPECT_TRUE(close(env, nullptr, handle));
    EXPECT_EQ(before + 1, CountOf(ReadLogFile(), "[CAxControl] close: already closed")) << "a second close only logs";
}

TEST_F(BrowserTest, SecondRunWhileRunningLeavesTheFirstAlone)
{
    handle = Create(nullptr);
    StartRun(parent);
    HWND host = WaitForHost();
    ASSERT_NE(nullptr, host);
    EXPECT_EQ(0, run(env, nullptr, handle, reinterpret_cast<intptr_t>(parent)));
    EXPECT_EQ(L"", LastError());
    EXPECT_FALSE(runDone);
    EXPECT_TRUE(IsWindow(host));

    EXPECT_FALSE(deleteControl(env, nullptr, handle)) << "a running control is not deleted";
    close(env, nullptr, handle);
    ASSERT_TRUE(WaitForRunEnd());
    EXPECT_EQ(0, runResult);
    EXPECT_TRUE(deleteControl(env, nullptr, handle));
    handle = 0;
}

TEST_F(BrowserTest, ForeignQuitEndsTheLoopWithItsCodeAndCleansUp)
{
    handle = Create(nullptr);
    setBounds(env, nullptr, handle, 1, 2, 50, 50);
    StartRun(parent);
    HWND host = WaitForHost();
    ASSERT_NE(nullptr, host);
    setBounds(env, nullptr, handle, 20, 30, 120, 80);
    ASSERT_TRUE(PumpUntil([&] { return RectIs(host, 20, 30, 140, 110); }, 5000));

    const DWORD runThread = GetWindowThreadProcessId(host, nullptr);
    ASSERT_TRUE(PostThreadMessageW(runThread, WM_QUIT, 0x1234, 0));
    ASSERT_TRUE(WaitForRunEnd());
    EXPECT_EQ(0x1234, runResult);
    EXPECT_EQ(L"run: control exit error: 1234", LastError());
    EXPECT_FALSE(IsWindow(host)) << "the host window must not outlive the loop";

    // Not closed: a new run makes a new window where Java last put it.
    StartRun(parent);
    host = WaitForHost();
    ASSERT_NE(nullptr, host);
    EXPECT_TRUE(RectIs(host, 20, 30, 140, 110));
}

TEST_F(BrowserTest, ChildWindowWithoutParentCannotBeCreated)
{
    handle = Create(nullptr);
    EXPECT_EQ(0xFFFFFFFELL, run(env, nullptr, handle, 0));
    // ERROR_TLW_WITH_WSCHILD: a child window needs a parent.
    EXPECT_EQ(L"ERROR creating control CreateWindow failed for parent 0000000000000000 with result 57e\n\n",
              LastError());

    // The control stays usable.
    StartRun(parent);
    EXPECT_NE(nullptr, WaitForHost());
}

TEST_F(BrowserTest, ZeroHandleDoesNothing)
{
    EXPECT_EQ(-1, run(env, nullptr, 0, reinterpret_cast<intptr_t>(parent)));
    EXPECT_FALSE(close(env, nullptr, 0));
    EXPECT_FALSE(deleteControl(env, nullptr, 0));
    EXPECT_EQ(nullptr, lastError(env, nullptr, 0));
    EXPECT_FALSE(setBounds(env, nullptr, 0, 1, 2, 3, 4));
    EXPECT_FALSE(setPos(env, nullptr, 0, 1, 2));
    EXPECT_FALSE(setSize(env, nullptr, 0, 1, 2));
    EXPECT_FALSE(show(env, nullptr, 0, JNI_TRUE));
    EXPECT_EQ(0u, jni.StringsMadeThroughJni());
}

namespace
{
// What the test reads from the control on the control's own thread.
struct BrowserState
{
    HRESULT queried = E_FAIL;
    VARIANT_BOOL silent = VARIANT_FALSE;
    HRESULT urlResult = E_FAIL;
    std::wstring url;
};

const UINT kInspectMessage = WM_APP + 7;

LRESULT CALLBACK InspectingParentProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kInspectMessage)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    auto* state = reinterpret_cast<BrowserState*>(lParam);
    ComPtr<IUnknown> control;
    ComPtr<IWebBrowser2> browser;
    HWND host = FindWindowExW(hwnd, nullptr, L"AtlAxWin120", nullptr);
    state->queried = AtlAxGetControl(host, &control);
    if (SUCCEEDED(state->queried))
        state->queried = control.As(&browser);
    if (SUCCEEDED(state->queried))
    {
        browser->get_Silent(&state->silent);
        BSTR url = nullptr;
        state->urlResult = browser->get_LocationURL(&url);
        if (url)
            state->url = url;
        SysFreeString(url);
    }
    return 1;
}
} // namespace

class BrowserInspectTest : public BrowserTest
{
protected:
    // Runs a control for url with a parent owned by the run thread, so that the
    // test reads the control in the control's own apartment, then closes it.
    BrowserState RunAndInspect(const wchar_t* url)
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = InspectingParentProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QvTestInspectingParent";
        RegisterClassW(&wc);

        handle = Create(url);
        std::atomic<HWND> ownParent{nullptr};
        runDone = false;
        runner = std::thread([&] {
            HWND window = CreateWindowExW(0, L"QvTestInspectingParent", L"", WS_POPUP, 0, 0, 400, 300, nullptr,
                                          nullptr, wc.hInstance, nullptr);
            ownParent = window;
            runResult = run(env, nullptr, handle, reinterpret_cast<intptr_t>(window));
            DestroyWindow(window);
            runDone = true;
        });
        BrowserState state;
        if (PumpUntil([&] { return ownParent.load() && FindWindowExW(ownParent, nullptr, L"AtlAxWin120", nullptr); },
                      15000))
            SendMessageW(ownParent, kInspectMessage, 0, reinterpret_cast<LPARAM>(&state));
        close(env, nullptr, handle);
        EXPECT_TRUE(WaitForRunEnd());
        EXPECT_EQ(0, runResult);
        EXPECT_EQ(L"", LastError());
        return state;
    }
};

TEST_F(BrowserInspectTest, BrowserIsSilentAndOpensTheGivenAddress)
{
    const BrowserState state = RunAndInspect(L"http://127.0.0.1:9/qvfx-test");
    EXPECT_EQ(S_OK, state.queried);
    EXPECT_EQ(VARIANT_TRUE, state.silent);
    EXPECT_EQ(S_OK, state.urlResult);
    EXPECT_EQ(L"http://127.0.0.1:9/qvfx-test", state.url);
}

TEST_F(BrowserInspectTest, NullAddressOpensAboutBlankAndEmptyOpensNothing)
{
    BrowserState state = RunAndInspect(nullptr);
    EXPECT_EQ(VARIANT_TRUE, state.silent);
    EXPECT_EQ(L"about:blank", state.url);

    deleteControl(env, nullptr, handle);
    handle = 0;
    state = RunAndInspect(L"");
    EXPECT_EQ(S_OK, state.queried);
    EXPECT_EQ(VARIANT_TRUE, state.silent);
    EXPECT_EQ(L"", state.url);
}
