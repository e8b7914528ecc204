#pragma once

#include <windows.h>
#include <d3d9.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

// Typed access to the attributes of a video media type. The type is borrowed
// from the caller, who keeps it alive while the wrapper is in use.

// A fixed-size structure stored as a blob attribute (apertures, rectangles).
template <class T>
HRESULT GetBlobAttribute(IMFAttributes* pAttributes, REFGUID key, T* pValue)
{
    UINT32 size = 0;
    HRESULT hr = pAttributes->GetBlob(key, reinterpret_cast<UINT8*>(pValue), sizeof(T), &size);
    if (SUCCEEDED(hr) && size != sizeof(T))
        hr = E_UNEXPECTED;
    return hr;
}

template <class T>
HRESULT SetBlobAttribute(IMFAttributes* pAttributes, REFGUID key, const T& value)
{
    return pAttributes->SetBlob(key, reinterpret_cast<const UINT8*>(&value), sizeof(T));
}

inline float MFOffsetToFloat(const MFOffset& offset)
{
    return offset.value + static_cast<float>(offset.fract) / 65536.0f;
}

inline MFOffset MakeOffset(float value)
{
    MFOffset offset{};
    offset.value = static_cast<short>(value);
    offset.fract = static_cast<WORD>(65536 * (value - offset.value));
    return offset;
}

inline MFVideoArea MakeArea(float x, float y, DWORD width, DWORD height)
{
    MFVideoArea area{};
    area.OffsetX = MakeOffset(x);
    area.OffsetY = MakeOffset(y);
    area.Area.cx = static_cast<LONG>(width);
    area.Area.cy = static_cast<LONG>(height);
    return area;
}

class VideoType
{
public:
    explicit VideoType(IMFMediaType* pType) : m_pType(pType) {}

    IMFMediaType* Get() const { return m_pType; }

    // The first 32 bits of the subtype: a D3DFORMAT for uncompressed RGB types.
    HRESULT GetFormat(D3DFORMAT* pFormat) const
    {
        GUID subtype{};
        HRESULT hr = m_pType->GetGUID(MF_MT_SUBTYPE, &subtype);
        if (SUCCEEDED(hr))
            *pFormat = static_cast<D3DFORMAT>(subtype.Data1);
        return hr;
    }

    HRESULT GetFrameDimensions(UINT32* pWidth, UINT32* pHeight) const
    {
        return MFGetAttributeSize(m_pType, MF_MT_FRAME_SIZE, pWidth, pHeight);
    }

    HRESULT SetFrameDimensions(UINT32 width, UINT32 height)
    {
        return MFSetAttributeSize(m_pType, MF_MT_FRAME_SIZE, width, height);
    }

    HRESULT GetInterlaceMode(MFVideoInterlaceMode* pMode) const
    {
        UINT32 mode = 0;
        HRESULT hr = m_pType->GetUINT32(MF_MT_INTERLACE_MODE, &mode);
        if (SUCCEEDED(hr))
            *pMode = static_cast<MFVideoInterlaceMode>(mode);
        return hr;
    }

    // 1:1 when the type carries no ratio.
    MFRatio GetPixelAspectRatio() const
    {
        MFRatio ratio{1, 1};
        UINT32 numerator = 0;
        UINT32 denominator = 0;
        if (SUCCEEDED(MFGetAttributeRatio(m_pType, MF_MT_PIXEL_ASPECT_RATIO, &numerator, &denominator)))
        {
            ratio.Numerator = numerator;
            ratio.Denominator = denominator;
        }
        return ratio;
    }

    HRESULT SetPixelAspectRatio(UINT32 numerator, UINT32 denominator)
    {
        return MFSetAttributeRatio(m_pType, MF_MT_PIXEL_ASPECT_RATIO, numerator, denominator);
    }

    HRESULT GetFrameRate(UINT32* pNumerator, UINT32* pDenominator) const
    {
        return MFGetAttributeRatio(m_pType, MF_MT_FRAME_RATE, pNumerator, pDenominator);
    }

    bool IsPanScanEnabled() const { return MFGetAttributeUINT32(m_pType, MF_MT_PAN_SCAN_ENABLED, FALSE) != FALSE; }
    HRESULT SetPanScanEnabled(bool enabled) { return m_pType->SetUINT32(MF_MT_PAN_SCAN_ENABLED, enabled ? TRUE : FALSE); }

    HRESULT GetPanScanAperture(MFVideoArea* pArea) const { return GetBlobAttribute(m_pType, MF_MT_PAN_SCAN_APERTURE, pArea); }
    HRESULT GetGeometricAperture(MFVideoArea* pArea) const { return GetBlobAttribute(m_pType, MF_MT_GEOMETRIC_APERTURE, pArea); }
    HRESULT GetMinDisplayAperture(MFVideoArea* pArea) const { return GetBlobAttribute(m_pType, MF_MT_MINIMUM_DISPLAY_APERTURE, pArea); }

    HRESULT SetPanScanAperture(const MFVideoArea& area) { return SetBlobAttribute(m_pType, MF_MT_PAN_SCAN_APERTURE, area); }
    HRESULT SetGeometricAperture(const MFVideoArea& area) { return SetBlobAttribute(m_pType, MF_MT_GEOMETRIC_APERTURE, area); }
    HRESULT SetMinDisplayAperture(const MFVideoArea& area) { return SetBlobAttribute(m_pType, MF_MT_MINIMUM_DISPLAY_APERTURE, area); }

    HRESULT SetUINT32(REFGUID key, UINT32 value) { return m_pType->SetUINT32(key, value); }

    bool IsCompressed() const
    {
        BOOL compressed = FALSE;
        return SUCCEEDED(m_pType->IsCompressedFormat(&compressed)) && compressed;
    }

private:
    IMFMediaType* m_pType; // borrowed
};
