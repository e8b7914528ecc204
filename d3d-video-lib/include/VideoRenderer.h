// The video renderer attachment of the player: the Enhanced Video Renderer
// filter in the graph with our presenter in place of its own.
#pragma once

#include "FrameData.h"
#include "Presenter.h"

#include <windows.h>
#include <dshow.h>
#include <evr.h>
#include <wrl/client.h>

#include <string>

class BaseVideoRenderer
{
public:
    virtual ~BaseVideoRenderer() = default;
    virtual HRESULT AddToGraph(IGraphBuilder* pGraph, HWND videoWindow, LONG_PTR value) = 0;
    virtual HRESULT RemoveIfUnconnected(IGraphBuilder* pGraph, bool* pRemoved) = 0;
    virtual void SetPresenterMode(int mode) = 0;
    virtual bool HasVideo() = 0;
    // A new frame object that the caller disposes of, or null.
    virtual IFrameData* GetFrameData() = 0;
};

class EVR : public BaseVideoRenderer
{
public:
    EVR() = default;
    ~EVR() override;
    EVR(const EVR&) = delete;
    EVR& operator=(const EVR&) = delete;

    HRESULT AddToGraph(IGraphBuilder* pGraph, HWND videoWindow, LONG_PTR value) override;
    // The window whose monitor selects the presenter's adapter; set before AddToGraph.
    void SetAdapterWindow(HWND window) { m_hwndAdapter = window; }
    HRESULT RemoveIfUnconnected(IGraphBuilder* pGraph, bool* pRemoved) override;
    void SetPresenterMode(int mode) override;
    bool HasVideo() override;
    IFrameData* GetFrameData() override;

private:
    void ReleaseAll();

    Microsoft::WRL::ComPtr<IBaseFilter> m_pEVR;
    Microsoft::WRL::ComPtr<IMFVideoDisplayControl> m_pDisplay;
    Microsoft::WRL::ComPtr<IMFVideoMixerControl> m_pMixer;
    Microsoft::WRL::ComPtr<IEvrD3DPresenter> m_pPresenter;
    HWND m_hwndAdapter = nullptr; // borrowed
};

// {FA10746C-9B63-4B6C-BC49-FC300EA5F256}; MinGW's libraries lack it.
constexpr CLSID kClsidEnhancedVideoRenderer = {0xfa10746c, 0x9b63, 0x4b6c,
                                               {0xbc, 0x49, 0xfc, 0x30, 0x0e, 0xa5, 0xf2, 0x56}};

HRESULT AddFilterByCLSID(IGraphBuilder* pGraph, REFCLSID clsid, IBaseFilter** ppFilter, const wchar_t* name);
// The display control is required; the mixer control is handed out when the
// renderer serves it, else null.
HRESULT InitializeEVR(IBaseFilter* pEVR, HWND videoWindow, IMFVideoDisplayControl** ppDisplay,
                      IMFVideoMixerControl** ppMixer);
// Removes the filter from the graph when none of its input pins is connected.
HRESULT RemoveFilterIfUnconnected(IGraphBuilder* pGraph, IBaseFilter* pFilter, bool* pRemoved);
// True when at least one input pin of the filter is connected.
bool HasConnectedInput(IBaseFilter* pFilter);

// "OK" or a blank and the result's name, as the step trace writes it.
std::string ResultName(HRESULT hr);
// One debug output line: the step and its result.
void TraceStep(const char* step, HRESULT hr);
