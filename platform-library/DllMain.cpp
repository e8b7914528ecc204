#include "VideoTextures.h"

#include <windows.h>

// Everything that runs at load lives in the static objects of LibraryInit.cpp.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // A null reserved at detach means an unload while the process goes on; at
    // process exit the static state lets go of the stub texture unreleased.
    if (reason == DLL_PROCESS_DETACH && !reserved)
        ReleaseStubTextureAtUnload();
    return TRUE;
}
