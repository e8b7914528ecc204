#pragma once

#ifdef __cplusplus
extern "C" {
#endif

extern const unsigned kSlotD3dCreateDevice;
extern const unsigned kSlotD3dCreateDeviceEx;
extern const unsigned kSlotDeviceTestCooperativeLevel;
extern const unsigned kSlotDeviceCreateTexture;
extern const unsigned kSlotDeviceCreateQuery;
extern const unsigned kSlotDevicePresent;
extern const unsigned kSlotDevicePresentEx;
extern const unsigned kSlotDeviceCheckDeviceState;
extern const unsigned kSlotDeviceGetRenderTargetData;
extern const unsigned kSlotDeviceUpdateSurface;
extern const unsigned kSlotDeviceStretchRect;
extern const unsigned kSlotDeviceColorFill;
extern const unsigned kSlotDeviceClear;
extern const unsigned kSlotDeviceBeginScene;
extern const unsigned kSlotDeviceSetTexture;
extern const unsigned kSlotDeviceDrawPrimitive;
extern const unsigned kSlotDeviceDrawIndexedPrimitive;
extern const unsigned kSlotDeviceDrawPrimitiveUP;
extern const unsigned kSlotDeviceDrawIndexedPrimitiveUP;
extern const unsigned kSlotQueryGetData;
extern const unsigned kSlotTextureRelease;

#ifdef __cplusplus
}
#endif
