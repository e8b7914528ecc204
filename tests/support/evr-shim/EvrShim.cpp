// A test-only evr.dll for Wine. Installed as the test prefix's
// system32\evr.dll and enabled with WINEDLLOVERRIDES="evr=n,b", it loads the
// mended copy of Wine's own renderer (system32\qvevrmended.dll), forwards every
// export to it, and makes its Enhanced Video Renderer filter drive a custom
// presenter as the Windows renderer does. What Wine 8's filter does alone,
// seen with a presenter of ours: it looks the presenter's services up at every
// connection attempt while the graph is built (InitServicePointers twelve
// times for the test clip, with ReleaseServicePointers between them), but
// never releases them at disconnect, when the presenter is replaced or at its
// end; it never calls the clock-state sink, never sends BEGINSTREAMING,
// ENDSTREAMING, ENDOFSTREAM or a flush; its lookup offers no clock, its
// GetService no mixer service; it accepts InitializeRenderer while connected;
// and its mixer faults when the input pin disconnects once it holds a device
// manager.
//
// Wine 8 loads a native system32\evr.dll even without that override; then
// the layer only forwards, and the mended renderer acts alone as before.
//
// How it works: the real class factory's CreateInstance, and in each filter
// the inner Release, IMediaFilter Stop/Pause/Run/SetSyncSource,
// JoinFilterGraph, IMFVideoRenderer InitializeRenderer,
// IMFTopologyServiceLookup LookupService, IMFGetService GetService,
// IMediaEventSink Notify, the input pin's Disconnect,
// BeginFlush, EndFlush, EndOfStream and Receive, and the mixer's
// InitServicePointers, ProcessInput and ProcessOutput are patched in the real
// objects' method tables (shared by every object of a kind; each hook calls
// the original). Per filter the layer remembers the
// presenter it was given and the graph state, and tells the presenter what
// Windows tells it (each rule is given at its hook):
// - stopped to paused or running: BEGINSTREAMING; to stopped: OnClockStop and
//   ENDSTREAMING;
// - Run from stopped: OnClockStart(now, stream time at run); Pause while
//   running: OnClockPause; a plain resume: OnClockRestart; a resume after a
//   running seek: OnClockStart;
// - a flush (a seek): the mixer's queued input and then the presenter are
//   flushed, and the clock starts again at zero;
// - the input pin's end of stream: ENDOFSTREAM; the presenter's events reach
//   the graph, and Wine's own EC_COMPLETE does not;
// - the clock service: the graph's stream time; the mixer service: the mixer's;
// - InitializeRenderer while a pin is connected: VFW_E_WRONG_STATE;
// - the mixer's output: the time stamp and duration of the input it mixed
//   (Wine's mixer leaves its output unstamped, so a presenter would have
//   nothing to schedule by; Windows' stamps it, and "How to Write an EVR
//   Presenter" has the presenter schedule each sample by that time stamp);
// - input pin disconnect and the filter's end: ReleaseServicePointers, and
//   before the disconnect the renderer's own mixer and presenter are put back
//   so that the faulting mixer has no device manager (ours stays out: unlike
//   Windows', a renderer that reconnects after that has its own presenter).
// Where Windows' order is undocumented the choice is a switch (Variant).
#include "EvrSlots.h"

#include "CriticalSection.h"

#include <windows.h>
#include <d3d9.h>
#include <dshow.h>
#include <evr.h>
#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace
{

// {FA10746C-9B63-4B6C-BC49-FC300EA5F256}
constexpr CLSID kClsidEnhancedVideoRenderer = {0xfa10746c, 0x9b63, 0x4b6c,
                                               {0xbc, 0x49, 0xfc, 0x30, 0x0e, 0xa5, 0xf2, 0x56}};
constexpr MFTIME kCurrentPosition = 0x7FFFFFFFFFFFFFFF; // PRESENTATION_CURRENT_POSITION

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
using CreateInstanceFn = HRESULT(STDMETHODCALLTYPE*)(IClassFactory*, IUnknown*, REFIID, void**);
using ReleaseFn = ULONG(STDMETHODCALLTYPE*)(IUnknown*);
using StopFn = HRESULT(STDMETHODCALLTYPE*)(IBaseFilter*);
using RunFn = HRESULT(STDMETHODCALLTYPE*)(IBaseFilter*, REFERENCE_TIME);
using DisconnectFn = HRESULT(STDMETHODCALLTYPE*)(IPin*);
using InitServicePointersFn = HRESULT(STDMETHODCALLTYPE*)(IMFTopologyServiceLookupClient*, IMFTopologyServiceLookup*);
using SetSyncSourceFn = HRESULT(STDMETHODCALLTYPE*)(IBaseFilter*, IReferenceClock*);
using LookupServiceFn = HRESULT(STDMETHODCALLTYPE*)(IMFTopologyServiceLookup*, MF_SERVICE_LOOKUP_TYPE, DWORD, REFGUID,
                                                    REFIID, void**, DWORD*);
using GetServiceFn = HRESULT(STDMETHODCALLTYPE*)(IMFGetService*, REFGUID, REFIID, void**);
using NotifyFn = HRESULT(STDMETHODCALLTYPE*)(IMediaEventSink*, LONG, LONG_PTR, LONG_PTR);
using JoinFilterGraphFn = HRESULT(STDMETHODCALLTYPE*)(IBaseFilter*, IFilterGraph*, LPCWSTR);
using InitializeRendererFn = HRESULT(STDMETHODCALLTYPE*)(IMFVideoRenderer*, IMFTransform*, IMFVideoPresenter*);
using ReceiveFn = HRESULT(STDMETHODCALLTYPE*)(IMemInputPin*, IMediaSample*);
using ProcessInputFn = HRESULT(STDMETHODCALLTYPE*)(IMFTransform*, DWORD, IMFSample*, DWORD);
using ProcessOutputFn = HRESULT(STDMETHODCALLTYPE*)(IMFTransform*, DWORD, DWORD, MFT_OUTPUT_DATA_BUFFER*, DWORD*);

void Trace(const std::string& text)
{
    OutputDebugStringA(("evr-shim: " + text + "\n").c_str());
}

HMODULE RealEvr()
{
    static const HMODULE module = [] {
        wchar_t dir[MAX_PATH] = {};
        const UINT length = GetSystemDirectoryW(dir, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return HMODULE(nullptr);
        // Never freed: the patched method tables point into both modules.
        HMODULE real = LoadLibraryW((std::wstring(dir, length) + L"\\qvevrmended.dll").c_str());
        if (!real)
            Trace("cannot load qvevrmended.dll: " + std::to_string(GetLastError()));
        return real;
    }();
    return module;
}

bool InRealEvr(const void* address)
{
    HMODULE owner = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &owner) &&
           owner == RealEvr() && owner != nullptr;
}

// True when WINEDLLOVERRIDES names evr native first ("evr=n,b"). Wine 8 loads
// a native system32\evr.dll even without that override, so with the default
// overrides the layer only forwards, and the mended renderer acts alone.
bool LayerEnabled()
{
    wchar_t buffer[1024] = {};
    const DWORD length = GetEnvironmentVariableW(L"WINEDLLOVERRIDES", buffer, 1024);
    if (length == 0 || length >= 1024)
        return false;
    const std::wstring overrides(buffer, length);
    size_t start = 0;
    while (start <= overrides.size())
    {
        size_t end = overrides.find(L';', start);
        if (end == std::wstring::npos)
            end = overrides.size();
        const std::wstring entry = overrides.substr(start, end - start);
        const size_t equals = entry.find(L'=');
        if (equals != std::wstring::npos && equals + 1 < entry.size() && entry[equals + 1] == L'n')
        {
            const std::wstring names = L"," + entry.substr(0, equals) + L",";
            if (names.find(L",evr,") != std::wstring::npos)
                return true;
        }
        start = end + 1;
    }
    return false;
}

// Leaked on purpose: hooks may run during the process's static destruction.
CCriticalSection& Lock()
{
    static CCriticalSection* section = new CCriticalSection;
    return *section;
}

// Replaces slot `slot` of object's method table with hook once; *original
// keeps what was there. Only tables that belong to the real renderer are
// touched, and a second, different table for the same hook is refused.
bool PatchSlot(void* object, unsigned slot, void* hook, void** original, bool anyModule = false)
{
    void** entry = *static_cast<void***>(object) + slot;
    CScopedLock lock(Lock());
    if (*entry == hook)
        return true;
    if (*original != nullptr || (!anyModule && !InRealEvr(*entry)))
    {
        Trace("slot " + std::to_string(slot) + " not patched");
        return false;
    }
    DWORD protection = 0;
    if (!VirtualProtect(entry, sizeof(void*), PAGE_READWRITE, &protection))
    {
        Trace("VirtualProtect failed: " + std::to_string(GetLastError()));
        return false;
    }
    *original = *entry;
    InterlockedExchangePointer(entry, hook);
    DWORD ignored = 0;
    VirtualProtect(entry, sizeof(void*), protection, &ignored); // a writable table still works
    FlushInstructionCache(GetCurrentProcess(), entry, sizeof(void*));
    return true;
}

CreateInstanceFn g_createInstance = nullptr;
ReleaseFn g_release = nullptr;
StopFn g_stop = nullptr;
StopFn g_pause = nullptr;
RunFn g_run = nullptr;
SetSyncSourceFn g_setSyncSource = nullptr;
DisconnectFn g_disconnect = nullptr;
DisconnectFn g_beginFlush = nullptr; // same shape: IPin* in, HRESULT out
DisconnectFn g_endFlush = nullptr;
DisconnectFn g_endOfStream = nullptr;
InitializeRendererFn g_initializeRenderer = nullptr;
InitServicePointersFn g_mixerInitServicePointers = nullptr;
LookupServiceFn g_lookupService = nullptr;
GetServiceFn g_getService = nullptr;
NotifyFn g_filterNotify = nullptr;
NotifyFn g_graphNotify = nullptr;
JoinFilterGraphFn g_joinFilterGraph = nullptr;
ReceiveFn g_receive = nullptr;
ProcessInputFn g_mixerProcessInput = nullptr;
ProcessOutputFn g_mixerProcessOutput = nullptr;

// Where Windows' order is undocumented, the layer's default is one guess and
// QV_EVR_SHIM_VARIANT (a comma-separated list) names the others; the product
// must play under each. The names:
// - flush-at-begin: the flush of a seek at BeginFlush, not EndFlush;
// - flush-presenter-first: the presenter flushed before the mixer;
// - resume-with-start: OnClockStart, not OnClockRestart, on a plain resume;
// - seek-resume-with-restart: OnClockRestart, not OnClockStart, when a
//   running seek resumes;
// - start-offset-current: those OnClockStart calls carry
//   PRESENTATION_CURRENT_POSITION instead of the stream time at the run;
// - pause-on-preroll: OnClockPause also on a pause from stopped;
// - relookup-on-clock: a new reference clock releases the presenter's
//   services and looks them up again.
bool Variant(const wchar_t* name)
{
    static const std::wstring variants = [] {
        wchar_t buffer[512] = {};
        const DWORD length = GetEnvironmentVariableW(L"QV_EVR_SHIM_VARIANT", buffer, 512);
        return length == 0 || length >= 512 ? std::wstring(L",") : L"," + std::wstring(buffer, length) + L",";
    }();
    return variants.find(L"," + std::wstring(name) + L",") != std::wstring::npos;
}

// The renderer's presentation clock, served to the presenter through the
// service lookup (MR_VIDEO_RENDER_SERVICE, IMFClock) as Windows' renderer does
// ("How to Write an EVR Presenter"): the graph's stream time, that is the
// reference clock minus Run's start time, standing still while paused, zero
// while stopped, and back to zero at a flush.
class LayerClock : public IMFClock
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid != __uuidof(IUnknown) && riid != __uuidof(IMFClock))
        {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IMFClock*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = InterlockedDecrement(&m_refs);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }
    STDMETHODIMP GetClockCharacteristics(DWORD* characteristics) override
    {
        if (!characteristics)
            return E_POINTER;
        *characteristics = MFCLOCK_CHARACTERISTICS_FLAG_FREQUENCY_10MHZ;
        return S_OK;
    }
    STDMETHODIMP GetCorrelatedTime(DWORD reserved, LONGLONG* clockTime, MFTIME* systemTime) override
    {
        if (!clockTime || !systemTime)
            return E_POINTER;
        if (reserved != 0)
            return E_INVALIDARG;
        CScopedLock lock(m_lock);
        *systemTime = MFGetSystemTime();
        if (m_state != MFCLOCK_STATE_RUNNING)
        {
            *clockTime = m_frozen;
            return S_OK;
        }
        REFERENCE_TIME now = 0;
        if (!m_reference || FAILED(m_reference->GetTime(&now)))
            return MF_E_NO_CLOCK; // a graph without a clock: samples show as they come
        *clockTime = now - m_start;
        return S_OK;
    }
    STDMETHODIMP GetContinuityKey(DWORD* key) override
    {
        if (!key)
            return E_POINTER;
        *key = 0;
        return S_OK;
    }
    STDMETHODIMP GetState(DWORD, MFCLOCK_STATE* state) override
    {
        if (!state)
            return E_POINTER;
        CScopedLock lock(m_lock);
        *state = m_state;
        return S_OK;
    }
    STDMETHODIMP GetProperties(MFCLOCK_PROPERTIES* properties) override
    {
        if (!properties)
            return E_POINTER;
        *properties = MFCLOCK_PROPERTIES{};
        properties->qwClockFrequency = 10000000; // 100-ns units
        properties->dwClockTolerance = 50; // parts per million, unknown
        properties->dwClockJitter = 1;
        return S_OK;
    }

    void Run(IReferenceClock* reference, REFERENCE_TIME start)
    {
        CScopedLock lock(m_lock);
        m_reference = reference;
        m_start = start;
        m_state = MFCLOCK_STATE_RUNNING;
    }
    void Pause()
    {
        CScopedLock lock(m_lock);
        REFERENCE_TIME now = 0;
        if (m_state == MFCLOCK_STATE_RUNNING && m_reference && SUCCEEDED(m_reference->GetTime(&now)))
            m_frozen = now - m_start;
        m_state = MFCLOCK_STATE_PAUSED;
    }
    void Stop()
    {
        CScopedLock lock(m_lock);
        m_reference.Reset();
        m_frozen = 0;
        m_state = MFCLOCK_STATE_STOPPED;
    }
    // A flush (a seek): the stream starts again at zero.
    void Reset()
    {
        CScopedLock lock(m_lock);
        REFERENCE_TIME now = 0;
        if (m_state == MFCLOCK_STATE_RUNNING && m_reference && SUCCEEDED(m_reference->GetTime(&now)))
            m_start = now;
        m_frozen = 0;
    }

private:
    virtual ~LayerClock() = default;

    volatile LONG m_refs = 1;
    CCriticalSection m_lock;
    ComPtr<IReferenceClock> m_reference;
    REFERENCE_TIME m_start = 0;
    LONGLONG m_frozen = 0;
    MFCLOCK_STATE m_state = MFCLOCK_STATE_STOPPED;
};

enum FilterState
{
    FILTER_STATE_STOPPED,
    FILTER_STATE_PAUSED, // prerolled from stopped: the clock has not started
    FILTER_STATE_PAUSED_AFTER_RUN,
    FILTER_STATE_RUNNING,
};

// One renderer filter. The interface pointers are borrowed: the record lives
// exactly as long as the filter (it is dropped in the filter's final Release).
struct RendererRecord
{
    IUnknown* identity = nullptr;
    IBaseFilter* filter = nullptr;
    IMFVideoRenderer* renderer = nullptr;
    ComPtr<IMFVideoPresenter> presenter;
    // The mixer given to the renderer with the caller's presenter.
    ComPtr<IMFTransform> mixer;
    // The mixer that looked up this renderer's services, until they are released.
    ComPtr<IMFTopologyServiceLookupClient> mixerClient;
    ComPtr<LayerClock> clock;
    // The graph's event sink, borrowed as the filter borrows its graph: set
    // while the filter is in a graph, and used only under the layer's lock.
    IMediaEventSink* graphEvents = nullptr;
    bool servicesHeld = false; // the presenter may hold the renderer's services
    bool flushedSincePause = false;
    FilterState state = FILTER_STATE_STOPPED;
};

std::vector<RendererRecord>& Records()
{
    static std::vector<RendererRecord>* records = new std::vector<RendererRecord>;
    return *records;
}

template <typename Match>
RendererRecord* FindRecord(Match match)
{
    for (RendererRecord& record : Records())
        if (match(record))
            return &record;
    return nullptr;
}

// The record of a renderer filter; with the lock held.
RendererRecord* RecordOf(const IBaseFilter* filter)
{
    return FindRecord([&](const RendererRecord& r) { return r.filter == filter; });
}

void ReleaseServices(IUnknown* object)
{
    ComPtr<IMFTopologyServiceLookupClient> client;
    HRESULT hr = object->QueryInterface(IID_PPV_ARGS(&client));
    if (SUCCEEDED(hr))
        hr = client->ReleaseServicePointers();
    if (FAILED(hr))
        Trace("ReleaseServicePointers failed: " + std::to_string(hr));
}

// The renderer's presenter, reached through its render service.
ComPtr<IMFTopologyServiceLookupClient> PresenterOf(IBaseFilter* filter)
{
    ComPtr<IMFGetService> service;
    ComPtr<IMFVideoDisplayControl> control;
    ComPtr<IMFTopologyServiceLookupClient> client;
    if (SUCCEEDED(filter->QueryInterface(IID_PPV_ARGS(&service))) &&
        SUCCEEDED(service->GetService(MR_VIDEO_RENDER_SERVICE, IID_PPV_ARGS(&control))))
        control.As(&client);
    return client;
}

void ReportFailure(const char* call, HRESULT hr)
{
    if (FAILED(hr))
        Trace(std::string(call) + " failed: " + std::to_string(hr));
}

// The presentation time at which a run starts: the graph's stream time now
// (reference clock minus the run's start time), 0 before the start or without a clock.
MFTIME StreamTimeAtRun(IBaseFilter* filter, REFERENCE_TIME start)
{
    ComPtr<IReferenceClock> clock;
    REFERENCE_TIME now = 0;
    if (FAILED(filter->GetSyncSource(&clock)) || !clock || FAILED(clock->GetTime(&now)))
        return 0;
    return now > start ? now - start : 0;
}

// Windows' renderer passes the presenter's events to the graph, and at the end
// of stream the presenter sends EC_COMPLETE once it has presented the last
// frame (MFVP_MESSAGE_ENDOFSTREAM); Wine 8's event sink passes none on, and its
// filter posts an EC_COMPLETE of its own at the end of stream. The graph's sink (patched in the graph's table, shared by
// every graph of the process) keeps that one from the graph for a renderer
// with a caller's presenter.
HRESULT STDMETHODCALLTYPE HookedGraphNotify(IMediaEventSink* self, LONG code, LONG_PTR param1, LONG_PTR param2)
{
    if (code == EC_COMPLETE && param2 != 0)
    {
        CScopedLock lock(Lock());
        RendererRecord* record = RecordOf(reinterpret_cast<IBaseFilter*>(param2));
        if (record && record->presenter)
            return S_OK;
    }
    return g_graphNotify(self, code, param1, param2);
}

HRESULT STDMETHODCALLTYPE HookedFilterNotify(IMediaEventSink* self, LONG code, LONG_PTR param1, LONG_PTR param2)
{
    const HRESULT hr = g_filterNotify(self, code, param1, param2);
    try
    {
        ComPtr<IBaseFilter> filter;
        if (FAILED(self->QueryInterface(IID_PPV_ARGS(&filter))))
            return hr;
        // Under the lock: the graph clears its sink (JoinFilterGraph) before it goes.
        CScopedLock lock(Lock());
        RendererRecord* record = RecordOf(filter.Get());
        if (!record || !record->presenter || !record->graphEvents || !g_graphNotify)
            return hr;
        // The graph counts one EC_COMPLETE per renderer, named by its filter.
        return g_graphNotify(record->graphEvents, code, param1,
                             code == EC_COMPLETE ? reinterpret_cast<LONG_PTR>(record->filter) : param2);
    }
    catch (...)
    {
        Trace("Notify: exception");
        return E_UNEXPECTED;
    }
}

HRESULT STDMETHODCALLTYPE HookedJoinFilterGraph(IBaseFilter* self, IFilterGraph* graph, LPCWSTR name)
{
    const HRESULT hr = g_joinFilterGraph(self, graph, name);
    if (FAILED(hr))
        return hr;
    try
    {
        ComPtr<IMediaEventSink> events;
        if (graph && SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink,
                                                     reinterpret_cast<void**>(events.GetAddressOf()))))
            PatchSlot(events.Get(), kSlotEventSinkNotify, reinterpret_cast<void*>(&HookedGraphNotify),
                      reinterpret_cast<void**>(&g_graphNotify), true);
        CScopedLock lock(Lock());
        RendererRecord* record = RecordOf(self);
        if (record)
            record->graphEvents = events.Get();
    }
    catch (...)
    {
        Trace("JoinFilterGraph: exception");
    }
    return hr;
}

// What a hook needs of a filter's record, copied under the lock.
struct RecordView
{
    ComPtr<IMFVideoPresenter> presenter;
    ComPtr<IMFTransform> mixer;
    ComPtr<LayerClock> clock;
};

RecordView ViewOf(IBaseFilter* filter)
{
    RecordView view;
    CScopedLock lock(Lock());
    RendererRecord* record = RecordOf(filter);
    if (record)
    {
        view.presenter = record->presenter;
        if (record->mixerClient)
            record->mixerClient.As(&view.mixer);
        view.clock = record->clock;
    }
    return view;
}

ComPtr<IBaseFilter> FilterOfPin(IPin* pin)
{
    PIN_INFO info{};
    ComPtr<IBaseFilter> filter;
    if (SUCCEEDED(pin->QueryPinInfo(&info)))
        filter.Attach(info.pFilter);
    return filter;
}

bool HasConnectedPin(IBaseFilter* filter)
{
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(&pins)))
        return false;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK)
    {
        ComPtr<IPin> peer;
        if (SUCCEEDED(pin->ConnectedTo(&peer)) && peer)
            return true;
    }
    return false;
}

ULONG STDMETHODCALLTYPE HookedRelease(IUnknown* self)
{
    const ULONG count = g_release(self);
    if (count != 0)
        return count;
    try
    {
        ComPtr<IMFVideoPresenter> presenter;
        ComPtr<IMFTopologyServiceLookupClient> mixerClient;
        ComPtr<IMFTransform> mixer;
        ComPtr<LayerClock> clock;
        bool servicesHeld = false;
        {
            CScopedLock lock(Lock());
            std::vector<RendererRecord>& records = Records();
            for (auto it = records.begin(); it != records.end(); ++it)
            {
                if (it->identity != self)
                    continue;
                presenter.Swap(it->presenter);
                mixerClient.Swap(it->mixerClient);
                mixer.Swap(it->mixer);
                clock.Swap(it->clock);
                servicesHeld = it->servicesHeld;
                records.erase(it);
                break;
            }
        }
        // Windows' renderer releases its presenter's services when it goes away.
        if (presenter && servicesHeld)
            ReleaseServices(presenter.Get());
    }
    catch (...)
    {
        Trace("Release: exception");
    }
    return 0;
}

// Running or paused to stopped: OnClockStop, then MFVP_MESSAGE_ENDSTREAMING
// (MFVP_MESSAGE_TYPE: "the EVR is leaving the streaming state").
HRESULT STDMETHODCALLTYPE HookedStop(IBaseFilter* self)
{
    const HRESULT hr = g_stop(self);
    if (FAILED(hr))
        return hr;
    try
    {
        ComPtr<IMFVideoPresenter> presenter;
        ComPtr<LayerClock> clock;
        {
            CScopedLock lock(Lock());
            RendererRecord* record = RecordOf(self);
            if (!record)
                return hr;
            if (record->state != FILTER_STATE_STOPPED)
                presenter = record->presenter;
            clock = record->clock;
            record->state = FILTER_STATE_STOPPED;
            record->flushedSincePause = false;
        }
        if (clock)
            clock->Stop();
        if (presenter)
        {
            ReportFailure("OnClockStop", presenter->OnClockStop(MFGetSystemTime()));
            ReportFailure("ENDSTREAMING", presenter->ProcessMessage(MFVP_MESSAGE_ENDSTREAMING, 0));
        }
    }
    catch (...)
    {
        Trace("Stop: exception");
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE HookedPause(IBaseFilter* self)
{
    const HRESULT hr = g_pause(self);
    if (FAILED(hr))
        return hr;
    try
    {
        ComPtr<IMFVideoPresenter> presenter;
        ComPtr<LayerClock> clock;
        FilterState previous = FILTER_STATE_STOPPED;
        {
            CScopedLock lock(Lock());
            RendererRecord* record = RecordOf(self);
            if (!record)
                return hr;
            previous = record->state;
            presenter = record->presenter;
            clock = record->clock;
            // A pause from stopped only prerolls: the clock has not started yet.
            if (record->state == FILTER_STATE_STOPPED)
                record->state = FILTER_STATE_PAUSED;
            else if (record->state == FILTER_STATE_RUNNING)
            {
                record->state = FILTER_STATE_PAUSED_AFTER_RUN;
                record->flushedSincePause = false;
            }
        }
        if (previous == FILTER_STATE_RUNNING && clock)
            clock->Pause();
        if (!presenter)
            return hr;
        if (previous == FILTER_STATE_STOPPED)
        {
            // MFVP_MESSAGE_TYPE: BEGINSTREAMING when leaving the stopped state.
            ReportFailure("BEGINSTREAMING", presenter->ProcessMessage(MFVP_MESSAGE_BEGINSTREAMING, 0));
            if (Variant(L"pause-on-preroll"))
                ReportFailure("OnClockPause", presenter->OnClockPause(MFGetSystemTime()));
        }
        else if (previous == FILTER_STATE_RUNNING)
            ReportFailure("OnClockPause", presenter->OnClockPause(MFGetSystemTime()));
    }
    catch (...)
    {
        Trace("Pause: exception");
    }
    return hr;
}

// From stopped the clock starts at the stream time of the run. Whether
// Windows restarts or starts the clock on a resume, plain or after a running
// seek, and with which offset, is undocumented: the defaults are a restart for
// a plain resume and a start at the stream time after a seek; the variants
// flip each.
HRESULT STDMETHODCALLTYPE HookedRun(IBaseFilter* self, REFERENCE_TIME start)
{
    const HRESULT hr = g_run(self, start);
    if (FAILED(hr))
        return hr;
    try
    {
        ComPtr<IMFVideoPresenter> presenter;
        ComPtr<LayerClock> clock;
        FilterState previous = FILTER_STATE_RUNNING;
        bool flushed = false;
        {
            CScopedLock lock(Lock());
            RendererRecord* record = RecordOf(self);
            if (!record)
                return hr;
            previous = record->state;
            flushed = record->flushedSincePause;
            record->state = FILTER_STATE_RUNNING;
            record->flushedSincePause = false;
            presenter = record->presenter;
            clock = record->clock;
        }
        if (previous == FILTER_STATE_RUNNING)
            return hr;
        if (clock)
        {
            ComPtr<IReferenceClock> reference;
            if (FAILED(self->GetSyncSource(&reference)))
                reference.Reset();
            clock->Run(reference.Get(), start);
        }
        if (!presenter)
            return hr;
        const MFTIME now = MFGetSystemTime();
        if (previous == FILTER_STATE_STOPPED)
            ReportFailure("BEGINSTREAMING", presenter->ProcessMessage(MFVP_MESSAGE_BEGINSTREAMING, 0));
        bool restart = false;
        if (previous == FILTER_STATE_PAUSED_AFTER_RUN)
            restart = flushed ? Variant(L"seek-resume-with-restart") : !Variant(L"resume-with-start");
        if (restart)
        {
            ReportFailure("OnClockRestart", presenter->OnClockRestart(now));
            return hr;
        }
        MFTIME offset = StreamTimeAtRun(self, start);
        if (previous == FILTER_STATE_PAUSED_AFTER_RUN && Variant(L"start-offset-current"))
            offset = kCurrentPosition;
        ReportFailure("OnClockStart", presenter->OnClockStart(now, offset));
    }
    catch (...)
    {
        Trace("Run: exception");
    }
    return hr;
}

// The lookup of the renderer's services, as the presenter and the mixer call
// it. Windows' renderer serves its clock under MR_VIDEO_RENDER_SERVICE ("How
// to Write an EVR Presenter"); Wine 8's serves none.
HRESULT STDMETHODCALLTYPE HookedLookupService(IMFTopologyServiceLookup* self, MF_SERVICE_LOOKUP_TYPE type,
                                              DWORD index, REFGUID service, REFIID riid, void** objects,
                                              DWORD* count)
{
    try
    {
        ComPtr<IBaseFilter> filter;
        if (objects && count && *count >= 1 && service == MR_VIDEO_RENDER_SERVICE &&
            riid == __uuidof(IMFClock) &&
            SUCCEEDED(self->QueryInterface(IID_PPV_ARGS(&filter))))
        {
            ComPtr<LayerClock> clock;
            bool found = false;
            {
                CScopedLock lock(Lock());
                RendererRecord* record = RecordOf(filter.Get());
                if (record)
                {
                    found = true;
                    clock = record->clock;
                }
            }
            if (found && clock)
            {
                objects[0] = static_cast<IMFClock*>(clock.Detach());
                *count = 1;
                return S_OK;
            }
        }
    }
    catch (...)
    {
        Trace("LookupService: exception");
        return E_UNEXPECTED;
    }
    return g_lookupService(self, type, index, service, riid, objects, count);
}

// Windows' renderer answers MR_VIDEO_MIXER_SERVICE with its mixer's own
// services (IMFVideoMixerControl among them); Wine 8's answers none.
HRESULT STDMETHODCALLTYPE HookedGetService(IMFGetService* self, REFGUID service, REFIID riid, void** object)
{
    const HRESULT hr = g_getService(self, service, riid, object);
    if (SUCCEEDED(hr) || service != MR_VIDEO_MIXER_SERVICE || !object)
        return hr;
    try
    {
        ComPtr<IBaseFilter> filter;
        if (FAILED(self->QueryInterface(IID_PPV_ARGS(&filter))))
            return hr;
        ComPtr<IMFTransform> mixer;
        {
            CScopedLock lock(Lock());
            RendererRecord* record = RecordOf(filter.Get());
            if (record)
            {
                mixer = record->mixer;
                if (!mixer && record->mixerClient)
                    record->mixerClient.As(&mixer);
            }
        }
        ComPtr<IMFGetService> mixerService;
        if (!mixer || FAILED(mixer.As(&mixerService)))
            return hr;
        return mixerService->GetService(service, riid, object);
    }
    catch (...)
    {
        Trace("GetService: exception");
        return hr;
    }
}

// The default mixer that Windows' renderer makes for a caller's presenter;
// made here so that its services can be served before the pin connects.
ComPtr<IMFTransform> CreateDefaultMixer()
{
    using CreateMixerFn = HRESULT(WINAPI*)(IUnknown*, REFIID, REFIID, void**);
    HMODULE real = RealEvr();
    auto create = real ? reinterpret_cast<CreateMixerFn>(
                             reinterpret_cast<void*>(GetProcAddress(real, "MFCreateVideoMixer")))
                       : nullptr;
    ComPtr<IMFTransform> mixer;
    if (create && FAILED(create(nullptr, __uuidof(IDirect3DDevice9), __uuidof(IMFTransform),
                                reinterpret_cast<void**>(mixer.GetAddressOf()))))
        mixer.Reset();
    return mixer;
}

void InstrumentMixer(IUnknown* object);

// IMFVideoRenderer::InitializeRenderer "returns VFW_E_WRONG_STATE if any pin
// of the EVR filter is connected"; the layer's own calls go to the original.
HRESULT STDMETHODCALLTYPE HookedInitializeRenderer(IMFVideoRenderer* self, IMFTransform* mixer,
                                                   IMFVideoPresenter* presenter)
{
    ComPtr<IMFTransform> ownMixer;
    try
    {
        ComPtr<IBaseFilter> filter;
        if (SUCCEEDED(self->QueryInterface(IID_PPV_ARGS(&filter))) && HasConnectedPin(filter.Get()))
            return VFW_E_WRONG_STATE;
        if (!mixer && presenter)
        {
            ownMixer = CreateDefaultMixer();
            if (ownMixer)
                InstrumentMixer(ownMixer.Get());
            mixer = ownMixer.Get();
        }
    }
    catch (...)
    {
        Trace("InitializeRenderer: exception");
    }
    const HRESULT hr = g_initializeRenderer(self, mixer, presenter);
    if (FAILED(hr))
        return hr;
    try
    {
        ComPtr<IMFVideoPresenter> replaced;
        {
            CScopedLock lock(Lock());
            RendererRecord* record = FindRecord([&](const RendererRecord& r) { return r.renderer == self; });
            if (!record)
                return hr;
            if (record->presenter.Get() != presenter && record->servicesHeld)
                replaced = record->presenter;
            record->presenter = presenter;
            record->mixer = mixer;
            record->servicesHeld = presenter != nullptr;
        }
        // A presenter the renderer lets go of gets its services released.
        if (replaced)
            ReleaseServices(replaced.Get());
    }
    catch (...)
    {
        Trace("InitializeRenderer: exception");
    }
    return hr;
}

// The lookup the layer hands the presenter when it looks services up again by
// itself: Wine's own answers only inside its own calls (MF_E_NOTACCEPTING, as
// Windows' does outside InitServicePointers). It serves what the renderer's
// serves: its clock and event sink, and its mixer.
class LayerLookup : public IMFTopologyServiceLookup
{
public:
    LayerLookup(IBaseFilter* filter, IMFClock* clock, IMFTransform* mixer)
        : m_filter(filter), m_clock(clock), m_mixer(mixer)
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid != __uuidof(IUnknown) && riid != __uuidof(IMFTopologyServiceLookup))
        {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IMFTopologyServiceLookup*>(this);
        AddRef();
        return S_OK;
    }
    // Lives on the stack for the one call.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP LookupService(MF_SERVICE_LOOKUP_TYPE, DWORD index, REFGUID service, REFIID riid, void** objects,
                               DWORD* count) override
    {
        if (!objects || !count || *count < 1)
            return E_POINTER;
        if (index != 0)
            return MF_E_NOT_FOUND;
        HRESULT hr = MF_E_UNSUPPORTED_SERVICE;
        if (service == MR_VIDEO_RENDER_SERVICE && riid == __uuidof(IMFClock) && m_clock)
            hr = m_clock->QueryInterface(riid, objects);
        else if (service == MR_VIDEO_RENDER_SERVICE)
            hr = m_filter->QueryInterface(riid, objects);
        else if (service == MR_VIDEO_MIXER_SERVICE && m_mixer)
            hr = m_mixer->QueryInterface(riid, objects);
        if (SUCCEEDED(hr))
            *count = 1;
        return hr;
    }

private:
    IBaseFilter* m_filter;
    IMFClock* m_clock;
    IMFTransform* m_mixer;
};

// Windows' renderer releases the presenter's services when a new clock is set
// ("How to Write an EVR Presenter"); whether it looks them up again at once is
// undocumented (relookup-on-clock). A presenter that has lost its media type
// with its services negotiates again, as at a connection.
HRESULT STDMETHODCALLTYPE HookedSetSyncSource(IBaseFilter* self, IReferenceClock* clock)
{
    const HRESULT hr = g_setSyncSource(self, clock);
    if (FAILED(hr) || !Variant(L"relookup-on-clock"))
        return hr;
    try
    {
        RecordView view;
        {
            CScopedLock lock(Lock());
            RendererRecord* record = RecordOf(self);
            if (record && record->servicesHeld)
            {
                view.presenter = record->presenter;
                view.clock = record->clock;
                view.mixer = record->mixer;
                if (!view.mixer && record->mixerClient)
                    record->mixerClient.As(&view.mixer);
            }
        }
        ComPtr<IMFVideoPresenter> presenter = view.presenter;
        ComPtr<IMFTopologyServiceLookupClient> client;
        if (!presenter || FAILED(presenter.As(&client)))
            return hr;
        LayerLookup lookup(self, view.clock.Get(), view.mixer.Get());
        ReportFailure("ReleaseServicePointers", client->ReleaseServicePointers());
        ReportFailure("InitServicePointers", client->InitServicePointers(&lookup));
        if (HasConnectedPin(self))
            ReportFailure("INVALIDATEMEDIATYPE", presenter->ProcessMessage(MFVP_MESSAGE_INVALIDATEMEDIATYPE, 0));
    }
    catch (...)
    {
        Trace("SetSyncSource: exception");
    }
    return hr;
}

// Windows' renderer releases the services of its mixer and presenter when
// its pin disconnects. Wine's mixer keeps our device manager after that and
// faults on the NULL input type of the disconnect, so the renderer's own pair
// goes through the disconnect.
HRESULT STDMETHODCALLTYPE HookedDisconnect(IPin* self)
{
    try
    {
        PIN_INFO info{};
        if (FAILED(self->QueryPinInfo(&info)))
            return g_disconnect(self);
        ComPtr<IBaseFilter> filter;
        filter.Attach(info.pFilter);
        ComPtr<IPin> peer;
        if (info.dir != PINDIR_INPUT || !filter || FAILED(self->ConnectedTo(&peer)) || !peer)
            return g_disconnect(self);

        ComPtr<IMFVideoPresenter> presenter;
        ComPtr<IMFTopologyServiceLookupClient> mixerClient;
        IMFVideoRenderer* renderer = nullptr; // borrowed: filter holds the object
        {
            CScopedLock lock(Lock());
            RendererRecord* record = RecordOf(filter.Get());
            // A running or paused filter refuses the disconnect by itself.
            if (!record || record->state != FILTER_STATE_STOPPED)
                return g_disconnect(self);
            presenter = record->presenter;
            mixerClient.Swap(record->mixerClient);
            renderer = record->renderer;
            record->servicesHeld = false;
        }
        if (mixerClient)
            ReleaseServices(mixerClient.Get());
        mixerClient.Reset();
        // Without a presenter of the caller's, the renderer's own has the services.
        ComPtr<IMFTopologyServiceLookupClient> presenterClient;
        if (presenter)
            presenter.As(&presenterClient);
        else
            presenterClient = PresenterOf(filter.Get());
        if (presenterClient)
            ReleaseServices(presenterClient.Get());
        presenterClient.Reset();

        const HRESULT swapped = g_initializeRenderer(renderer, nullptr, nullptr);
        if (FAILED(swapped))
            Trace("InitializeRenderer(default) failed: " + std::to_string(swapped));
        const HRESULT hr = g_disconnect(self);
        // Installed on a connected pin, the renderer's own pair looked up its
        // services too, and holds references to the renderer through them.
        {
            CScopedLock lock(Lock());
            RendererRecord* record = RecordOf(filter.Get());
            if (record)
                mixerClient.Swap(record->mixerClient);
        }
        if (mixerClient)
            ReleaseServices(mixerClient.Get());
        ComPtr<IMFTopologyServiceLookupClient> ownPresenter = PresenterOf(filter.Get());
        if (ownPresenter)
            ReleaseServices(ownPresenter.Get());

        // Ours is not put back: Wine 8's renderer is never freed once its pin
        // has connected (a reference of its own stays), and would keep it alive.
        {
            CScopedLock lock(Lock());
            RendererRecord* record = RecordOf(filter.Get());
            if (record)
            {
                record->presenter.Reset();
                record->mixer.Reset();
            }
        }
        return hr;
    }
    catch (...)
    {
        Trace("Disconnect: exception");
        return E_UNEXPECTED;
    }
}

// MFVP_MESSAGE_FLUSH tells the presenter to discard its queued frames; Wine 8's
// renderer passes a flush on to neither its mixer nor the presenter, so a seek
// while paused would leave the old frame showing. When Windows flushes
// relative to BeginFlush/EndFlush, and the mixer against the presenter, is
// undocumented: by default at EndFlush (upstream has stopped delivering, and
// nothing new arrives before the original returns), mixer first.
void FlushRenderer(IPin* pin)
{
    ComPtr<IBaseFilter> filter = FilterOfPin(pin);
    if (!filter)
        return;
    RecordView view;
    {
        CScopedLock lock(Lock());
        RendererRecord* record = RecordOf(filter.Get());
        if (!record)
            return;
        view.presenter = record->presenter;
        if (record->mixerClient)
            record->mixerClient.As(&view.mixer);
        view.clock = record->clock;
        record->flushedSincePause = true;
    }
    if (view.clock)
        view.clock->Reset();
    const bool presenterFirst = Variant(L"flush-presenter-first");
    if (presenterFirst && view.presenter)
        ReportFailure("presenter flush", view.presenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0));
    if (view.mixer)
        ReportFailure("mixer flush", view.mixer->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0));
    if (!presenterFirst && view.presenter)
        ReportFailure("presenter flush", view.presenter->ProcessMessage(MFVP_MESSAGE_FLUSH, 0));
}

HRESULT STDMETHODCALLTYPE HookedBeginFlush(IPin* self)
{
    // The original refuses new samples first.
    const HRESULT hr = g_beginFlush(self);
    try
    {
        if (SUCCEEDED(hr) && Variant(L"flush-at-begin"))
            FlushRenderer(self);
    }
    catch (...)
    {
        Trace("BeginFlush: exception");
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE HookedEndFlush(IPin* self)
{
    try
    {
        if (!Variant(L"flush-at-begin"))
            FlushRenderer(self);
    }
    catch (...)
    {
        Trace("EndFlush: exception");
    }
    return g_endFlush(self);
}

// The input pin's end of stream reaches the presenter as
// MFVP_MESSAGE_ENDOFSTREAM; the presenter sends EC_COMPLETE once it has shown
// the last frame (MFVP_MESSAGE_TYPE). Wine's filter posts its own at once,
// which the graph hook keeps from the graph.
HRESULT STDMETHODCALLTYPE HookedEndOfStream(IPin* self)
{
    const HRESULT hr = g_endOfStream(self);
    if (hr != S_OK)
        return hr;
    try
    {
        ComPtr<IBaseFilter> filter = FilterOfPin(self);
        RecordView view = filter ? ViewOf(filter.Get()) : RecordView{};
        if (view.presenter)
            ReportFailure("ENDOFSTREAM", view.presenter->ProcessMessage(MFVP_MESSAGE_ENDOFSTREAM, 0));
    }
    catch (...)
    {
        Trace("EndOfStream: exception");
    }
    return hr;
}

// The renderer hands out no way back to its mixer, so the mixer is caught
// when it looks up the renderer's services. Wine's renderer looks them up
// again at every connection attempt without releasing them in between; the
// mixer keeps a reference to the renderer from each, so they are released
// first, as Windows' renderer does at each disconnect.
HRESULT STDMETHODCALLTYPE HookedMixerInitServicePointers(IMFTopologyServiceLookupClient* self,
                                                        IMFTopologyServiceLookup* lookup)
{
    try
    {
        ComPtr<IBaseFilter> filter;
        if (!lookup || FAILED(lookup->QueryInterface(IID_PPV_ARGS(&filter))))
            return g_mixerInitServicePointers(self, lookup);
        bool held = false;
        {
            CScopedLock lock(Lock());
            RendererRecord* record = RecordOf(filter.Get());
            if (!record)
                return g_mixerInitServicePointers(self, lookup);
            held = record->mixerClient.Get() == self;
        }
        if (held)
            ReleaseServices(self);
        const HRESULT hr = g_mixerInitServicePointers(self, lookup);
        CScopedLock lock(Lock());
        RendererRecord* record = RecordOf(filter.Get());
        if (record)
            record->mixerClient = SUCCEEDED(hr) ? self : nullptr;
        return hr;
    }
    catch (...)
    {
        Trace("mixer InitServicePointers: exception");
        return E_UNEXPECTED;
    }
}

struct StreamTimes
{
    bool stamped = false;
    LONGLONG start = 0;
    LONGLONG duration = 0;
};

// The stamping hooks run on the streaming threads for every frame, so they
// take no lock of the layer's: a thread ended by the process's exit while
// holding one would leave it to block the teardown hooks that need it.

// The time stamp of the sample a renderer's input pin is handing to its
// mixer, for the thread that hands it on (Wine's renderer passes the mixer a
// copy without it): a thread-local slot that points at HookedReceive's own.
DWORD ReceivingSlot()
{
    static const DWORD slot = TlsAlloc();
    return slot;
}

// What each mixer was last given, for the output it makes from it: kept in
// the mixer's own attribute store, which lives and goes with the mixer.
// {5f0c1d9e-4a7b-4c2e-9d63-2b8e7f1a4c55}, the layer's own key.
const GUID kLastInputTimes = {0x5f0c1d9e, 0x4a7b, 0x4c2e, {0x9d, 0x63, 0x2b, 0x8e, 0x7f, 0x1a, 0x4c, 0x55}};

void RememberInput(IMFTransform* mixer, const StreamTimes& times)
{
    ComPtr<IMFAttributes> attributes;
    if (SUCCEEDED(mixer->GetAttributes(&attributes)) && attributes)
        attributes->SetBlob(kLastInputTimes, reinterpret_cast<const UINT8*>(&times), sizeof(times));
}

StreamTimes LastInput(IMFTransform* mixer)
{
    StreamTimes times;
    ComPtr<IMFAttributes> attributes;
    UINT32 size = 0;
    if (FAILED(mixer->GetAttributes(&attributes)) || !attributes ||
        FAILED(attributes->GetBlob(kLastInputTimes, reinterpret_cast<UINT8*>(&times), sizeof(times), &size)) ||
        size != sizeof(times))
        return StreamTimes();
    return times;
}

HRESULT STDMETHODCALLTYPE HookedReceive(IMemInputPin* self, IMediaSample* sample)
{
    REFERENCE_TIME start = 0, stop = 0;
    const HRESULT timed = sample ? sample->GetTime(&start, &stop) : VFW_E_SAMPLE_TIME_NOT_SET;
    StreamTimes times;
    times.stamped = SUCCEEDED(timed);
    times.start = start;
    times.duration = timed == S_OK && stop > start ? stop - start : 0;
    const DWORD slot = ReceivingSlot();
    const bool kept = slot != TLS_OUT_OF_INDEXES && TlsSetValue(slot, &times);
    const HRESULT hr = g_receive(self, sample);
    if (kept)
        TlsSetValue(slot, nullptr);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookedMixerProcessInput(IMFTransform* self, DWORD stream, IMFSample* sample, DWORD flags)
{
    const HRESULT hr = g_mixerProcessInput(self, stream, sample, flags);
    if (FAILED(hr) || stream != 0)
        return hr;
    StreamTimes times;
    LONGLONG start = 0;
    if (sample && SUCCEEDED(sample->GetSampleTime(&start)))
    {
        times.stamped = true;
        times.start = start;
        if (FAILED(sample->GetSampleDuration(&times.duration)))
            times.duration = 0;
    }
    else if (ReceivingSlot() != TLS_OUT_OF_INDEXES)
    {
        if (const auto* receiving = static_cast<const StreamTimes*>(TlsGetValue(ReceivingSlot())))
            times = *receiving;
    }
    RememberInput(self, times);
    return hr;
}

HRESULT STDMETHODCALLTYPE HookedMixerProcessOutput(IMFTransform* self, DWORD flags, DWORD count,
                                                  MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status)
{
    const HRESULT hr = g_mixerProcessOutput(self, flags, count, buffers, status);
    IMFSample* output = SUCCEEDED(hr) && count > 0 && buffers ? buffers[0].pSample : nullptr;
    LONGLONG time = 0;
    if (!output || SUCCEEDED(output->GetSampleTime(&time)))
        return hr;
    const StreamTimes times = LastInput(self);
    if (times.stamped)
    {
        output->SetSampleTime(times.start);
        output->SetSampleDuration(times.duration);
    }
    return hr;
}

// Hooks a mixer made by the renderer's factory.
void InstrumentMixer(IUnknown* object)
{
    ComPtr<IMFTransform> transform;
    ComPtr<IMFTopologyServiceLookupClient> client;
    if (SUCCEEDED(object->QueryInterface(__uuidof(IMFTransform), reinterpret_cast<void**>(transform.GetAddressOf()))) &&
        SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&client))))
    {
        PatchSlot(client.Get(), kSlotLookupClientInit, reinterpret_cast<void*>(&HookedMixerInitServicePointers),
                  reinterpret_cast<void**>(&g_mixerInitServicePointers));
        PatchSlot(transform.Get(), kSlotTransformProcessInput, reinterpret_cast<void*>(&HookedMixerProcessInput),
                  reinterpret_cast<void**>(&g_mixerProcessInput));
        PatchSlot(transform.Get(), kSlotTransformProcessOutput, reinterpret_cast<void*>(&HookedMixerProcessOutput),
                  reinterpret_cast<void**>(&g_mixerProcessOutput));
    }
}

// Hooks one new renderer filter and starts its record.
void Instrument(IUnknown* object)
{
    ComPtr<IUnknown> identity;
    ComPtr<IBaseFilter> filter;
    ComPtr<IMFVideoRenderer> renderer;
    if (FAILED(object->QueryInterface(IID_PPV_ARGS(&identity))) ||
        FAILED(object->QueryInterface(IID_PPV_ARGS(&filter))) ||
        FAILED(object->QueryInterface(__uuidof(IMFVideoRenderer), reinterpret_cast<void**>(renderer.GetAddressOf()))))
    {
        // The renderer's mixer or presenter, made by the same factory.
        InstrumentMixer(object);
        return;
    }

    bool hooked = PatchSlot(filter.Get(), kSlotFilterStop, reinterpret_cast<void*>(&HookedStop),
                            reinterpret_cast<void**>(&g_stop)) &&
                  PatchSlot(filter.Get(), kSlotFilterPause, reinterpret_cast<void*>(&HookedPause),
                            reinterpret_cast<void**>(&g_pause)) &&
                  PatchSlot(filter.Get(), kSlotFilterRun, reinterpret_cast<void*>(&HookedRun),
                            reinterpret_cast<void**>(&g_run)) &&
                  PatchSlot(filter.Get(), kSlotFilterSetSyncSource, reinterpret_cast<void*>(&HookedSetSyncSource),
                            reinterpret_cast<void**>(&g_setSyncSource)) &&
                  PatchSlot(renderer.Get(), kSlotRendererInitialize, reinterpret_cast<void*>(&HookedInitializeRenderer),
                            reinterpret_cast<void**>(&g_initializeRenderer));
    ComPtr<IMFTopologyServiceLookup> lookup;
    ComPtr<IMFGetService> service;
    ComPtr<IMediaEventSink> events;
    hooked = hooked && SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&lookup))) &&
             SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&service))) &&
             SUCCEEDED(object->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(events.GetAddressOf()))) &&
             PatchSlot(events.Get(), kSlotEventSinkNotify, reinterpret_cast<void*>(&HookedFilterNotify),
                       reinterpret_cast<void**>(&g_filterNotify)) &&
             PatchSlot(filter.Get(), kSlotFilterJoinFilterGraph, reinterpret_cast<void*>(&HookedJoinFilterGraph),
                       reinterpret_cast<void**>(&g_joinFilterGraph)) &&
             PatchSlot(lookup.Get(), kSlotLookupService, reinterpret_cast<void*>(&HookedLookupService),
                       reinterpret_cast<void**>(&g_lookupService)) &&
             PatchSlot(service.Get(), kSlotGetService, reinterpret_cast<void*>(&HookedGetService),
                       reinterpret_cast<void**>(&g_getService));
    lookup.Reset();
    service.Reset();
    events.Reset();
    ComPtr<IEnumPins> pins;
    if (hooked && SUCCEEDED(filter->EnumPins(&pins)))
    {
        ComPtr<IPin> pin;
        while (hooked && pins->Next(1, &pin, nullptr) == S_OK)
        {
            hooked = PatchSlot(pin.Get(), kSlotPinDisconnect, reinterpret_cast<void*>(&HookedDisconnect),
                               reinterpret_cast<void**>(&g_disconnect)) &&
                     PatchSlot(pin.Get(), kSlotPinBeginFlush, reinterpret_cast<void*>(&HookedBeginFlush),
                               reinterpret_cast<void**>(&g_beginFlush)) &&
                     PatchSlot(pin.Get(), kSlotPinEndFlush, reinterpret_cast<void*>(&HookedEndFlush),
                               reinterpret_cast<void**>(&g_endFlush)) &&
                     PatchSlot(pin.Get(), kSlotPinEndOfStream, reinterpret_cast<void*>(&HookedEndOfStream),
                               reinterpret_cast<void**>(&g_endOfStream));
            ComPtr<IMemInputPin> input;
            hooked = hooked && SUCCEEDED(pin.As(&input)) &&
                     PatchSlot(input.Get(), kSlotMemInputReceive, reinterpret_cast<void*>(&HookedReceive),
                               reinterpret_cast<void**>(&g_receive));
            pin.Reset();
        }
    }
    if (!hooked)
        return;
    {
        CScopedLock lock(Lock());
        RendererRecord record;
        record.identity = identity.Get();
        record.filter = filter.Get();
        record.renderer = renderer.Get();
        record.clock.Attach(new LayerClock);
        Records().push_back(record);
    }
    // Last, so that the references taken here are returned the ordinary way.
    IUnknown* borrowedIdentity = identity.Get();
    identity.Reset();
    filter.Reset();
    renderer.Reset();
    if (!PatchSlot(borrowedIdentity, kSlotUnknownRelease, reinterpret_cast<void*>(&HookedRelease),
                   reinterpret_cast<void**>(&g_release)))
    {
        CScopedLock lock(Lock());
        std::vector<RendererRecord>& records = Records();
        for (auto it = records.begin(); it != records.end(); ++it)
            if (it->identity == borrowedIdentity)
            {
                records.erase(it);
                break;
            }
    }
}

HRESULT STDMETHODCALLTYPE HookedCreateInstance(IClassFactory* self, IUnknown* outer, REFIID riid, void** ppv)
{
    const HRESULT hr = g_createInstance(self, outer, riid, ppv);
    // An aggregated filter's identity belongs to its owner; it is left alone.
    if (FAILED(hr) || outer || !ppv || !*ppv)
        return hr;
    try
    {
        Instrument(static_cast<IUnknown*>(*ppv));
    }
    catch (...)
    {
        Trace("CreateInstance: exception");
    }
    return hr;
}

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    HMODULE real = RealEvr();
    auto getClassObject =
        real ? reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(real, "DllGetClassObject")))
             : nullptr;
    if (!getClassObject)
        return CLASS_E_CLASSNOTAVAILABLE;
    const HRESULT hr = getClassObject(clsid, riid, ppv);
    if (FAILED(hr) || clsid != kClsidEnhancedVideoRenderer || !LayerEnabled())
        return hr;
    ComPtr<IClassFactory> factory;
    if (SUCCEEDED(static_cast<IUnknown*>(*ppv)->QueryInterface(IID_PPV_ARGS(&factory))))
        PatchSlot(factory.Get(), kSlotFactoryCreateInstance, reinterpret_cast<void*>(&HookedCreateInstance),
                  reinterpret_cast<void**>(&g_createInstance));
    return hr;
}

// The patched tables point into this module and the real one: neither may go.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE;
}
