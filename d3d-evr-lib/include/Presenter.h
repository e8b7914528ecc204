#pragma once

#include "FrameData.h"

#include <windows.h>
#include <evr.h>

// The custom presenter as the player sees it. Obtain one with Create, install
// its IMFVideoPresenter (QueryInterface) in the Enhanced Video Renderer, and
// poll GetFrameData from the thread that answers frame requests.
class IEvrD3DPresenter : public IMFVideoDeviceID
{
public:
    // 1: normal negotiation with two textures; 2: media type changes are
    // ignored; any other value: negotiation with one texture.
    virtual void STDMETHODCALLTYPE SetPresenterMode(int mode) = 0;
    // The frame that is due now, owned by the caller (Dispose it); null
    // without a present engine.
    virtual IFrameData* STDMETHODCALLTYPE GetFrameData() = 0;
    virtual ~IEvrD3DPresenter() = default;

    // videoWindow becomes the device window and selects the adapter unless
    // adapterWindow is a window; neither is ever drawn into. On success
    // *ppPresenter holds the creation reference.
    static HRESULT Create(HWND videoWindow, IEvrD3DPresenter** ppPresenter, HWND adapterWindow = nullptr);
};
