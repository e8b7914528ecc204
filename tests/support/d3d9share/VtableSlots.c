/* Slot numbers of the methods the stand-in patches, taken from the C layout
   of the interfaces so that no number is written by hand. */
#define CINTERFACE
#include <d3d9.h>

#include <stddef.h>

#include "VtableSlots.h"

const unsigned kSlotD3dCreateDevice = offsetof(IDirect3D9ExVtbl, CreateDevice) / sizeof(void*);
const unsigned kSlotD3dCreateDeviceEx = offsetof(IDirect3D9ExVtbl, CreateDeviceEx) / sizeof(void*);
const unsigned kSlotDeviceCreateTexture = offsetof(IDirect3DDevice9ExVtbl, CreateTexture) / sizeof(void*);
const unsigned kSlotTextureRelease = offsetof(IDirect3DTexture9Vtbl, Release) / sizeof(void*);
