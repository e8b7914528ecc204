// What every test that drives the presenter needs around it: Media Foundation
// and a hidden window for the device.
#pragma once

#include "HelperWindow.h"
#include "MfStartup.h"

// Media Foundation for the life of a test: the release of tracked samples is
// delivered through its work queues.
class MfSession : public ScopedMfStartup
{
public:
    MfSession() : ScopedMfStartup(MFSTARTUP_LITE) {}
};

// A hidden pop-up window that the presenter's device is created on.
class DeviceWindow : public WndMessageHandler
{
public:
    DeviceWindow() : m_window(L"QvEvrTestWindow", this)
    {
        m_hr = m_window.Create(nullptr, false);
    }
    BOOL OnWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT*) override { return FALSE; }
    HWND Hwnd() const { return m_window.GetHwnd(); }
    HRESULT Result() const { return m_hr; }

private:
    HelperWindow m_window;
    HRESULT m_hr;
};
