#pragma once

#include "FrameData.h"

#include <windows.h>
#include <evr.h>

// The presenter's modes, passed to SetPresenterMode as their integers.
enum PresenterMode : int
{
    PRESENTER_MODE_PLAYBACK = 1,    // normal negotiation with two textures
    PRESENTER_MODE_KEEP_TYPE = 2,   // media type changes are ignored; one texture
    PRESENTER_MODE_ONE_TEXTURE = 3, // negotiation with one texture, as any other value
};

// The custom presenter as the player sees it. Obtain one with Create, install
// its IMFVideoPresenter (QueryInterface) in the Enhanced Video Renderer, and
// poll GetFrameData from the thread that answers frame requests.
class IEvrD3DPresenter : public IMFVideoDeviceID
{
public:
    // A PresenterMode; a value that is none of them negotiates with one texture.
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
