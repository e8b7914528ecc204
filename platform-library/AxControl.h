#pragma once

#include "CriticalSection.h"

#include <windows.h>
#include <exdisp.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <string>

// One ActiveX control hosted in a child window of a window that Java gives.
// run() creates window and control on the calling thread and pumps that
// thread's messages until the control is closed; every other operation may be
// called from any thread meanwhile.
//
// Lock order: the state lock, then the error lock inside it; never the reverse.
class CAxControl
{
public:
    // controlName: the CLSID, in registry form, of the control to host.
    explicit CAxControl(std::wstring controlName);
    virtual ~CAxControl();

    CAxControl(const CAxControl&) = delete;
    CAxControl& operator=(const CAxControl&) = delete;

    virtual void close();

    // 0 after a normal close; 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD when the
    // control could not start; otherwise the quit code of the loop.
    uint32_t run(HWND parent);

    void setBounds(int x, int y, int width, int height);
    void setPos(int x, int y);
    void setSize(int width, int height);
    void show(bool visible);

    void clearLastError();
    std::wstring getLastError();
    void setLastError(const std::wstring& text, bool replace);

    bool isRunning() const { return m_running; }

protected:
    // Called on the run thread once the control exists; false stops run().
    virtual bool initControl();
    // Called on the run thread when the loop receives WM_CLOSE.
    virtual void releaseControl();

    bool createControl(HWND parent);
    Microsoft::WRL::ComPtr<IUnknown> getControl();

private:
    // The three stages of run(), all on the run thread. start() takes the
    // running state and makes the control; when it returns false, run() returns
    // failure, which it leaves alone (0) for a closed or already running control.
    bool start(HWND parent, uint32_t& failure);
    // Dispatches until WM_CLOSE ends the control or a quit arrives; the loop's code.
    uint32_t pumpUntilClosed();
    // Tears the host down, clears the running state and reports a non-zero code.
    uint32_t end(uint32_t exitCode);

    // Run thread only: releases the control and destroys a host window that
    // is still there, so nothing outlives the thread's COM apartment.
    void destroyHost();

    RECT m_bounds = {0, 0, 0, 0};
    bool m_visible = false;
    CCriticalSection m_stateLock;
    CCriticalSection m_errorLock;
    // Created, pumped and destroyed by the run thread; other threads only
    // post to it or move it asynchronously.
    HWND m_hwndHost = nullptr;
    Microsoft::WRL::ComPtr<IUnknown> m_pControl;
    std::wstring m_lastError;
    bool m_closed = false;
    // Written under the state lock; read without it by nDeleteControl.
    std::atomic<bool> m_running{false};
    const std::wstring m_controlName;
};

// The system's WebBrowser control, opening one address once it exists.
class CAxBrowserControl : public CAxControl
{
public:
    static const wchar_t kWebBrowserClsid[];

    explicit CAxBrowserControl(std::wstring url);

protected:
    bool initControl() override;
    void releaseControl() override;

private:
    Microsoft::WRL::ComPtr<IWebBrowser2> m_pBrowser; // run thread only
    const std::wstring m_url;
};
