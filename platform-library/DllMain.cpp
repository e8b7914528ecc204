#include <windows.h>

// Everything that runs at load lives in the static objects of LibraryInit.cpp.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
