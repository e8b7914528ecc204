#include "HelperWindow.h"

#include "CriticalSection.h"
#include "Log.h"

namespace
{
const DWORD kExStyle = WS_EX_NOACTIVATE | WS_EX_NOPARENTNOTIFY;
const HRESULT kClassAlreadyExists = static_cast<HRESULT>(0x80070582);

// The module holding the window procedure (the DLL when this code is linked
// into one): a class registered under the program's handle would outlive an
// unloaded DLL and point into freed code.
HINSTANCE ProcedureModule()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ProcedureModule), &module))
        return GetModuleHandleW(nullptr);
    return module;
}
} // namespace

HRESULT HResultFromWin32(DWORD error)
{
    if (static_cast<LONG>(error) <= 0)
        return static_cast<HRESULT>(error);
    return static_cast<HRESULT>((error & 0x0000FFFF) | 0x80070000);
}

HelperWindow::HelperWindow(const std::wstring& className, WndMessageHandler* handler)
    : m_className(className), m_pHandler(handler)
{
}

HelperWindow::~HelperWindow()
{
    if (m_hwnd)
    {
        HWND hwnd = m_hwnd;
        m_hwnd = nullptr;
        // Only the creating thread can destroy the window. From any other the
        // window stays, and its messages must no longer reach this object.
        if (!DestroyWindow(hwnd))
        {
            const DWORD error = GetLastError();
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            Log("HelperWindow::~HelperWindow [ERROR]",
                "window not destroyed (error " + std::to_string(error) + "), handler detached");
        }
    }
}

HRESULT HelperWindow::RegisterWindowClass()
{
    // One registration at a time. Under Wine a class another thread is still
    // registering already refuses a second registration but is not yet found
    // by CreateWindowExW, which then fails with ERROR_CLASS_DOES_NOT_EXIST;
    // players open their first windows on threads of their own, at once.
    static CCriticalSection registering;
    CScopedLock lock(registering);
    HINSTANCE module = ProcedureModule();
    WNDCLASSEXW existing = {};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExW(module, m_className.c_str(), &existing))
        return S_OK;

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &HelperWindow::StaticWndProc;
    wc.hInstance = module;
    wc.lpszClassName = m_className.c_str();
    if (RegisterClassExW(&wc))
        return S_OK;

    HRESULT hr = HResultFromWin32(GetLastError());
    return hr == kClassAlreadyExists ? S_OK : hr;
}

HRESULT HelperWindow::Create(HWND parent, bool messageOnly)
{
    m_hwndParent = parent;
    m_messageOnly = messageOnly;
    HRESULT hr = RegisterWindowClass();
    if (FAILED(hr))
        return hr;

    DWORD style = WS_POPUP;
    HWND hwndParent = nullptr;
    if (parent)
    {
        style = WS_CHILD;
        hwndParent = parent;
    }
    else if (messageOnly)
    {
        style = 0;
        hwndParent = HWND_MESSAGE;
    }

    m_hwnd = CreateWindowExW(kExStyle, m_className.c_str(), nullptr, style, 300, 0, 16, 16, hwndParent, nullptr,
                             ProcedureModule(), this);
    if (!m_hwnd)
        return HResultFromWin32(GetLastError());
    return hr;
}

HRESULT HelperWindow::Recreate()
{
    HWND old = m_hwnd;
    m_hwnd = nullptr;
    const HRESULT hr = Create(m_hwndParent, m_messageOnly);
    if (old)
        DestroyWindow(old);
    return hr;
}

void HelperWindow::PostClose()
{
    if (m_hwnd)
        PostMessageW(m_hwnd, WM_CLOSE, 0, 0);
}

LRESULT CALLBACK HelperWindow::StaticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    HelperWindow* self = nullptr;
    if (message == WM_NCCREATE)
    {
        auto create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<HelperWindow*>(create->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    else
    {
        self = reinterpret_cast<HelperWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }

    if (message == WM_NCDESTROY)
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);

    if (!self)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    try
    {
        return self->WndProc(hwnd, message, wParam, lParam);
    }
    catch (...)
    {
        // An exception must not unwind through the system's dispatch code.
        Log("HelperWindow [ERROR]", "exception in message handler");
        return 0;
    }
}

LRESULT HelperWindow::WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    switch (message)
    {
    case WM_DESTROY:
        if (hwnd == m_hwnd) // a window replaced by Recreate goes after its successor exists
            m_hwnd = nullptr;
        return 0;
    case WM_PAINT:
    {
        PAINTSTRUCT ps;
        BeginPaint(hwnd, &ps);
        EndPaint(hwnd, &ps);
        return 0;
    }
    default:
        if (m_pHandler && m_pHandler->OnWindowMessage(hwnd, message, wParam, lParam, &result))
            return result;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
