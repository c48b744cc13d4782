// CMediaType: an AM_MEDIA_TYPE that owns its format block, with the framework's equality.
#pragma once

#include "media.h"

#include <memory>

class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType() noexcept;
    CMediaType(const AM_MEDIA_TYPE& rt) noexcept; // a copy; IsValid() is false if it failed
    CMediaType(const CMediaType& rt) noexcept;
    ~CMediaType();

    CMediaType& operator=(const AM_MEDIA_TYPE& rt) noexcept;
    CMediaType& operator=(const CMediaType& rt) noexcept;

    // Equal types: the same major type, subtype and format type, and equal format blocks.
    bool operator==(const CMediaType& rt) const noexcept;
    bool operator!=(const CMediaType& rt) const noexcept { return !(*this == rt); }
    bool MatchesPartial(const CMediaType* ppartial) const noexcept;

    // Copies rt into this; E_OUTOFMEMORY when the format block cannot be copied.
    HRESULT Set(const AM_MEDIA_TYPE& rt) noexcept;
    bool IsValid() const noexcept { return !IsEqualGUID(majortype, GUID_NULL); }

    const GUID* Type() const noexcept { return &majortype; }
    const GUID* Subtype() const noexcept { return &subtype; }
    const GUID* FormatType() const noexcept { return &formattype; }
    BYTE* Format() const noexcept { return pbFormat; }
    ULONG FormatLength() const noexcept { return cbFormat; }

    void SetType(const GUID* p) noexcept { majortype = *p; }
    void SetSubtype(const GUID* p) noexcept { subtype = *p; }
    void SetFormatType(const GUID* p) noexcept { formattype = *p; }
    void SetSampleSize(ULONG sz) noexcept;
    void SetVariableSize() noexcept { bFixedSizeSamples = FALSE; }
    void SetTemporalCompression(BOOL b) noexcept { bTemporalCompression = b; }
    ULONG GetSampleSize() const noexcept { return bFixedSizeSamples ? lSampleSize : 0; }
    // Replaces the format block with a copy of cb bytes at pFormat.
    bool SetFormat(const BYTE* pFormat, ULONG cb) noexcept;
    void ResetFormatBuffer() noexcept;
    void InitMediaType() noexcept;
};

// Task-memory helpers for media types handed across interfaces.
void FreeMediaType(AM_MEDIA_TYPE& mt) noexcept;
void DeleteMediaType(AM_MEDIA_TYPE* pmt) noexcept;
HRESULT CopyMediaType(AM_MEDIA_TYPE* pmtTarget, const AM_MEDIA_TYPE* pmtSource) noexcept;
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* pSrc) noexcept;

// A media type in task memory (as IMediaSample::GetMediaType hands one out), freed with it.
struct MediaTypeDeleter {
    void operator()(AM_MEDIA_TYPE* pmt) const noexcept { DeleteMediaType(pmt); }
};
using MediaTypePtr = std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter>;
