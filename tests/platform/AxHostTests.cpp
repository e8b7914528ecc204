// The hosting layer and CAxControl linked directly, with this program as the
// hosting module, so that failure paths the WebBrowser never takes can be
// driven by controls of the test's own.
#include "AxControl.h"
#include "AxHost.h"
#include "AxModuleInitializer.h"
#include "Handles.h"
#include "TestProcess.h"

#include <exdisp.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using Microsoft::WRL::ComPtr;

namespace
{
const wchar_t kMissingClsid[] = L"{0C0FFEE0-0000-4000-8000-0000000000AB}";

// A control whose start-up hook refuses.
class RefusingControl : public CAxControl
{
public:
    RefusingControl() : CAxControl(CAxBrowserControl::kWebBrowserClsid) {}

protected:
    bool initControl() override { return false; }
};

// A parent window on the test thread plus a control running on its own thread.
class HostedControlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QvTestHostParent";
        RegisterClassW(&wc);
        parent = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 640, 480, nullptr, nullptr, wc.hInstance,
                                 nullptr);
        ASSERT_NE(nullptr, parent);
    }
    void TearDown() override { DestroyWindow(parent); }

    // Runs control.run(parent) on a new thread, pumping this one meanwhile.
    uint32_t RunOnThread(CAxControl& control)
    {
        std::atomic<bool> done{false};
        uint32_t result = 0;
        std::thread runner([&] {
            result = control.run(parent);
            done = true;
        });
        const bool ended = PumpUntil([&] { return done.load(); }, 15000);
        if (ended)
            runner.join();
        else
            runner.detach();
        EXPECT_TRUE(ended);
        return result;
    }

    HWND Host() { return FindWindowExW(parent, nullptr, L"AtlAxWin120", nullptr); }

    CAxHostModule module;
    AxModuleInitializer hosting;
    HWND parent = nullptr;
};
} // namespace

TEST(AxHostSite, AnswersItsSiteInterfacesAndEndsAtZero)
{
    CAxHostSite* site = CAxHostSite::Create(nullptr);
    ASSERT_NE(nullptr, site);
    const IID answered[] = {IID_IUnknown, IID_IOleClientSite, IID_IOleWindow, IID_IOleInPlaceSite,
                            IID_IOleInPlaceUIWindow, IID_IOleInPlaceFrame};
    for (const IID& iid : answered)
    {
        ComPtr<IUnknown> answer;
        EXPECT_EQ(S_OK, site->QueryInterface(iid, reinterpret_cast<void**>(answer.GetAddressOf())));
        EXPECT_NE(nullptr, answer);
    }
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, site->QueryInterface(IID_IDispatch, &none));
    EXPECT_EQ(nullptr, none);

    // Every interface leads back to one object.
    ComPtr<IOleInPlaceSite> inPlace;
    ComPtr<IOleInPlaceFrame> frame;
    site->QueryInterface(IID_PPV_ARGS(&inPlace));
    site->QueryInterface(IID_PPV_ARGS(&frame));
    ComPtr<IUnknown> fromSite;
    ComPtr<IUnknown> fromFrame;
    inPlace.As(&fromSite);
    frame.As(&fromFrame);
    EXPECT_EQ(fromSite.Get(), fromFrame.Get());
    inPlace.Reset();
    frame.Reset();
    fromSite.Reset();
    fromFrame.Reset();
    EXPECT_EQ(0u, site->Release());
}

TEST_F(HostedControlTest, SiteGivesItselfAsFrameAndTheHostArea)
{
    CAxHostSite* site = CAxHostSite::Create(parent);
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    RECT position = {};
    RECT clip = {};
    OLEINPLACEFRAMEINFO info = {};
    info.cb = sizeof(info);
    EXPECT_EQ(S_OK, site->GetWindowContext(&frame, &document, &position, &clip, &info));
    EXPECT_NE(nullptr, frame);
    EXPECT_EQ(nullptr, document);
    EXPECT_EQ(640, position.right);
    EXPECT_EQ(480, position.bottom);
    HWND window = nullptr;
    EXPECT_EQ(S_OK, site->GetWindow(&window));
    EXPECT_EQ(parent, window);
    frame.Reset();
    EXPECT_EQ(0u, site->Release());
}

TEST_F(HostedControlTest, HostWindowGivesOutTheControlItNames)
{
    ScopedComInit com(COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(hosting.IsHostingInitialized()) << std::string(hosting.GetInitError().begin(), hosting.GetInitError().end());
    HWND browserHost = CreateWindowExW(0, L"AtlAxWin120", CAxBrowserControl::kWebBrowserClsid, WS_CHILD | WS_VISIBLE,
                                       0, 0, 200, 100, parent, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, browserHost);
    ComPtr<IUnknown> control;
    EXPECT_EQ(S_OK, AtlAxGetControl(browserHost, &control));
    ComPtr<IWebBrowser2> browser;
    EXPECT_EQ(S_OK, control.As(&browser));
    browser.Reset();
    control.Reset();

    HWND emptyHost = CreateWindowExW(0, L"AtlAxWin120", kMissingClsid, WS_CHILD, 0, 0, 10, 10, parent, nullptr,
                                     nullptr, nullptr);
    ASSERT_NE(nullptr, emptyHost) << "the window exists even when its control cannot be made";
    IUnknown* none = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(E_FAIL, AtlAxGetControl(emptyHost, &none));
    EXPECT_EQ(nullptr, none);
    none = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(E_FAIL, AtlAxGetControl(parent, &none)) << "not a host window";
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, AtlAxGetControl(browserHost, nullptr));

    DestroyWindow(emptyHost);
    DestroyWindow(browserHost);
}

TEST_F(HostedControlTest, ControlThatIsNotObtainedLeavesNoWindowBehind)
{
    class MissingControl : public CAxControl
    {
    public:
        MissingControl() : CAxControl(kMissingClsid) {}
    } control;
    EXPECT_EQ(0xFFFFFFFEu, RunOnThread(control));
    EXPECT_EQ(L"ERROR creating control AtlAxGetControl error 0x80004005\n\n", control.getLastError());
    EXPECT_EQ(nullptr, Host());
    // Not "control already created": the failed window is gone.
    EXPECT_EQ(0xFFFFFFFEu, RunOnThread(control));
    EXPECT_EQ(L"ERROR creating control AtlAxGetControl error 0x80004005\n\n", control.getLastError());
}

TEST_F(HostedControlTest, RefusedStartClosesAndDestroysTheHost)
{
    RefusingControl control;
    EXPECT_EQ(0xFFFFFFFDu, RunOnThread(control));
    EXPECT_FALSE(control.isRunning());
    EXPECT_EQ(nullptr, Host()) << "host window and control must not outlive the failed start";
    EXPECT_EQ(0u, RunOnThread(control));
    EXPECT_EQ(L"control is closed", control.getLastError());
}

TEST_F(HostedControlTest, RunBalancesComOnAThreadThatHadItAlready)
{
    CAxBrowserControl control(L"");
    HRESULT again = E_FAIL;
    uint32_t result = 0;
    std::thread runner([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        result = control.run(parent);
        CoUninitialize();
        // S_OK only when run left the thread's COM count as it found it.
        again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CoUninitialize();
    });
    runner.join();
    EXPECT_EQ(0xFFFFFFFFu, result);
    EXPECT_EQ(L"CoInitializeEx failed", control.getLastError());
    EXPECT_EQ(S_OK, again);
}

TEST_F(HostedControlTest, ErrorTextKeepsTheFirstUnlessReplaced)
{
    CAxBrowserControl control(L"");
    EXPECT_EQ(L"", control.getLastError());
    control.setLastError(L"first", false);
    control.setLastError(L"second", false);
    EXPECT_EQ(L"first", control.getLastError());
    control.setLastError(L"third", true);
    EXPECT_EQ(L"third", control.getLastError());
    control.clearLastError();
    EXPECT_EQ(L"", control.getLastError());
}

namespace
{
CAxControl* g_closeOnChildCreation = nullptr; // borrowed for one test

LRESULT CALLBACK ClosingParentProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PARENTNOTIFY && LOWORD(wParam) == WM_CREATE && g_closeOnChildCreation)
        g_closeOnChildCreation->close();
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
} // namespace

TEST_F(HostedControlTest, CloseWhileTheWindowIsBeingCreatedStillEndsTheRun)
{
    // The parent hears of its new child while run has checked "closed" but has
    // not stored the window yet: the close finds no window to post to.
    WNDCLASSW wc = {};
    wc.lpfnWndProc = ClosingParentProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QvTestClosingParent";
    RegisterClassW(&wc);
    DestroyWindow(parent);
    parent = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr, wc.hInstance,
                             nullptr);
    ASSERT_NE(nullptr, parent);

    CAxBrowserControl control(L"");
    g_closeOnChildCreation = &control;
    EXPECT_EQ(0u, RunOnThread(control));
    g_closeOnChildCreation = nullptr;
    EXPECT_EQ(nullptr, Host());
}

TEST(AxModule, WithoutHostingTheControlReportsTheModuleError)
{
    ASSERT_FALSE(AxModuleInitializer::IsHostingInitialized());
    CAxBrowserControl control(L"");
    std::thread runner([&] { EXPECT_EQ(0xFFFFFFFEu, control.run(nullptr)); });
    runner.join();
    EXPECT_EQ(L"ERROR creating control module init error: \n", control.getLastError());
}
