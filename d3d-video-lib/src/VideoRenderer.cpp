#include "VideoRenderer.h"

#include "HexText.h"

#include <mfidl.h>

#include <string>

using Microsoft::WRL::ComPtr;

std::string ResultName(HRESULT hr)
{
    if (hr == S_OK)
        return " OK";
    switch (static_cast<uint32_t>(hr))
    {
    case 0x0004022D:
        return " VFW_S_DUPLICATE_NAME";
    case 0x80040218:
        return " VFW_E_CANNOT_RENDER";
    case 0x80004002:
        return " E_NOINTERFACE";
    case 0x80004003:
        return " E_POINTER";
    case 0x80004005:
        return " E_FAIL";
    case 0x80040110:
        return " CLASS_E_NOAGGREGATION";
    case 0x80040154:
        return " REGDB_E_CLASSNOTREG";
    case 0x8004022D:
        return " VFW_E_DUPLICATE_NAME";
    case 0x80040295:
        return " VFW_E_CERTIFICATION_FAILURE";
    case 0x8007000E:
        return " E_OUTOFMEMORY";
    default:
        break;
    }
    return " 0x" + Hex(hr);
}

void TraceStep(const char* step, HRESULT hr)
{
    OutputDebugStringA((std::string(step) + ResultName(hr) + "\n").c_str());
}

HRESULT AddFilterByCLSID(IGraphBuilder* pGraph, REFCLSID clsid, IBaseFilter** ppFilter, const wchar_t* name)
{
    if (!pGraph || !ppFilter)
        return E_POINTER;
    *ppFilter = nullptr;
    ComPtr<IBaseFilter> filter;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&filter));
    if (SUCCEEDED(hr))
        hr = pGraph->AddFilter(filter.Get(), name);
    if (SUCCEEDED(hr))
        *ppFilter = filter.Detach();
    return hr;
}

HRESULT InitializeEVR(IBaseFilter* pEVR, HWND, IMFVideoDisplayControl** ppDisplay, IMFVideoMixerControl** ppMixer)
{
    if (!pEVR || !ppDisplay || !ppMixer)
        return E_POINTER;
    *ppDisplay = nullptr;
    *ppMixer = nullptr;
    ComPtr<IMFGetService> service;
    HRESULT hr = pEVR->QueryInterface(IID_PPV_ARGS(&service));
    ComPtr<IMFVideoDisplayControl> display;
    ComPtr<IMFVideoMixerControl> mixer;
    if (SUCCEEDED(hr))
    {
        hr = service->GetService(MR_VIDEO_RENDER_SERVICE, IID_PPV_ARGS(&display));
        TraceStep("InitializeEVR/GetService(MR_VIDEO_RENDER_SERVICE)", hr);
    }
    if (SUCCEEDED(hr) && !display)
        hr = E_NOINTERFACE; // a renderer may answer S_OK without filling the pointer
    if (SUCCEEDED(hr))
    {
        hr = service->GetService(MR_VIDEO_MIXER_SERVICE, IID_PPV_ARGS(&mixer));
        TraceStep("InitializeEVR/GetService(MR_VIDEO_MIXER_SERVICE)", hr);
    }
    if (SUCCEEDED(hr) && !mixer)
        hr = E_NOINTERFACE;
    // The video window is not handed on: the presenter never draws into a window.
    TraceStep("InitializeEVR/SetVideoWindow", hr);
    if (SUCCEEDED(hr))
    {
        // Our presenter answers E_NOTIMPL; the call is kept for other presenters.
        display->SetAspectRatioMode(MFVideoARMode_PreservePicture);
        *ppDisplay = display.Detach();
        *ppMixer = mixer.Detach();
    }
    return hr;
}

bool HasConnectedInput(IBaseFilter* pFilter)
{
    ComPtr<IEnumPins> pins;
    if (!pFilter || FAILED(pFilter->EnumPins(&pins)))
        return false;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK)
    {
        PIN_DIRECTION direction = PINDIR_OUTPUT;
        if (FAILED(pin->QueryDirection(&direction)) || direction != PINDIR_INPUT)
            continue;
        ComPtr<IPin> peer;
        if (SUCCEEDED(pin->ConnectedTo(&peer)) && peer)
            return true;
    }
    return false;
}

HRESULT RemoveFilterIfUnconnected(IGraphBuilder* pGraph, IBaseFilter* pFilter, bool* pRemoved)
{
    if (!pGraph || !pFilter || !pRemoved)
        return E_POINTER;
    *pRemoved = false;
    if (HasConnectedInput(pFilter))
        return S_OK;
    HRESULT hr = pGraph->RemoveFilter(pFilter);
    if (SUCCEEDED(hr))
        *pRemoved = true;
    return hr;
}

EVR::~EVR()
{
    ReleaseAll();
}

void EVR::ReleaseAll()
{
    m_pPresenter.Reset();
    m_pDisplay.Reset();
    m_pMixer.Reset();
    m_pEVR.Reset();
}

HRESULT EVR::AddToGraph(IGraphBuilder* pGraph, HWND videoWindow, LONG_PTR)
{
    ComPtr<IBaseFilter> filter;
    HRESULT hr = AddFilterByCLSID(pGraph, kClsidEnhancedVideoRenderer, &filter, L"EVR");
    TraceStep("AddToGraph/AddFilterByCLSID", hr);

    ComPtr<IMFVideoRenderer> pMfRenderer;
    if (SUCCEEDED(hr))
    {
        hr = filter->QueryInterface(__uuidof(IMFVideoRenderer), reinterpret_cast<void**>(pMfRenderer.GetAddressOf()));
        TraceStep("AddToGraph/QueryInterface(&pMfRenderer)", hr);
    }

    ComPtr<IEvrD3DPresenter> presenter;
    if (SUCCEEDED(hr))
    {
        hr = IEvrD3DPresenter::Create(videoWindow, presenter.GetAddressOf(), m_hwndAdapter);
        if (SUCCEEDED(hr))
            presenter->SetPresenterMode(PRESENTER_MODE_KEEP_TYPE);
        TraceStep("AddToGraph/IEvrD3DPresenter::Create", hr);
    }

    if (SUCCEEDED(hr))
    {
        ComPtr<IMFVideoPresenter> videoPresenter;
        hr = presenter.As(&videoPresenter);
        if (SUCCEEDED(hr))
            hr = pMfRenderer->InitializeRenderer(nullptr, videoPresenter.Get());
        TraceStep("AddToGraph/InitializeRenderer", hr);
    }
    pMfRenderer.Reset();

    ComPtr<IMFVideoDisplayControl> display;
    ComPtr<IMFVideoMixerControl> mixer;
    if (SUCCEEDED(hr))
    {
        hr = InitializeEVR(filter.Get(), videoWindow, &display, &mixer);
        TraceStep("AddToGraph/InitializeEVR", hr);
    }

    if (SUCCEEDED(hr))
    {
        m_pEVR = filter;
        m_pDisplay = display;
        m_pMixer = mixer;
        m_pPresenter = presenter;
        m_pPresenter->SetPresenterMode(PRESENTER_MODE_ONE_TEXTURE);
    }
    return hr;
}

HRESULT EVR::RemoveIfUnconnected(IGraphBuilder* pGraph, bool* pRemoved)
{
    if (!m_pEVR)
        return S_OK;
    if (!pRemoved)
        return E_POINTER;
    HRESULT hr = RemoveFilterIfUnconnected(pGraph, m_pEVR.Get(), pRemoved);
    if (*pRemoved)
        ReleaseAll();
    return hr;
}

void EVR::SetPresenterMode(int mode)
{
    if (m_pPresenter)
        m_pPresenter->SetPresenterMode(mode);
}

bool EVR::HasVideo()
{
    return m_pDisplay && m_pPresenter;
}

IFrameData* EVR::GetFrameData()
{
    return m_pPresenter ? m_pPresenter->GetFrameData() : nullptr;
}
