/* Slot numbers of the methods the stand-in patches, taken from the C layout
   of the interfaces so that no number is written by hand. */
#define CINTERFACE
#include <d3d9.h>

#include <stddef.h>

#include "VtableSlots.h"

#define DEVICE_SLOT(method) (offsetof(IDirect3DDevice9ExVtbl, method) / sizeof(void*))

const unsigned kSlotD3dCreateDevice = offsetof(IDirect3D9ExVtbl, CreateDevice) / sizeof(void*);
const unsigned kSlotD3dCreateDeviceEx = offsetof(IDirect3D9ExVtbl, CreateDeviceEx) / sizeof(void*);
const unsigned kSlotDeviceTestCooperativeLevel = DEVICE_SLOT(TestCooperativeLevel);
const unsigned kSlotDeviceCreateTexture = DEVICE_SLOT(CreateTexture);
const unsigned kSlotDeviceCreateQuery = DEVICE_SLOT(CreateQuery);
const unsigned kSlotDevicePresent = DEVICE_SLOT(Present);
const unsigned kSlotDevicePresentEx = DEVICE_SLOT(PresentEx);
const unsigned kSlotDeviceCheckDeviceState = DEVICE_SLOT(CheckDeviceState);
const unsigned kSlotDeviceGetRenderTargetData = DEVICE_SLOT(GetRenderTargetData);
const unsigned kSlotDeviceUpdateSurface = DEVICE_SLOT(UpdateSurface);
const unsigned kSlotDeviceStretchRect = DEVICE_SLOT(StretchRect);
const unsigned kSlotDeviceColorFill = DEVICE_SLOT(ColorFill);
const unsigned kSlotDeviceClear = DEVICE_SLOT(Clear);
const unsigned kSlotDeviceBeginScene = DEVICE_SLOT(BeginScene);
const unsigned kSlotDeviceSetTexture = DEVICE_SLOT(SetTexture);
const unsigned kSlotDeviceDrawPrimitive = DEVICE_SLOT(DrawPrimitive);
const unsigned kSlotDeviceDrawIndexedPrimitive = DEVICE_SLOT(DrawIndexedPrimitive);
const unsigned kSlotDeviceDrawPrimitiveUP = DEVICE_SLOT(DrawPrimitiveUP);
const unsigned kSlotDeviceDrawIndexedPrimitiveUP = DEVICE_SLOT(DrawIndexedPrimitiveUP);
const unsigned kSlotQueryGetData = offsetof(IDirect3DQuery9Vtbl, GetData) / sizeof(void*);
const unsigned kSlotTextureRelease = offsetof(IDirect3DTexture9Vtbl, Release) / sizeof(void*);
