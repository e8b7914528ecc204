#pragma once

#include "CriticalSection.h"
#include "FrameData.h"
#include "SampleData.h"
#include "mfcommon/linklist.h"

#include <windows.h>
#include <d3d9.h>
#include <dxva2api.h>
#include <mfidl.h>
#include <wrl/client.h>

class SampleQueue;

// Owns everything Direct3D in the video server: the device, the DXVA2 device
// manager the mixer draws through, the shared-texture samples, and the frame
// the client is currently shown.
//
// Lock order: the presenter's object lock, then m_ObjectLock, then m_FrameLock.
// The queue's lock is never held together with m_FrameLock.
class D3DPresentEngine
{
public:
    class PresentFrameData : public IFrameData
    {
    public:
        PresentFrameData() = default;
        PresentFrameData(const PresentFrameData&) = default;
        PresentFrameData& operator=(const PresentFrameData&) = default;
        ~PresentFrameData() override = default;

        bool HasFrame() const override { return m_hSharedHandle != nullptr; }
        void Dispose() override { delete this; }
        HANDLE GetSharedHandle() const override { return m_hSharedHandle; }
        IDirect3DTexture9* GetTexture() const override { return m_pTexture.Get(); }
        UINT32 GetWidth() const override { return m_Width; }
        UINT32 GetHeight() const override { return m_Height; }
        D3DFORMAT GetFormat() const override { return m_Format; }

        void SetTexture(IDirect3DTexture9* pTexture, HANDLE hSharedHandle);
        void SetFromSample(SampleData* pSampleData);

    private:
        HANDLE m_hSharedHandle = nullptr; // names the texture; not closed
        Microsoft::WRL::ComPtr<IDirect3DTexture9> m_pTexture;
        UINT32 m_Width = 0;
        UINT32 m_Height = 0;
        D3DFORMAT m_Format = D3DFMT_UNKNOWN;
    };

    // adapterWindow, when it is a window, selects the adapter instead of videoWindow.
    D3DPresentEngine(HRESULT& hr, HWND videoWindow, HWND adapterWindow = nullptr);
    virtual ~D3DPresentEngine();

    D3DPresentEngine(const D3DPresentEngine&) = delete;
    D3DPresentEngine& operator=(const D3DPresentEngine&) = delete;

    virtual HRESULT GetService(REFGUID guidService, REFIID riid, void** ppv);
    virtual HRESULT CheckTextureFormat(D3DFORMAT format);

    // count <= 0 means the default of six samples: the current frame, the
    // replaced frame the client may still draw, one with the mixer and three
    // queued between two polls.
    HRESULT AllocateSamples(IMFMediaType* pFormat, ComPtrList<IMFSample>& samples, int count);
    void ReleaseSamples();
    // Run on the thread that answers frame requests; null only when out of memory.
    IFrameData* GetFrameData(SampleQueue& queue);
    // The samples held for the client: the current frame and the one it replaced.
    LONG GetShownSampleCount();
    void OnBeforeSampleProcess(IMFSample* pSample);
    // Waits until the device completed the mixer's writes (an event query), so
    // that the texture may be handed to another device.
    HRESULT CompleteSampleWrites();
    // The device's CheckDeviceState; MF_E_NOT_INITIALIZED without a device.
    HRESULT CheckDeviceState();
    UINT GetRefreshRate() const { return m_DisplayMode.RefreshRate; }

    IDirect3DDevice9Ex* GetDevice() const { return m_pDevice.Get(); }

private:
    HRESULT CreateD3DDevice();
    HRESULT CreateD3DSample(UINT32 width, UINT32 height, D3DFORMAT format, IMFSample** ppSample);

    UINT32 m_IdlePollCount = 0;
    HWND m_hwnd;        // borrowed: the player's helper window
    HWND m_hwndAdapter; // borrowed: the client's parent window, or null
    RECT m_rcDestRect{};
    D3DDISPLAYMODE m_DisplayMode{};
    CCriticalSection m_ObjectLock;
    Microsoft::WRL::ComPtr<IDirect3D9Ex> m_pComposerD3D9;
    Microsoft::WRL::ComPtr<IDirect3DDevice9Ex> m_pDevice;
    Microsoft::WRL::ComPtr<IDirect3DDeviceManager9> m_pComposerDeviceManager;
    UINT m_ResetToken = 0;
    CCriticalSection m_FrameLock;
    PresentFrameData m_FrameData;
    Microsoft::WRL::ComPtr<IMFSample> m_pCurrentSample;
    Microsoft::WRL::ComPtr<IMFSample> m_pReplacedSample; // kept out of the pool until the next replacement
};

// The window whose monitor selects the device's adapter: the adapter window
// while it is a window (the texture must live on the adapter of the client's
// device), else the video window.
HWND AdapterWindow(HWND adapterWindow, HWND videoWindow);
