#include "MediaType.h"

#include <cstring>

void FreeMediaType(AM_MEDIA_TYPE& mt) noexcept {
    if (mt.cbFormat != 0 || mt.pbFormat)
        CoTaskMemFree(mt.pbFormat);
    mt.cbFormat = 0;
    mt.pbFormat = nullptr;
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

void DeleteMediaType(AM_MEDIA_TYPE* pmt) noexcept {
    if (!pmt)
        return;
    FreeMediaType(*pmt);
    CoTaskMemFree(pmt);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* pmtTarget, const AM_MEDIA_TYPE* pmtSource) noexcept {
    *pmtTarget = *pmtSource;
    if (pmtSource->cbFormat != 0 && pmtSource->pbFormat) {
        pmtTarget->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(pmtSource->cbFormat));
        if (!pmtTarget->pbFormat) {
            pmtTarget->cbFormat = 0;
            pmtTarget->pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(pmtTarget->pbFormat, pmtSource->pbFormat, pmtSource->cbFormat);
    } else {
        pmtTarget->cbFormat = 0;
        pmtTarget->pbFormat = nullptr;
    }
    if (pmtTarget->pUnk)
        pmtTarget->pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* pSrc) noexcept {
    auto* pmt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!pmt)
        return nullptr;
    if (FAILED(CopyMediaType(pmt, pSrc))) {
        CoTaskMemFree(pmt);
        return nullptr;
    }
    return pmt;
}

CMediaType::CMediaType() noexcept {
    InitMediaType();
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& rt) noexcept {
    InitMediaType();
    Set(rt);
}

CMediaType::CMediaType(const CMediaType& rt) noexcept
    : CMediaType(static_cast<const AM_MEDIA_TYPE&>(rt)) {}

CMediaType::~CMediaType() {
    FreeMediaType(*this);
}

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& rt) noexcept {
    Set(rt);
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& rt) noexcept {
    Set(rt);
    return *this;
}

bool CMediaType::operator==(const CMediaType& rt) const noexcept {
    return IsEqualGUID(majortype, rt.majortype) && IsEqualGUID(subtype, rt.subtype) &&
           IsEqualGUID(formattype, rt.formattype) && cbFormat == rt.cbFormat &&
           (cbFormat == 0 || std::memcmp(pbFormat, rt.pbFormat, cbFormat) == 0);
}

bool CMediaType::MatchesPartial(const CMediaType* p) const noexcept {
    if (!IsEqualGUID(p->majortype, GUID_NULL) && !IsEqualGUID(majortype, p->majortype))
        return false;
    if (!IsEqualGUID(p->subtype, GUID_NULL) && !IsEqualGUID(subtype, p->subtype))
        return false;
    if (!IsEqualGUID(p->formattype, GUID_NULL)) {
        if (!IsEqualGUID(formattype, p->formattype) || cbFormat != p->cbFormat)
            return false;
        if (cbFormat != 0 && std::memcmp(pbFormat, p->pbFormat, cbFormat) != 0)
            return false;
    }
    return true;
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& rt) noexcept {
    if (&rt == this)
        return S_OK;
    FreeMediaType(*this);
    const HRESULT hr = CopyMediaType(this, &rt);
    if (FAILED(hr))
        InitMediaType();
    return hr;
}

void CMediaType::SetSampleSize(ULONG sz) noexcept {
    if (sz == 0) {
        SetVariableSize();
    } else {
        bFixedSizeSamples = TRUE;
        lSampleSize = sz;
    }
}

bool CMediaType::SetFormat(const BYTE* pFormat, ULONG cb) noexcept {
    BYTE* p = nullptr;
    if (cb) {
        p = static_cast<BYTE*>(CoTaskMemAlloc(cb));
        if (!p)
            return false;
        std::memcpy(p, pFormat, cb);
    }
    CoTaskMemFree(pbFormat);
    pbFormat = p;
    cbFormat = cb;
    return true;
}

void CMediaType::ResetFormatBuffer() noexcept {
    CoTaskMemFree(pbFormat);
    pbFormat = nullptr;
    cbFormat = 0;
}

void CMediaType::InitMediaType() noexcept {
    std::memset(static_cast<AM_MEDIA_TYPE*>(this), 0, sizeof(AM_MEDIA_TYPE));
    lSampleSize = 1;
    bFixedSizeSamples = TRUE;
}
