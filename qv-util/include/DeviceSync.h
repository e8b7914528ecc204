#pragma once

#include <windows.h>
#include <d3d9.h>

// Waits until the device has carried out the work issued before the call: an
// event query issued now and asked with D3DGETDATA_FLUSH until it answers.
// Windows does not synchronise shared textures, so a texture written on one
// device is complete for another only after such a wait. Returns S_OK, the
// failure of the query (a lost, hung or removed device among them), or
// D3DERR_WASSTILLDRAWING when timeoutMs passed first.
HRESULT WaitForDeviceWork(IDirect3DDevice9* device, DWORD timeoutMs);
