#pragma once

#ifdef __cplusplus
extern "C" {
#endif

extern const unsigned kSlotUnknownRelease;
extern const unsigned kSlotFactoryCreateInstance;
extern const unsigned kSlotFilterStop;
extern const unsigned kSlotFilterPause;
extern const unsigned kSlotFilterRun;
extern const unsigned kSlotPinDisconnect;
extern const unsigned kSlotPinEndFlush;
extern const unsigned kSlotRendererInitialize;
extern const unsigned kSlotLookupClientInit;
extern const unsigned kSlotFilterSetSyncSource;
extern const unsigned kSlotPinBeginFlush;
extern const unsigned kSlotPinEndOfStream;
extern const unsigned kSlotLookupService;
extern const unsigned kSlotGetService;
extern const unsigned kSlotEventSinkNotify;
extern const unsigned kSlotFilterJoinFilterGraph;
extern const unsigned kSlotMemInputReceive;
extern const unsigned kSlotTransformProcessInput;
extern const unsigned kSlotTransformProcessOutput;

#ifdef __cplusplus
}
#endif
