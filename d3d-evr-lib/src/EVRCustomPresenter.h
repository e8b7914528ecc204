#pragma once

#include "AsyncCallback.h"
#include "CriticalSection.h"
#include "Helpers.h"
#include "PresentEngine.h"
#include "Presenter.h"
#include "SamplePool.h"
#include "Scheduler.h"
#include "mfcommon/linklist.h"

#include <windows.h>
#include <evr.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>

enum RenderState : LONG
{
    RENDER_STATE_STARTED = 1,
    RENDER_STATE_STOPPED = 2,
    RENDER_STATE_PAUSED = 3,
    RENDER_STATE_SHUTDOWN = 4,
};

enum FrameStepState : LONG
{
    STEP_NONE = 0,
    STEP_WAIT_START = 1,
    STEP_PENDING = 2,
    STEP_SCHEDULED = 3,
    STEP_COMPLETE = 4,
};

// The presenter that the Enhanced Video Renderer drives. It has the mixer
// render into the present engine's shared textures, queues the frames and
// hands the due one to GetFrameData.
//
// Lock order: m_ObjectLock, then the engine's locks; the queue's and the
// pool's locks are taken inside m_ObjectLock, never around it.
class EVRCustomPresenter : public RefCountedObject,
                           public IEvrD3DPresenter,
                           public IMFVideoPresenter,
                           public IMFRateSupport,
                           public IMFGetService,
                           public IMFTopologyServiceLookupClient,
                           public IMFVideoDisplayControl
{
public:
    EVRCustomPresenter(HRESULT& hr, HWND videoWindow, HWND adapterWindow);
    ~EVRCustomPresenter() override;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

    // IMFVideoDeviceID / IEvrD3DPresenter
    STDMETHODIMP GetDeviceID(IID* pDeviceID) override;
    void STDMETHODCALLTYPE SetPresenterMode(int mode) override;
    IFrameData* STDMETHODCALLTYPE GetFrameData() override;

    // IMFClockStateSink
    STDMETHODIMP OnClockStart(MFTIME hnsSystemTime, LONGLONG llClockStartOffset) override;
    STDMETHODIMP OnClockStop(MFTIME hnsSystemTime) override;
    STDMETHODIMP OnClockPause(MFTIME hnsSystemTime) override;
    STDMETHODIMP OnClockRestart(MFTIME hnsSystemTime) override;
    STDMETHODIMP OnClockSetRate(MFTIME hnsSystemTime, float flRate) override;

    // IMFVideoPresenter
    STDMETHODIMP ProcessMessage(MFVP_MESSAGE_TYPE eMessage, ULONG_PTR ulParam) override;
    STDMETHODIMP GetCurrentMediaType(IMFVideoMediaType** ppMediaType) override;

    // IMFRateSupport
    STDMETHODIMP GetSlowestRate(MFRATE_DIRECTION eDirection, BOOL fThin, float* pflRate) override;
    STDMETHODIMP GetFastestRate(MFRATE_DIRECTION eDirection, BOOL fThin, float* pflRate) override;
    STDMETHODIMP IsRateSupported(BOOL fThin, float flRate, float* pflNearestSupportedRate) override;

    // IMFGetService
    STDMETHODIMP GetService(REFGUID guidService, REFIID riid, LPVOID* ppvObject) override;

    // IMFTopologyServiceLookupClient
    STDMETHODIMP InitServicePointers(IMFTopologyServiceLookup* pLookup) override;
    STDMETHODIMP ReleaseServicePointers() override;

    // IMFVideoDisplayControl: nothing is drawn into a window.
    STDMETHODIMP GetNativeVideoSize(SIZE*, SIZE*) override { return E_NOTIMPL; }
    STDMETHODIMP GetIdealVideoSize(SIZE*, SIZE*) override { return E_NOTIMPL; }
    STDMETHODIMP SetVideoPosition(const MFVideoNormalizedRect*, const LPRECT) override { return E_NOTIMPL; }
    STDMETHODIMP GetVideoPosition(MFVideoNormalizedRect*, LPRECT) override { return E_NOTIMPL; }
    STDMETHODIMP SetAspectRatioMode(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetAspectRatioMode(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP SetVideoWindow(HWND) override { return E_NOTIMPL; }
    STDMETHODIMP GetVideoWindow(HWND*) override { return E_NOTIMPL; }
    STDMETHODIMP RepaintVideo() override { return E_NOTIMPL; }
    STDMETHODIMP GetCurrentImage(BITMAPINFOHEADER*, BYTE**, DWORD*, LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP SetBorderColor(COLORREF) override { return E_NOTIMPL; }
    STDMETHODIMP GetBorderColor(COLORREF*) override { return E_NOTIMPL; }
    STDMETHODIMP SetRenderingPrefs(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetRenderingPrefs(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP SetFullscreen(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetFullscreen(BOOL*) override { return E_NOTIMPL; }

private:
    // State and events. The caller holds m_ObjectLock.
    bool IsActive() const { return m_RenderState == RENDER_STATE_STARTED || m_RenderState == RENDER_STATE_PAUSED; }
    HRESULT CheckShutdown() const;
    void Notify(long eventCode, LONG_PTR param1, LONG_PTR param2);
    float GetMaxRate(BOOL thin);

    // Media type negotiation. The caller holds m_ObjectLock.
    HRESULT RenegotiateMediaType();
    HRESULT IsMediaTypeSupported(IMFMediaType* pProposal);
    HRESULT CreateOptimalVideoType(IMFMediaType* pProposal, IMFMediaType** ppOptimal);
    HRESULT SetMediaType(IMFMediaType* pMediaType);
    // Drops the type and its samples.
    void ClearMediaType();

    // Sample flow. The caller holds m_ObjectLock.
    HRESULT PumpOutput();
    HRESULT PullOneSample();
    void QueueForPresentation(IMFSample* pSample);
    // After a failed frame: an unusable device is reported once as EC_ERRORABORT.
    void ReportDeviceFailure();
    HRESULT TrackSampleRelease(IMFSample* pSample);
    void FlushPending();
    void DiscardSamples();
    void CheckComplete();

    // A tracked sample's way back, on a work queue thread: takes m_ObjectLock itself.
    HRESULT OnSampleReleased(IMFAsyncResult* pResult);

    // Frame stepping. The caller holds m_ObjectLock.
    HRESULT PrepareStep(DWORD steps);
    HRESULT StartStep();
    HRESULT DeliverStepSample(IMFSample* pSample);
    void CompleteStep(IMFSample* pSample);
    void CancelStep();

    struct FrameStep
    {
        LONG state = STEP_NONE;
        ComPtrList<IMFSample> samples;
        DWORD steps = 0;
        UINT_PTR pSampleNoRef = 0; // identity only, never dereferenced
    };

    AsyncCallback<EVRCustomPresenter> m_SampleReleaseCallback;
    LONG m_RenderState = RENDER_STATE_SHUTDOWN;
    FrameStep m_FrameStep;
    CCriticalSection m_ObjectLock;
    SampleQueue m_Scheduler;
    SamplePool m_SamplePool;
    LONG m_TokenCounter = 0;
    bool m_bSampleNotify = false;
    bool m_bPrerolled = false;
    std::atomic<bool> m_bEndStreaming{false}; // read by the polling thread without the lock
    bool m_bDeviceFailed = false;
    bool m_bUntimedReported = false; // a running stream's sample came without a time stamp
    MFVideoNormalizedRect m_nrcSource{0.0f, 0.0f, 1.0f, 1.0f};
    float m_fRate = 1.0f;
    std::unique_ptr<D3DPresentEngine> m_pD3DPresentEngine;
    Microsoft::WRL::ComPtr<IMFClock> m_pClock;
    Microsoft::WRL::ComPtr<IMFTransform> m_pMixer;
    Microsoft::WRL::ComPtr<IMediaEventSink> m_pMediaEventSink;
    Microsoft::WRL::ComPtr<IMFMediaType> m_pMediaType;
    std::atomic<int> m_PresenterMode{PRESENTER_MODE_PLAYBACK}; // set by the player thread without the lock
};
