// A d3d9.dll whose Direct3D object cannot be created, so that a test sees the
// host start and end when its render thread fails at the very first step.
// Test-only; it lives in a folder of its own with copies of the host.
#include <d3d9.h>

extern "C" __declspec(dllexport) HRESULT WINAPI Direct3DCreate9Ex(UINT, IDirect3D9Ex** d3d)
{
    if (d3d)
        *d3d = nullptr;
    return D3DERR_NOTAVAILABLE;
}
