#include "AxHost.h"

#include "HexText.h"
#include "Log.h"

#include <wrl/client.h>

#include <new>

using Microsoft::WRL::ComPtr;

namespace
{
const wchar_t kHostClassName[] = L"AtlAxWin120";

CAxHostModule* g_pModule = nullptr; // borrowed: the one module object, while it lives

// What a host window owns; lives from WM_NCCREATE to WM_NCDESTROY.
struct HostWindowState
{
    ComPtr<CAxHostSite> site;
    ComPtr<IUnknown> control;
    ComPtr<IOleObject> oleObject;
    ComPtr<IOleInPlaceObject> inPlaceObject;
};

UINT GetControlMessage()
{
    static const UINT message = RegisterWindowMessageW(L"AxHostGetControl");
    return message;
}

// Creates the control named by the window text and activates it in place. A
// control that cannot be created leaves the window without one.
void CreateControl(HWND hwnd, const wchar_t* name, HostWindowState& state)
{
    CLSID clsid = {};
    HRESULT hr = name ? CLSIDFromString(name, &clsid) : E_INVALIDARG;
    if (FAILED(hr))
    {
        Log("AxHostWindow::CreateControl [ERROR]", "window text is not a CLSID, hr=0x" + Hex(hr));
        return;
    }
    ComPtr<IUnknown> control;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&control));
    if (FAILED(hr))
    {
        Log("AxHostWindow::CreateControl [ERROR]", "CoCreateInstance failed, hr=0x" + Hex(hr));
        return;
    }
    state.control = control;
    if (FAILED(control.As(&state.oleObject)))
        return; // not an OLE object: hosted as it is, without activation

    DWORD misc = 0;
    if (FAILED(state.oleObject->GetMiscStatus(DVASPECT_CONTENT, &misc)))
        misc = 0; // no status: the client site is set after initialisation
    bool siteSet = false;
    if (misc & OLEMISC_SETCLIENTSITEFIRST)
    {
        hr = state.oleObject->SetClientSite(state.site.Get());
        siteSet = SUCCEEDED(hr);
    }
    ComPtr<IPersistStreamInit> persist;
    if (SUCCEEDED(control.As(&persist)))
    {
        hr = persist->InitNew();
        if (FAILED(hr))
            Log("AxHostWindow::CreateControl [ERROR]", "InitNew failed, hr=0x" + Hex(hr));
    }
    if (!siteSet)
    {
        hr = state.oleObject->SetClientSite(state.site.Get());
        if (FAILED(hr))
            Log("AxHostWindow::CreateControl [ERROR]", "SetClientSite failed, hr=0x" + Hex(hr));
    }
    RECT rect = {};
    GetClientRect(hwnd, &rect);
    hr = state.oleObject->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, state.site.Get(), 0, hwnd, &rect);
    if (FAILED(hr))
        Log("AxHostWindow::CreateControl [ERROR]", "in-place activation failed, hr=0x" + Hex(hr));
    if (FAILED(control.As(&state.inPlaceObject)))
        state.inPlaceObject.Reset(); // a windowless or passive control is not resized
}

void DestroyControl(HostWindowState& state)
{
    if (state.inPlaceObject)
        state.inPlaceObject->InPlaceDeactivate(); // nothing to do on failure: the control goes anyway
    if (state.oleObject)
    {
        state.oleObject->Close(OLECLOSE_NOSAVE); // nothing is ever saved
        state.oleObject->SetClientSite(nullptr);
    }
    state.inPlaceObject.Reset();
    state.oleObject.Reset();
    state.control.Reset();
}

LRESULT HostWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* state = reinterpret_cast<HostWindowState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (message)
    {
    case WM_NCCREATE:
    {
        auto* created = new (std::nothrow) HostWindowState;
        if (!created)
            return FALSE;
        created->site.Attach(CAxHostSite::Create(hwnd));
        if (!created->site)
        {
            delete created;
            return FALSE;
        }
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
        break;
    }
    case WM_CREATE:
        if (state)
            CreateControl(hwnd, reinterpret_cast<CREATESTRUCTW*>(lParam)->lpszName, *state);
        return 0;
    case WM_SIZE:
        if (state && state->inPlaceObject)
        {
            RECT rect = {0, 0, LOWORD(lParam), HIWORD(lParam)};
            state->inPlaceObject->SetObjectRects(&rect, &rect); // a control that refuses keeps its size
        }
        return 0;
    case WM_DESTROY:
        if (state)
            DestroyControl(*state);
        break;
    case WM_NCDESTROY:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        delete state;
        break;
    default:
        if (message == GetControlMessage() && message != 0)
        {
            if (!state || !state->control)
                return 0;
            state->control->AddRef(); // handed to AtlAxGetControl's caller
            return reinterpret_cast<LRESULT>(state->control.Get());
        }
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK StaticHostWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    try
    {
        return HostWindowProc(hwnd, message, wParam, lParam);
    }
    catch (...)
    {
        Log("StaticHostWindowProc [ERROR]", "exception while handling a message");
        return 0;
    }
}
} // namespace

CAxHostModule::CAxHostModule()
{
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&StaticHostWindowProc), &m_hInstance))
        m_hInstance = GetModuleHandleW(nullptr);
    if (!g_pModule)
        g_pModule = this;
}

CAxHostModule::~CAxHostModule()
{
    if (g_pModule == this)
        g_pModule = nullptr;
}

CAxHostModule* CAxHostModule::Get()
{
    return g_pModule;
}

BOOL AtlAxWinInit()
{
    CAxHostModule* module = CAxHostModule::Get();
    if (!module)
    {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    GetControlMessage();
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    if (GetClassInfoExW(module->GetModuleInstance(), kHostClassName, &wc))
        return TRUE;
    wc.cbSize = sizeof(wc);
    // Global, so that windows created without an instance handle find it.
    wc.style = CS_GLOBALCLASS | CS_DBLCLKS;
    wc.lpfnWndProc = StaticHostWindowProc;
    wc.hInstance = module->GetModuleInstance();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kHostClassName;
    return RegisterClassExW(&wc) != 0;
}

BOOL AtlAxWinTerm()
{
    CAxHostModule* module = CAxHostModule::Get();
    if (!module)
        return FALSE;
    return UnregisterClassW(kHostClassName, module->GetModuleInstance());
}

HRESULT AtlAxGetControl(HWND hwnd, IUnknown** ppUnk)
{
    if (!ppUnk)
        return E_POINTER;
    *ppUnk = nullptr;
    const UINT message = GetControlMessage();
    if (!hwnd || !message)
        return E_FAIL;
    *ppUnk = reinterpret_cast<IUnknown*>(SendMessageW(hwnd, message, 0, 0));
    return *ppUnk ? S_OK : E_FAIL;
}

CAxHostSite* CAxHostSite::Create(HWND hwndHost)
{
    return new (std::nothrow) CAxHostSite(hwndHost);
}

STDMETHODIMP CAxHostSite::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IOleClientSite)
        *ppv = static_cast<IOleClientSite*>(this);
    else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
        *ppv = static_cast<IOleInPlaceSite*>(this);
    else if (riid == IID_IOleInPlaceUIWindow || riid == IID_IOleInPlaceFrame)
        *ppv = static_cast<IOleInPlaceFrame*>(this);
    else
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CAxHostSite::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_refCount));
}

STDMETHODIMP_(ULONG) CAxHostSite::Release()
{
    const LONG count = InterlockedDecrement(&m_refCount);
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

STDMETHODIMP CAxHostSite::SaveObject()
{
    return E_NOTIMPL;
}

STDMETHODIMP CAxHostSite::GetMoniker(DWORD, DWORD, IMoniker** ppmk)
{
    if (ppmk)
        *ppmk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CAxHostSite::GetContainer(IOleContainer** ppContainer)
{
    if (ppContainer)
        *ppContainer = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP CAxHostSite::ShowObject()
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::OnShowWindow(BOOL)
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::RequestNewObjectLayout()
{
    return E_NOTIMPL;
}

STDMETHODIMP CAxHostSite::GetWindow(HWND* phwnd)
{
    if (!phwnd)
        return E_POINTER;
    *phwnd = m_hwndHost;
    return S_OK;
}

STDMETHODIMP CAxHostSite::ContextSensitiveHelp(BOOL)
{
    return E_NOTIMPL;
}

STDMETHODIMP CAxHostSite::CanInPlaceActivate()
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::OnInPlaceActivate()
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::OnUIActivate()
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT posRect,
                                           LPRECT clipRect, LPOLEINPLACEFRAMEINFO frameInfo)
{
    if (ppFrame)
        *ppFrame = nullptr;
    if (ppDoc)
        *ppDoc = nullptr;
    if (!ppFrame || !ppDoc || !posRect || !clipRect || !frameInfo)
        return E_POINTER;
    // The site is its own frame; a null document window means "same as the frame".
    *ppFrame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    GetClientRect(m_hwndHost, posRect);
    *clipRect = *posRect;
    frameInfo->fMDIApp = FALSE;
    frameInfo->hwndFrame = GetAncestor(m_hwndHost, GA_ROOT);
    frameInfo->haccel = nullptr;
    frameInfo->cAccelEntries = 0;
    return S_OK;
}

STDMETHODIMP CAxHostSite::Scroll(SIZE)
{
    return E_NOTIMPL;
}

STDMETHODIMP CAxHostSite::OnUIDeactivate(BOOL)
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::OnInPlaceDeactivate()
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::DiscardUndoState()
{
    return E_NOTIMPL;
}

STDMETHODIMP CAxHostSite::DeactivateAndUndo()
{
    return E_NOTIMPL;
}

STDMETHODIMP CAxHostSite::OnPosRectChange(LPCRECT)
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::GetBorder(LPRECT)
{
    return INPLACE_E_NOTOOLSPACE;
}

STDMETHODIMP CAxHostSite::RequestBorderSpace(LPCBORDERWIDTHS)
{
    return INPLACE_E_NOTOOLSPACE;
}

STDMETHODIMP CAxHostSite::SetBorderSpace(LPCBORDERWIDTHS)
{
    return INPLACE_E_NOTOOLSPACE;
}

STDMETHODIMP CAxHostSite::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR)
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS)
{
    return E_NOTIMPL;
}

STDMETHODIMP CAxHostSite::SetMenu(HMENU, HOLEMENU, HWND)
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::RemoveMenus(HMENU)
{
    return E_NOTIMPL;
}

STDMETHODIMP CAxHostSite::SetStatusText(LPCOLESTR)
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::EnableModeless(BOOL)
{
    return S_OK;
}

STDMETHODIMP CAxHostSite::TranslateAccelerator(LPMSG, WORD)
{
    return S_FALSE;
}
