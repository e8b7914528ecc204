// A d3d9.dll whose Direct3D object cannot be created, so that a test sees the
// host start and end when its render thread fails at the very first step.
// QV_TEST_D3D_CREATE_DELAY_MS holds that failure back, so that a test can act
// while the render thread is still starting.
// Test-only; it lives in a folder of its own with copies of the host.
#include <d3d9.h>

#include <cwchar>

extern "C" __declspec(dllexport) HRESULT WINAPI Direct3DCreate9Ex(UINT, IDirect3D9Ex** d3d)
{
    wchar_t delay[16] = {};
    if (GetEnvironmentVariableW(L"QV_TEST_D3D_CREATE_DELAY_MS", delay, 16) > 0)
        Sleep(static_cast<DWORD>(std::wcstoul(delay, nullptr, 10)));
    if (d3d)
        *d3d = nullptr;
    return D3DERR_NOTAVAILABLE;
}
