/* Slot numbers of the methods the layer patches, taken from the C layout of
   the interfaces so that no number is written by hand. */
#define CINTERFACE
#define COBJMACROS
#include <windows.h>
#include <dshow.h>
#include <evr.h>

#include <stddef.h>

#include "EvrSlots.h"

const unsigned kSlotUnknownRelease = offsetof(IUnknownVtbl, Release) / sizeof(void*);
const unsigned kSlotFactoryCreateInstance = offsetof(IClassFactoryVtbl, CreateInstance) / sizeof(void*);
const unsigned kSlotFilterStop = offsetof(IBaseFilterVtbl, Stop) / sizeof(void*);
const unsigned kSlotFilterPause = offsetof(IBaseFilterVtbl, Pause) / sizeof(void*);
const unsigned kSlotFilterRun = offsetof(IBaseFilterVtbl, Run) / sizeof(void*);
const unsigned kSlotPinDisconnect = offsetof(IPinVtbl, Disconnect) / sizeof(void*);
const unsigned kSlotPinEndFlush = offsetof(IPinVtbl, EndFlush) / sizeof(void*);
const unsigned kSlotRendererInitialize = offsetof(IMFVideoRendererVtbl, InitializeRenderer) / sizeof(void*);
const unsigned kSlotLookupClientInit = offsetof(IMFTopologyServiceLookupClientVtbl, InitServicePointers) / sizeof(void*);
const unsigned kSlotFilterSetSyncSource = offsetof(IBaseFilterVtbl, SetSyncSource) / sizeof(void*);
const unsigned kSlotPinBeginFlush = offsetof(IPinVtbl, BeginFlush) / sizeof(void*);
const unsigned kSlotPinEndOfStream = offsetof(IPinVtbl, EndOfStream) / sizeof(void*);
const unsigned kSlotLookupService = offsetof(IMFTopologyServiceLookupVtbl, LookupService) / sizeof(void*);
const unsigned kSlotGetService = offsetof(IMFGetServiceVtbl, GetService) / sizeof(void*);
const unsigned kSlotEventSinkNotify = offsetof(IMediaEventSinkVtbl, Notify) / sizeof(void*);
const unsigned kSlotFilterJoinFilterGraph = offsetof(IBaseFilterVtbl, JoinFilterGraph) / sizeof(void*);
const unsigned kSlotMemInputReceive = offsetof(IMemInputPinVtbl, Receive) / sizeof(void*);
const unsigned kSlotTransformProcessInput = offsetof(IMFTransformVtbl, ProcessInput) / sizeof(void*);
const unsigned kSlotTransformProcessOutput = offsetof(IMFTransformVtbl, ProcessOutput) / sizeof(void*);
