#pragma once

#include "CriticalSection.h"
#include "Helpers.h"

#include <windows.h>
#include <d3d9.h>
#include <mfidl.h>
#include <wrl/client.h>

// The texture behind a video sample and what the client needs to open it.
class TextureData
{
public:
    TextureData() = default;
    TextureData(IDirect3DTexture9* pTexture, HANDLE hTexture, UINT32 width, UINT32 height, D3DFORMAT format);
    virtual ~TextureData() = default;

    TextureData(const TextureData&) = default;
    TextureData& operator=(const TextureData&) = default;

    void Reset();

    // A Direct3D shared-resource handle: it names the texture across
    // processes and is not a kernel handle, so nobody closes it.
    HANDLE m_hSharedHandle = nullptr;
    Microsoft::WRL::ComPtr<IDirect3DTexture9> m_pTexture;
    UINT32 m_Width = 0;
    UINT32 m_Height = 0;
    D3DFORMAT m_Format = D3DFMT_UNKNOWN;
};

enum SampleState : LONG
{
    SAMPLE_STATE_POOLED = 0,
    SAMPLE_STATE_CREATED = 1,
    SAMPLE_STATE_DISCARDED = 2,
    SAMPLE_STATE_QUEUED = 3,
    SAMPLE_STATE_PRESENTED = 4,
};

// Travels with every video sample as an attribute: which sample set it
// belongs to, its number, its texture and where it is in the ring.
class SampleData : public IUnknown, public RefCountedObject
{
public:
    SampleData(const TextureData& texture, LONG sampleNumber);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

    LONG GetToken();
    void SetToken(LONG token);
    LONG GetSampleNumber();
    LONG GetState();
    void SetState(LONG state);
    // Set once at creation and never changed, so it is read without the lock.
    const TextureData& GetTextureData() const { return m_TextureData; }

private:
    LONG m_Token = -1;
    LONG m_SampleNumber;
    TextureData m_TextureData;
    CCriticalSection m_Lock;
    LONG m_State = SAMPLE_STATE_CREATED;
};

// {AD885BD1-7DEF-414A-B5B1-D3D168D3E56C}: the attribute that carries the SampleData.
constexpr GUID MFSampleExtension_SampleData = {0xad885bd1, 0x7def, 0x414a, {0xb5, 0xb1, 0xd3, 0xd1, 0x68, 0xd3, 0xe5, 0x6c}};

// The sample's SampleData with a reference, or null when it carries none.
Microsoft::WRL::ComPtr<SampleData> GetSampleData(IMFSample* pSample);
HRESULT AttachSampleData(IMFSample* pSample, SampleData* pData);
