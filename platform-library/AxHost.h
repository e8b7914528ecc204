// Hosting of ActiveX controls in a window: the window class "AtlAxWin120"
// creates the control named by its window text (a CLSID in registry form),
// activates it in place, keeps it sized to the window and gives out its
// IUnknown. The layer is our own: MinGW-w64 carries no ATL.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

// The module that hosts controls: one object per module (DLL or program),
// constructed before AtlAxWinInit is called; the hosting window class is
// registered for the module's instance.
class CAxHostModule
{
public:
    CAxHostModule();
    ~CAxHostModule();

    CAxHostModule(const CAxHostModule&) = delete;
    CAxHostModule& operator=(const CAxHostModule&) = delete;

    HINSTANCE GetModuleInstance() const { return m_hInstance; }
    // The module object of this module, or null when none exists.
    static CAxHostModule* Get();

private:
    HINSTANCE m_hInstance = nullptr; // borrowed: the module containing this code
};

// Registers the "AtlAxWin120" window class. Needs the module object.
BOOL AtlAxWinInit();
// Unregisters the window class; windows of the class must be gone.
BOOL AtlAxWinTerm();
// The hosted control of a host window, with one reference for the caller;
// *ppUnk is null on failure.
HRESULT AtlAxGetControl(HWND hwnd, IUnknown** ppUnk);

// The site that a host window gives its control: client site, in-place site
// and frame, answering for the host window.
class CAxHostSite : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame
{
public:
    // A new site with one reference, owned by the caller.
    static CAxHostSite* Create(HWND hwndHost);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOleClientSite
    STDMETHODIMP SaveObject() override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** ppmk) override;
    STDMETHODIMP GetContainer(IOleContainer** ppContainer) override;
    STDMETHODIMP ShowObject() override;
    STDMETHODIMP OnShowWindow(BOOL show) override;
    STDMETHODIMP RequestNewObjectLayout() override;

    // IOleWindow (shared by the in-place site and the frame)
    STDMETHODIMP GetWindow(HWND* phwnd) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enterMode) override;

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override;
    STDMETHODIMP OnInPlaceActivate() override;
    STDMETHODIMP OnUIActivate() override;
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT posRect,
                                  LPRECT clipRect, LPOLEINPLACEFRAMEINFO frameInfo) override;
    STDMETHODIMP Scroll(SIZE scrollExtent) override;
    STDMETHODIMP OnUIDeactivate(BOOL undoable) override;
    STDMETHODIMP OnInPlaceDeactivate() override;
    STDMETHODIMP DiscardUndoState() override;
    STDMETHODIMP DeactivateAndUndo() override;
    STDMETHODIMP OnPosRectChange(LPCRECT posRect) override;

    // IOleInPlaceUIWindow
    STDMETHODIMP GetBorder(LPRECT border) override;
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS widths) override;
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS widths) override;
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* activeObject, LPCOLESTR objName) override;

    // IOleInPlaceFrame
    STDMETHODIMP InsertMenus(HMENU menu, LPOLEMENUGROUPWIDTHS widths) override;
    STDMETHODIMP SetMenu(HMENU menu, HOLEMENU holemenu, HWND activeObject) override;
    STDMETHODIMP RemoveMenus(HMENU menu) override;
    STDMETHODIMP SetStatusText(LPCOLESTR text) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;
    STDMETHODIMP TranslateAccelerator(LPMSG msg, WORD id) override;

private:
    explicit CAxHostSite(HWND hwndHost) : m_hwndHost(hwndHost) {}
    virtual ~CAxHostSite() = default;

    LONG m_refCount = 1;
    HWND m_hwndHost; // borrowed: the window that owns this site
};
