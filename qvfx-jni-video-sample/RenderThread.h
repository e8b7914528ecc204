// The render thread: a Direct3D 9Ex device for the host window that draws
// decoration, the current player's frame through the library's frame
// functions, and an overlay of figures.
#pragma once

#include <windows.h>

// Thread entry; context is the HostState. Sets renderInitialised once the
// device and drawing resources exist and renderFinished on every way out.
DWORD WINAPI RenderThreadMain(void* context);
