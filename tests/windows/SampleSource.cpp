#include "SampleSource.h"

#include <algorithm>
#include <cstring>
#include <new>

// {0D6B7C41-3A59-4B8E-9F27-6A1C55E0B3D2}: a class identifier of the tests' own, never
// registered.
VMX_DEFINE_GUID(kClsidSampleSource, 0x0D6B7C41, 0x3A59, 0x4B8E, 0x9F, 0x27, 0x6A, 0x1C, 0x55, 0xE0,
                0xB3, 0xD2);

CSampleSourcePin::CSampleSourcePin(CSampleSource* pSource, CCritSec* pLock, HRESULT* phr,
                                   const CMediaType& mt, LONG cbBuffer) noexcept
    : CBaseOutputPin("sample source output", pSource, pLock, phr, L"Out"), m_Type(mt),
      m_cbBuffer(cbBuffer) {}

HRESULT CSampleSourcePin::CheckMediaType(const CMediaType* pmt) {
    return *pmt == m_Type ? S_OK : S_FALSE;
}

HRESULT CSampleSourcePin::GetMediaType(int iPosition, CMediaType* pMediaType) {
    return GetSingleMediaType(m_Type, iPosition, pMediaType);
}

HRESULT CSampleSourcePin::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) {
    ALLOCATOR_PROPERTIES req = *pProp;
    req.cBuffers = std::max<LONG>(req.cBuffers, 4);
    req.cbBuffer = std::max(req.cbBuffer, m_cbBuffer);
    req.cbAlign = std::max<LONG>(req.cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = pAlloc->SetProperties(&req, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer >= req.cbBuffer ? S_OK : E_FAIL;
}

CSampleSource::CSampleSource(const CMediaType& mt, LONG cbBuffer, HRESULT* phr) noexcept
    : CBaseFilter("sample source", nullptr, &m_csFilter, kClsidSampleSource),
      m_Pin(this, &m_csFilter, phr, mt, cbBuffer) {}

ComPtr<CSampleSource> CSampleSource::Create(const CMediaType& mt, LONG cbBuffer) {
    HRESULT hr = S_OK;
    // A COM object: its reference count owns it from here on.
    ComPtr<CSampleSource> p(new (std::nothrow) CSampleSource(mt, cbBuffer, &hr));
    if (FAILED(hr))
        return {};
    return p;
}

HRESULT CSampleSource::Push(const BYTE* pData, LONG cb, REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                            LONGLONG mtStart, LONGLONG mtStop, bool bDiscontinuity) {
    IMediaSample* pRaw = nullptr;
    HRESULT hr = m_Pin.GetDeliveryBuffer(&pRaw, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    const ComPtr<IMediaSample> pSample = ComPtr<IMediaSample>::Attach(pRaw);
    BYTE* pBuffer = nullptr;
    hr = pSample->GetPointer(&pBuffer);
    if (FAILED(hr))
        return hr;
    if (cb > pSample->GetSize())
        return E_INVALIDARG;
    std::memcpy(pBuffer, pData, size_t(cb));
    pSample->SetActualDataLength(cb);
    pSample->SetTime(&tStart, &tStop);
    pSample->SetMediaTime(&mtStart, &mtStop);
    pSample->SetSyncPoint(TRUE);
    pSample->SetDiscontinuity(bDiscontinuity ? TRUE : FALSE);
    return m_Pin.Deliver(pSample.Get());
}
