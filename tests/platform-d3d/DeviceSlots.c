/* Method-table slots of IDirect3DDevice9Ex, taken from the C declaration of its table. */
#include <d3d9.h>

#include <stddef.h>

const unsigned kSlotDeviceCheckDeviceState = offsetof(IDirect3DDevice9ExVtbl, CheckDeviceState) / sizeof(void*);
