// Library-wide video state shared by the video exports: the global video lock
// and the stub texture, a shared 1280 x 720 green render target that stands
// in for the server's frames in the stub modes.
#pragma once

#include "CriticalSection.h"

#include <d3d9.h>
#include <windows.h>

// Guards the stub texture, its handle and the private device that makes it.
CCriticalSection& GlobalVideoLock();

// Makes the stub texture once, on a private device released right after;
// 0 when it exists or was made.
HRESULT CreateStubTexture();

// The stub texture's shared handle, null until it is made. Read without the lock.
HANDLE StubTextureHandle();

// Under the global video lock: when the stub texture exists, logs
// "destroying device" under logTag, forgets the handle and releases the
// texture and the private device. Does nothing when there is none.
void ReleaseStubTexture(const char* logTag);

// The same without a log line, for a library unloaded while the process goes
// on. Never at process exit: the system reclaims the texture then.
void ReleaseStubTextureAtUnload();

// The sampler filter for drawing a texture of one size at another: linear
// when the sizes differ by more than 100 pixels or no render size is known,
// else point.
D3DTEXTUREFILTERTYPE ChooseTextureFilter(int textureWidth, int textureHeight, int renderWidth, int renderHeight);
