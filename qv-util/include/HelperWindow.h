#pragma once

#include <windows.h>

#include <string>

// Receives the messages of a HelperWindow. Returns non-zero when it handled
// the message and stored the result.
struct WndMessageHandler
{
    virtual BOOL OnWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) = 0;
};

// An invisible window that routes its messages to a handler. It belongs to
// the thread that calls Create; that thread must pump messages. The window is
// the one resource it owns and it destroys it in its destructor.
class HelperWindow
{
public:
    HelperWindow(const std::wstring& className, WndMessageHandler* handler);
    virtual ~HelperWindow();

    HelperWindow(const HelperWindow&) = delete;
    HelperWindow& operator=(const HelperWindow&) = delete;

    HRESULT Create(HWND parent, bool messageOnly);
    // A new window in the same form on the calling thread, made before the old
    // one goes, so its handle differs from the old one's.
    HRESULT Recreate();
    HWND GetHwnd() const { return m_hwnd; }
    void SetHandler(WndMessageHandler* handler) { m_pHandler = handler; }
    // Any thread may ask the window to close.
    void PostClose();

private:
    static LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HRESULT RegisterWindowClass();

    std::wstring m_className;
    HWND m_hwndParent = nullptr;   // borrowed
    bool m_messageOnly = false;
    HWND m_hwnd = nullptr;         // owned: destroyed by the destructor
    WndMessageHandler* m_pHandler; // borrowed
};

// HRESULT_FROM_WIN32 of an error code as the helper window reports it.
HRESULT HResultFromWin32(DWORD error);
