#include "AxControl.h"

#include "AxHost.h"
#include "AxModuleInitializer.h"
#include "Handles.h"
#include "HelperWindow.h"
#include "HexText.h"
#include "Log.h"
#include "Utf8.h"

#include <sstream>
#include <utility>

using Microsoft::WRL::ComPtr;

namespace
{
const char kTag[] = "CAxControl";
// SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER | SWP_ASYNCWINDOWPOS:
// callers are Java threads that must not wait for the run thread.
const UINT kMoveFlags = 0x4214;

const uint32_t kRunComFailed = 0xFFFFFFFF;
const uint32_t kRunCreateFailed = 0xFFFFFFFE;
const uint32_t kRunInitFailed = 0xFFFFFFFD;

void Dispatch(MSG& msg)
{
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}
} // namespace

CAxControl::CAxControl(std::wstring controlName) : m_controlName(std::move(controlName))
{
}

CAxControl::~CAxControl()
{
    if (m_hwndHost || m_pControl || m_running)
        Log(kTag, "WARN: control is not properly destroyed");
    m_running = false;
    m_closed = true;
}

uint32_t CAxControl::run(HWND parent)
{
    Log(kTag, "run: entering");
    // Balanced on every way out, S_FALSE included (the thread had COM already).
    ScopedComInit com(COINIT_APARTMENTTHREADED);
    if (com.Result() != S_OK)
    {
        setLastError(L"CoInitializeEx failed", true);
        return kRunComFailed;
    }
    uint32_t failure = 0;
    if (!start(parent, failure))
        return failure;
    return end(pumpUntilClosed());
}

bool CAxControl::start(HWND parent, uint32_t& failure)
{
    Log(kTag, "run: creating control");
    {
        CScopedLock lock(m_stateLock);
        if (m_closed)
        {
            setLastError(L"control is closed", false);
            return false;
        }
        if (m_running)
            return false;
        m_running = true;
    }

    if (!createControl(parent))
    {
        {
            CScopedLock lock(m_stateLock);
            m_running = false;
        }
        setLastError(L"ERROR creating control " + getLastError() + L"\n", true);
        failure = kRunCreateFailed;
        return false;
    }
    if (!initControl())
    {
        close();
        destroyHost();
        CScopedLock lock(m_stateLock);
        m_running = false;
        failure = kRunInitFailed;
        return false;
    }
    return true;
}

uint32_t CAxControl::pumpUntilClosed()
{
    Log(kTag, "running control loop");
    MSG msg = {};
    BOOL result;
    while ((result = GetMessageW(&msg, nullptr, 0, 0)) != 0)
    {
        if (result == -1)
            return static_cast<uint32_t>(HResultFromWin32(GetLastError()));
        if (msg.message != WM_CLOSE)
        {
            Dispatch(msg);
            continue;
        }
        // WM_CLOSE for any window of the thread ends the control: release it,
        // let the close go through, drain what is queued and quit.
        do
        {
            if (msg.message == WM_CLOSE)
            {
                releaseControl();
                ComPtr<IUnknown> control;
                {
                    CScopedLock lock(m_stateLock);
                    control.Swap(m_pControl);
                }
            }
            Dispatch(msg);
        } while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
        PostQuitMessage(0);
    }
    return static_cast<uint32_t>(msg.wParam);
}

uint32_t CAxControl::end(uint32_t exitCode)
{
    Log(kTag, "run: control loop is finishing");
    // A quit posted by someone else leaves the window and control alive.
    destroyHost();

    {
        CScopedLock lock(m_stateLock);
        m_hwndHost = nullptr;
        m_pControl.Reset();
        m_running = false;
    }
    if (exitCode == 0)
    {
        Log(kTag, "run: succesfully finished, exiting with result 0");
        return 0;
    }
    const std::wstring text = L"run: control exit error: " + HexW(exitCode);
    if (getLastError().empty())
        setLastError(text, true);
    else
        Log(kTag, ToUtf8OrPlaceholder(text));
    return exitCode;
}

void CAxControl::destroyHost()
{
    HWND hwnd = nullptr;
    bool hadControl = false;
    {
        CScopedLock lock(m_stateLock);
        hwnd = m_hwndHost;
        hadControl = m_pControl != nullptr;
    }
    if (hadControl)
        releaseControl();
    ComPtr<IUnknown> control;
    {
        CScopedLock lock(m_stateLock);
        control.Swap(m_pControl);
        m_hwndHost = nullptr;
    }
    control.Reset();
    if (hwnd && IsWindow(hwnd))
    {
        MSG stale;
        while (PeekMessageW(&stale, hwnd, WM_CLOSE, WM_CLOSE, PM_REMOVE))
        {
        }
        DestroyWindow(hwnd);
    }
}

void CAxControl::close()
{
    Log(kTag, "close");
    HWND hwnd = nullptr;
    bool alreadyClosed;
    {
        CScopedLock lock(m_stateLock);
        alreadyClosed = m_closed;
        m_closed = true;
        hwnd = m_hwndHost;
    }
    if (alreadyClosed)
    {
        Log(kTag, "close: already closed");
        return;
    }
    if (hwnd)
    {
        Log(kTag, "close: posting close message");
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
    }
}

bool CAxControl::createControl(HWND parent)
{
    Log(kTag, "createControl");
    clearLastError();
    {
        CScopedLock lock(m_stateLock);
        if (m_closed)
        {
            setLastError(L"control terminated", true);
            return false;
        }
        if (m_hwndHost || m_pControl)
        {
            setLastError(L"control already created", true);
            return false;
        }
    }
    if (!AxModuleInitializer::IsHostingInitialized())
    {
        setLastError(L"module init error: " + AxModuleInitializer::GetInitError(), true);
        return false;
    }

    RECT bounds;
    bool visible;
    {
        CScopedLock lock(m_stateLock);
        bounds = m_bounds;
        visible = m_visible;
    }
    Log(kTag, "createControl: CreateWindow");
    const DWORD style = WS_CHILD | WS_DISABLED | (visible ? WS_VISIBLE : 0);
    HWND hwnd = CreateWindowExW(0, L"AtlAxWin120", m_controlName.c_str(), style, bounds.left, bounds.top,
                                bounds.right - bounds.left, bounds.bottom - bounds.top, parent, nullptr, nullptr,
                                nullptr);
    const DWORD createError = GetLastError();
    bool closedMeanwhile = false;
    {
        CScopedLock lock(m_stateLock);
        m_hwndHost = hwnd;
        if (!hwnd)
        {
            setLastError(L"CreateWindow failed for parent " + HexPointerW(parent) + L" with result " +
                             HexW(createError) + L"\n",
                         true);
            return false;
        }
        // Java may have moved, sized or shown the control while the window was made.
        if (m_visible != visible)
            ShowWindow(hwnd, m_visible ? SW_SHOW : SW_HIDE);
        if (!EqualRect(&m_bounds, &bounds))
            SetWindowPos(hwnd, nullptr, m_bounds.left, m_bounds.top, m_bounds.right - m_bounds.left,
                         m_bounds.bottom - m_bounds.top, kMoveFlags);
        // A close that came before the window existed had nothing to post to.
        closedMeanwhile = m_closed;
    }
    if (closedMeanwhile)
    {
        Log(kTag, "close: posting close message");
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
    }

    ComPtr<IUnknown> control;
    const HRESULT hr = AtlAxGetControl(hwnd, &control);
    {
        CScopedLock lock(m_stateLock);
        m_pControl = control;
        if (!control || hr != S_OK)
        {
            m_pControl.Reset();
            setLastError(L"AtlAxGetControl error 0x" + HexW(static_cast<unsigned long>(hr)) + L"\n", true);
        }
    }
    if (!control || hr != S_OK)
    {
        // An empty host window is of no use and would block a later run.
        destroyHost();
        return false;
    }
    Log(kTag, "createControl success");
    return true;
}

ComPtr<IUnknown> CAxControl::getControl()
{
    CScopedLock lock(m_stateLock);
    return m_pControl;
}

bool CAxControl::initControl()
{
    return true;
}

void CAxControl::releaseControl()
{
}

// Bounds and visibility are always recorded, so that a later run (after a
// loop ended by a foreign quit) creates the window where Java last put it.
void CAxControl::setBounds(int x, int y, int width, int height)
{
    HWND hwnd;
    {
        CScopedLock lock(m_stateLock);
        hwnd = m_hwndHost;
        m_bounds = {x, y, x + width, y + height};
    }
    if (hwnd)
        SetWindowPos(hwnd, nullptr, x, y, width, height, kMoveFlags);
}

void CAxControl::setPos(int x, int y)
{
    HWND hwnd;
    {
        CScopedLock lock(m_stateLock);
        hwnd = m_hwndHost;
        const LONG width = m_bounds.right - m_bounds.left;
        const LONG height = m_bounds.bottom - m_bounds.top;
        m_bounds = {x, y, x + width, y + height};
    }
    if (hwnd)
        SetWindowPos(hwnd, nullptr, x, y, 0, 0, kMoveFlags | SWP_NOSIZE);
}

void CAxControl::setSize(int width, int height)
{
    HWND hwnd;
    {
        CScopedLock lock(m_stateLock);
        hwnd = m_hwndHost;
        m_bounds.right = m_bounds.left + width;
        m_bounds.bottom = m_bounds.top + height;
    }
    if (hwnd)
        SetWindowPos(hwnd, nullptr, 0, 0, width, height, kMoveFlags | SWP_NOMOVE);
}

void CAxControl::show(bool visible)
{
    HWND hwnd;
    {
        CScopedLock lock(m_stateLock);
        hwnd = m_hwndHost;
        m_visible = visible;
    }
    if (hwnd)
        ShowWindow(hwnd, visible ? SW_SHOW : SW_HIDE);
}

void CAxControl::clearLastError()
{
    Log(kTag, "clearLastError");
    CScopedLock lock(m_errorLock);
    m_lastError.clear();
}

std::wstring CAxControl::getLastError()
{
    CScopedLock lock(m_errorLock);
    return m_lastError;
}

void CAxControl::setLastError(const std::wstring& text, bool replace)
{
    Log(kTag, "setLastError " + ToUtf8OrPlaceholder(text));
    CScopedLock lock(m_errorLock);
    if (replace || m_lastError.empty())
        m_lastError = text;
    else
        Log(kTag, "setLastError: skip, already has an error " + ToUtf8OrPlaceholder(m_lastError));
}

const wchar_t CAxBrowserControl::kWebBrowserClsid[] = L"{8856F961-340A-11D0-A96B-00C04FD705A2}";

CAxBrowserControl::CAxBrowserControl(std::wstring url) : CAxControl(kWebBrowserClsid), m_url(std::move(url))
{
}

bool CAxBrowserControl::initControl()
{
    ComPtr<IUnknown> control = getControl();
    HRESULT hr = control ? control.As(&m_pBrowser) : E_NOINTERFACE;
    if (FAILED(hr) || !m_pBrowser)
    {
        m_pBrowser.Reset();
        setLastError(L"QueryInterface or IWebBrowser2 has failed", true);
        return false;
    }
    // No dialog boxes of the control's own, script errors among them.
    hr = m_pBrowser->put_Silent(VARIANT_TRUE);
    if (FAILED(hr))
        Log(kTag, "put_Silent failed, hr=0x" + ToUtf8OrPlaceholder(HexW(static_cast<unsigned long>(hr))));
    if (!m_url.empty())
    {
        ScopedVariant url;
        V_VT(url.Get()) = VT_BSTR;
        V_BSTR(url.Get()) = SysAllocStringLen(m_url.data(), static_cast<UINT>(m_url.size()));
        ScopedVariant absent;
        hr = V_BSTR(url.Get()) ? m_pBrowser->Navigate2(url.Get(), absent.Get(), absent.Get(), absent.Get(),
                                                       absent.Get())
                               : E_OUTOFMEMORY;
        if (FAILED(hr))
            Log(kTag, "Navigate2 failed, hr=0x" + ToUtf8OrPlaceholder(HexW(static_cast<unsigned long>(hr))));
    }
    return true;
}

void CAxBrowserControl::releaseControl()
{
    if (!m_pBrowser)
        return;
    // The control is going away whatever these answer.
    m_pBrowser->Stop();
    m_pBrowser->ExecWB(OLECMDID_CLOSE, OLECMDEXECOPT_DONTPROMPTUSER, nullptr, nullptr);
    m_pBrowser->put_Visible(VARIANT_FALSE);
    m_pBrowser.Reset();
}
