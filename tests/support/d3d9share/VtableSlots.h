#pragma once

#ifdef __cplusplus
extern "C" {
#endif

extern const unsigned kSlotD3dCreateDevice;
extern const unsigned kSlotD3dCreateDeviceEx;
extern const unsigned kSlotDeviceCreateTexture;
extern const unsigned kSlotTextureRelease;

#ifdef __cplusplus
}
#endif
