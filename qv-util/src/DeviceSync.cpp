#include "DeviceSync.h"

#include <wrl/client.h>

HRESULT WaitForDeviceWork(IDirect3DDevice9* device, DWORD timeoutMs)
{
    if (!device)
        return E_POINTER;
    Microsoft::WRL::ComPtr<IDirect3DQuery9> query;
    HRESULT hr = device->CreateQuery(D3DQUERYTYPE_EVENT, &query);
    if (FAILED(hr))
        return hr;
    hr = query->Issue(D3DISSUE_END);
    if (FAILED(hr))
        return hr;
    const ULONGLONG start = GetTickCount64();
    for (unsigned polls = 0;; ++polls)
    {
        hr = query->GetData(nullptr, 0, D3DGETDATA_FLUSH);
        if (hr != S_FALSE)
            return hr;
        if (GetTickCount64() - start >= timeoutMs)
            return D3DERR_WASSTILLDRAWING;
        // Most waits end within a few polls; a longer one should not burn a core.
        if (polls < 64)
            SwitchToThread();
        else
            Sleep(1);
    }
}
