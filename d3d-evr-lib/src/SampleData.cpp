#include "SampleData.h"

#include "Diagnostics.h"

using Microsoft::WRL::ComPtr;

TextureData::TextureData(IDirect3DTexture9* pTexture, HANDLE hTexture, UINT32 width, UINT32 height,
                         D3DFORMAT format)
    : m_hSharedHandle(hTexture), m_pTexture(pTexture), m_Width(width), m_Height(height), m_Format(format)
{
    QV_ASSERT(hTexture, "hTexture");
    QV_ASSERT(width > 0, "width>0");
    QV_ASSERT(height > 0, "height>0");
    QV_ASSERT(format != D3DFMT_UNKNOWN, "format!=D3DFMT_UNKNOWN");
}

void TextureData::Reset()
{
    m_hSharedHandle = nullptr;
    m_pTexture.Reset();
    m_Width = 0;
    m_Height = 0;
    m_Format = D3DFMT_UNKNOWN;
}

SampleData::SampleData(const TextureData& texture, LONG sampleNumber)
    : m_SampleNumber(sampleNumber), m_TextureData(texture)
{
}

STDMETHODIMP SampleData::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == __uuidof(IUnknown))
    {
        *ppv = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

LONG SampleData::GetToken()
{
    CScopedLock lock(m_Lock);
    return m_Token;
}

void SampleData::SetToken(LONG token)
{
    CScopedLock lock(m_Lock);
    m_Token = token;
}

LONG SampleData::GetSampleNumber()
{
    CScopedLock lock(m_Lock);
    return m_SampleNumber;
}

LONG SampleData::GetState()
{
    CScopedLock lock(m_Lock);
    return m_State;
}

void SampleData::SetState(LONG state)
{
    CScopedLock lock(m_Lock);
    m_State = state;
}

ComPtr<SampleData> GetSampleData(IMFSample* pSample)
{
    ComPtr<SampleData> data;
    ComPtr<IUnknown> unknown;
    if (pSample && SUCCEEDED(pSample->GetUnknown(MFSampleExtension_SampleData, IID_PPV_ARGS(&unknown))) && unknown)
    {
        // Only this library stores under that key, and always a SampleData.
        data.Attach(static_cast<SampleData*>(unknown.Detach()));
    }
    return data;
}

HRESULT AttachSampleData(IMFSample* pSample, SampleData* pData)
{
    return pSample->SetUnknown(MFSampleExtension_SampleData, static_cast<IUnknown*>(pData));
}
