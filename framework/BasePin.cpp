#include "BasePin.h"

#include "Platform.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

// Enumerates the types a pin offers through its GetMediaType.
class CEnumMediaTypes final : public CSimpleObject<IEnumMediaTypes, IID_IEnumMediaTypes> {
public:
    CEnumMediaTypes(CBasePin* pPin, int position) noexcept
        : m_pPin(pPin), m_Position(position), m_Version(pPin->GetMediaTypeVersion()) {}

    STDMETHODIMP Next(ULONG cTypes, AM_MEDIA_TYPE** ppTypes, ULONG* pcFetched) override {
        if (!ppTypes)
            return E_POINTER;
        if (pcFetched)
            *pcFetched = 0;
        else if (cTypes > 1)
            return E_INVALIDARG;
        if (m_Version != m_pPin->GetMediaTypeVersion())
            return VFW_E_ENUM_OUT_OF_SYNC;
        ULONG fetched = 0;
        while (fetched < cTypes) {
            CMediaType mt;
            if (m_pPin->GetMediaType(m_Position, &mt) != S_OK)
                break;
            ++m_Position;
            AM_MEDIA_TYPE* p = CreateMediaType(&mt);
            if (!p) {
                for (ULONG i = 0; i < fetched; ++i) {
                    DeleteMediaType(ppTypes[i]);
                    ppTypes[i] = nullptr;
                }
                return E_OUTOFMEMORY;
            }
            ppTypes[fetched++] = p;
        }
        if (pcFetched)
            *pcFetched = fetched;
        return fetched == cTypes ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG cTypes) override {
        if (m_Version != m_pPin->GetMediaTypeVersion())
            return VFW_E_ENUM_OUT_OF_SYNC;
        while (cTypes > 0) {
            CMediaType mt;
            if (m_pPin->GetMediaType(m_Position, &mt) != S_OK)
                return S_FALSE;
            ++m_Position;
            --cTypes;
        }
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        m_Position = 0;
        m_Version = m_pPin->GetMediaTypeVersion();
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumMediaTypes** ppEnum) override {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = nullptr;
        auto* p = new (std::nothrow) CEnumMediaTypes(m_pPin.Get(), m_Position);
        if (!p)
            return E_OUTOFMEMORY;
        p->AddRef();
        *ppEnum = p;
        return S_OK;
    }

private:
    const ComPtr<CBasePin> m_pPin;
    int m_Position;
    LONG m_Version;
};

bool IsPartial(const CMediaType* pmt) {
    return !pmt || IsEqualGUID(pmt->majortype, GUID_NULL) || IsEqualGUID(pmt->subtype, GUID_NULL) ||
           IsEqualGUID(pmt->formattype, GUID_NULL);
}

// Refusals that only mean "not this type" become the framework's type error.
HRESULT TypeRefusal(HRESULT hr) {
    return (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
}

} // namespace

// ---- CBasePin ----------------------------------------------------------------------------

CBasePin::CBasePin(const char* pObjectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr,
                   LPCWSTR pName, PIN_DIRECTION dir) noexcept
    : CUnknown(pObjectName, nullptr), m_dir(dir), m_pLock(pLock), m_pFilter(pFilter) {
    try {
        m_Name = pName ? pName : L"";
    } catch (...) {
        if (phr)
            *phr = E_OUTOFMEMORY;
    }
}

CBasePin::~CBasePin() = default;

STDMETHODIMP CBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IPin))
        return GetInterface(static_cast<IPin*>(this), ppv);
    if (IsEqualIID(riid, IID_IQualityControl))
        return GetInterface(static_cast<IQualityControl*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingAddRef() {
    return m_pFilter->AddRef();
}
STDMETHODIMP_(ULONG) CBasePin::NonDelegatingRelease() {
    return m_pFilter->Release();
}

HRESULT CBasePin::CheckStateForConnect() const {
    return m_pFilter->IsStopped() ? S_OK : VFW_E_NOT_STOPPED;
}

STDMETHODIMP CBasePin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
    if (!pReceivePin)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    HRESULT hr = CheckStateForConnect();
    if (FAILED(hr))
        return hr;
    if (pmt) {
        CMediaType mt(*pmt);
        if (pmt->cbFormat && !mt.pbFormat)
            return E_OUTOFMEMORY;
        return AgreeMediaType(pReceivePin, &mt);
    }
    return AgreeMediaType(pReceivePin, nullptr);
}

HRESULT CBasePin::AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt) {
    if (!IsPartial(pmt))
        return AttemptConnection(pReceivePin, pmt);

    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int pass = 0; pass < 2; ++pass) {
        const bool mine = (pass == 0) == m_bTryMyTypesFirst;
        ComPtr<IEnumMediaTypes> pEnum;
        const HRESULT hr = mine ? EnumMediaTypes(&pEnum) : pReceivePin->EnumMediaTypes(&pEnum);
        if (FAILED(hr) || !pEnum)
            continue;
        const HRESULT hrTry = TryMediaTypes(pReceivePin, pmt, pEnum.Get());
        if (SUCCEEDED(hrTry))
            return S_OK;
        // Remember an error that says more than "no common type".
        if (hrTry != E_FAIL && hrTry != E_INVALIDARG && hrTry != VFW_E_TYPE_NOT_ACCEPTED &&
            hrTry != VFW_E_NO_ACCEPTABLE_TYPES)
            hrFailure = hrTry;
    }
    return hrFailure;
}

HRESULT CBasePin::TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum) {
    if (FAILED(pEnum->Reset()))
        return VFW_E_NO_ACCEPTABLE_TYPES;
    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (;;) {
        AM_MEDIA_TYPE* p = nullptr;
        ULONG fetched = 0;
        if (pEnum->Next(1, &p, &fetched) != S_OK || fetched != 1)
            break;
        CMediaType mt(*p);
        DeleteMediaType(p);
        if (!mt.IsValid())
            continue;
        if (pmt && !mt.MatchesPartial(pmt))
            continue;
        const HRESULT hr = AttemptConnection(pReceivePin, &mt);
        if (SUCCEEDED(hr))
            return hr;
        hrFailure = hr;
    }
    return hrFailure;
}

HRESULT CBasePin::AttemptConnection(IPin* pReceivePin, const CMediaType* pmt) {
    HRESULT hr = CheckConnect(pReceivePin);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    hr = CheckMediaType(pmt);
    if (hr == S_OK) {
        m_Connected = ComPtr<IPin>(pReceivePin);
        hr = SetMediaType(pmt);
        if (SUCCEEDED(hr)) {
            hr = pReceivePin->ReceiveConnection(static_cast<IPin*>(this), pmt);
            if (SUCCEEDED(hr)) {
                hr = CompleteConnect(pReceivePin);
                if (SUCCEEDED(hr))
                    return hr;
                pReceivePin->Disconnect();
            }
        }
    } else {
        hr = TypeRefusal(hr);
    }
    m_Connected.Reset();
    BreakConnect();
    return hr;
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
    if (!pConnector || !pmt)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    HRESULT hr = CheckStateForConnect();
    if (FAILED(hr))
        return hr;
    hr = CheckConnect(pConnector);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    CMediaType mt(*pmt);
    if (pmt->cbFormat && !mt.pbFormat) {
        BreakConnect();
        return E_OUTOFMEMORY;
    }
    hr = CheckMediaType(&mt);
    if (hr != S_OK) {
        BreakConnect();
        return TypeRefusal(hr);
    }
    m_Connected = ComPtr<IPin>(pConnector);
    hr = SetMediaType(&mt);
    if (SUCCEEDED(hr)) {
        hr = CompleteConnect(pConnector);
        if (SUCCEEDED(hr))
            return S_OK;
    }
    m_Connected.Reset();
    BreakConnect();
    return hr;
}

STDMETHODIMP CBasePin::Disconnect() {
    CAutoLock lock(m_pLock);
    if (!m_pFilter->IsStopped())
        return VFW_E_NOT_STOPPED;
    if (!m_Connected)
        return S_FALSE;
    const HRESULT hr = BreakConnect();
    if (FAILED(hr))
        return hr;
    m_Connected.Reset();
    return S_OK;
}

STDMETHODIMP CBasePin::ConnectedTo(IPin** pPin) {
    if (!pPin)
        return E_POINTER;
    *pPin = ComPtr<IPin>(m_Connected).Detach();
    return *pPin ? S_OK : VFW_E_NOT_CONNECTED;
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return E_POINTER;
    if (!m_Connected) {
        std::memset(pmt, 0, sizeof(*pmt));
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(pmt, &m_mt);
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO* pInfo) {
    if (!pInfo)
        return E_POINTER;
    pInfo->pFilter = m_pFilter;
    if (m_pFilter)
        m_pFilter->AddRef();
    pInfo->dir = m_dir;
    const size_t n = std::min(m_Name.size(), size_t(MAX_PIN_NAME - 1));
    std::wmemcpy(pInfo->achName, m_Name.c_str(), n);
    pInfo->achName[n] = 0;
    return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION* pPinDir) {
    if (!pPinDir)
        return E_POINTER;
    *pPinDir = m_dir;
    return S_OK;
}

STDMETHODIMP CBasePin::QueryId(LPWSTR* Id) {
    if (!Id)
        return E_POINTER;
    const size_t cb = (m_Name.size() + 1) * sizeof(WCHAR);
    *Id = static_cast<LPWSTR>(CoTaskMemAlloc(cb));
    if (!*Id)
        return E_OUTOFMEMORY;
    std::memcpy(*Id, m_Name.c_str(), cb);
    return S_OK;
}

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return E_POINTER;
    CMediaType mt(*pmt);
    const HRESULT hr = CheckMediaType(&mt);
    return hr == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    auto* p = new (std::nothrow) CEnumMediaTypes(this, 0);
    if (!p)
        return E_OUTOFMEMORY;
    p->AddRef();
    *ppEnum = p;
    return S_OK;
}

STDMETHODIMP CBasePin::QueryInternalConnections(IPin**, ULONG*) {
    return E_NOTIMPL;
}

STDMETHODIMP CBasePin::EndOfStream() {
    return S_OK;
}

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    m_tStart = tStart;
    m_tStop = tStop;
    m_dRate = dRate;
    return S_OK;
}

STDMETHODIMP CBasePin::Notify(IBaseFilter*, Quality) {
    return E_NOTIMPL;
}

STDMETHODIMP CBasePin::SetSink(IQualityControl* piqc) {
    CAutoLock lock(m_pLock);
    m_pQSink = piqc;
    return S_OK;
}

HRESULT CBasePin::GetMediaType(int, CMediaType*) {
    return E_UNEXPECTED;
}

HRESULT CBasePin::SetMediaType(const CMediaType* pmt) {
    const HRESULT hr = m_mt.Set(*pmt);
    if (SUCCEEDED(hr))
        ++m_TypeVersion;
    return hr;
}

HRESULT CBasePin::CheckConnect(IPin* pPin) {
    PIN_DIRECTION dir;
    const HRESULT hr = pPin->QueryDirection(&dir);
    if (FAILED(hr))
        return hr;
    return dir == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::BreakConnect() {
    return S_OK;
}
HRESULT CBasePin::CompleteConnect(IPin*) {
    return S_OK;
}
HRESULT CBasePin::Active() {
    return S_OK;
}
HRESULT CBasePin::Inactive() {
    m_bRunTimeError = false;
    return S_OK;
}
HRESULT CBasePin::Run(REFERENCE_TIME) {
    return S_OK;
}

// ---- CBaseOutputPin ----------------------------------------------------------------------

CBaseOutputPin::CBaseOutputPin(const char* pObjectName, CBaseFilter* pFilter, CCritSec* pLock,
                               HRESULT* phr, LPCWSTR pName) noexcept
    : CBasePin(pObjectName, pFilter, pLock, phr, pName, PINDIR_OUTPUT) {}

CBaseOutputPin::~CBaseOutputPin() = default;

HRESULT CBaseOutputPin::CheckConnect(IPin* pPin) {
    HRESULT hr = CBasePin::CheckConnect(pPin);
    if (FAILED(hr))
        return hr;
    ComPtr<IMemInputPin> pInput;
    hr = pPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&pInput));
    if (FAILED(hr))
        return hr;
    m_pInputPin = std::move(pInput);
    return S_OK;
}

HRESULT CBaseOutputPin::BreakConnect() {
    if (m_pAllocator) {
        const HRESULT hr = m_pAllocator->Decommit();
        if (FAILED(hr))
            return hr;
        m_pAllocator.Reset();
    }
    m_pInputPin.Reset();
    return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*) {
    return DecideAllocator(m_pInputPin.Get(), &m_pAllocator);
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc) {
    *ppAlloc = nullptr;
    ALLOCATOR_PROPERTIES prop{};
    pPin->GetAllocatorRequirements(&prop); // optional for the peer
    if (prop.cbAlign == 0)
        prop.cbAlign = 1;

    HRESULT hr = pPin->GetAllocator(ppAlloc);
    if (SUCCEEDED(hr)) {
        hr = DecideBufferSize(*ppAlloc, &prop);
        if (SUCCEEDED(hr)) {
            hr = pPin->NotifyAllocator(*ppAlloc, FALSE);
            if (SUCCEEDED(hr))
                return S_OK;
        }
    }
    if (*ppAlloc) {
        (*ppAlloc)->Release();
        *ppAlloc = nullptr;
    }

    hr = InitAllocator(ppAlloc);
    if (SUCCEEDED(hr)) {
        hr = DecideBufferSize(*ppAlloc, &prop);
        if (SUCCEEDED(hr)) {
            hr = pPin->NotifyAllocator(*ppAlloc, FALSE);
            if (SUCCEEDED(hr))
                return S_OK;
        }
    }
    if (*ppAlloc) {
        (*ppAlloc)->Release();
        *ppAlloc = nullptr;
    }
    return hr;
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** ppAlloc) {
    return CreateMemoryAllocator(ppAlloc);
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** ppSample, REFERENCE_TIME* pStartTime,
                                          REFERENCE_TIME* pEndTime, DWORD dwFlags) {
    if (!ppSample)
        return E_POINTER;
    *ppSample = nullptr;
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->GetBuffer(ppSample, pStartTime, pEndTime, dwFlags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* pSample) {
    if (!m_pInputPin)
        return VFW_E_NOT_CONNECTED;
    return m_pInputPin->Receive(pSample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
    IPin* pPeer = m_Connected.Get();
    return pPeer ? pPeer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
    IPin* pPeer = m_Connected.Get();
    return pPeer ? pPeer->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
    IPin* pPeer = m_Connected.Get();
    return pPeer ? pPeer->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop,
                                          double dRate) {
    IPin* pPeer = m_Connected.Get();
    return pPeer ? pPeer->NewSegment(tStart, tStop, dRate) : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::Active() {
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive() {
    m_bRunTimeError = false;
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}

// ---- CBaseInputPin -----------------------------------------------------------------------

CBaseInputPin::CBaseInputPin(const char* pObjectName, CBaseFilter* pFilter, CCritSec* pLock,
                             HRESULT* phr, LPCWSTR pName) noexcept
    : CBasePin(pObjectName, pFilter, pLock, phr, pName, PINDIR_INPUT) {}

CBaseInputPin::~CBaseInputPin() = default;

STDMETHODIMP CBaseInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IMemInputPin))
        return GetInterface(static_cast<IMemInputPin*>(this), ppv);
    return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseInputPin::GetAllocator(IMemAllocator** ppAllocator) {
    if (!ppAllocator)
        return E_POINTER;
    *ppAllocator = nullptr;
    CAutoLock lock(m_pLock);
    if (!m_pAllocator) {
        const HRESULT hr = CreateMemoryAllocator(&m_pAllocator);
        if (FAILED(hr))
            return hr;
    }
    *ppAllocator = ComPtr<IMemAllocator>(m_pAllocator).Detach();
    return S_OK;
}

STDMETHODIMP CBaseInputPin::Notify(IBaseFilter*, Quality) {
    return S_OK;
}

HRESULT CBaseInputPin::PassNotify(const Quality& q) {
    IBaseFilter* pSender = static_cast<IBaseFilter*>(m_pFilter);
    if (IQualityControl* pSink = m_pQSink.load())
        return pSink->Notify(pSender, q);
    IPin* pUpstream = GetConnected();
    if (!pUpstream)
        return VFW_E_NOT_FOUND;
    ComPtr<IQualityControl> pQC;
    if (FAILED(pUpstream->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&pQC))) ||
        !pQC)
        return VFW_E_NOT_FOUND;
    return pQC->Notify(pSender, q);
}

STDMETHODIMP CBaseInputPin::NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) {
    if (!pAllocator)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    m_pAllocator = ComPtr<IMemAllocator>(pAllocator);
    m_bReadOnly = bReadOnly != FALSE;
    return S_OK;
}

STDMETHODIMP CBaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) {
    return E_NOTIMPL;
}

HRESULT CBaseInputPin::CheckStreaming() {
    if (!IsConnected())
        return VFW_E_NOT_CONNECTED;
    if (m_pFilter->IsStopped())
        return VFW_E_WRONG_STATE;
    if (m_bFlushing)
        return S_FALSE;
    if (m_bRunTimeError)
        return VFW_E_RUNTIME_ERROR;
    return S_OK;
}

STDMETHODIMP CBaseInputPin::Receive(IMediaSample* pSample) {
    if (!pSample)
        return E_POINTER;
    HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;

    ComPtr<IMediaSample2> pSample2;
    if (SUCCEEDED(
            pSample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&pSample2)))) {
        hr =
            pSample2->GetProperties(sizeof(m_SampleProps), reinterpret_cast<BYTE*>(&m_SampleProps));
        if (FAILED(hr))
            return hr;
    } else {
        // A sample without IMediaSample2: gather the same properties one by one.
        m_SampleProps = AM_SAMPLE2_PROPERTIES{};
        m_SampleProps.cbData = sizeof(m_SampleProps);
        hr = pSample->GetTime(&m_SampleProps.tStart, &m_SampleProps.tStop);
        if (SUCCEEDED(hr)) {
            m_SampleProps.dwSampleFlags |= AM_SAMPLE_TIMEVALID;
            if (hr != VFW_S_NO_STOP_TIME)
                m_SampleProps.dwSampleFlags |= AM_SAMPLE_STOPVALID;
        }
        if (pSample->IsSyncPoint() == S_OK)
            m_SampleProps.dwSampleFlags |= AM_SAMPLE_SPLICEPOINT;
        if (pSample->IsPreroll() == S_OK)
            m_SampleProps.dwSampleFlags |= AM_SAMPLE_PREROLL;
        if (pSample->IsDiscontinuity() == S_OK)
            m_SampleProps.dwSampleFlags |= AM_SAMPLE_DATADISCONTINUITY;
        AM_MEDIA_TYPE* pmt = nullptr;
        if (pSample->GetMediaType(&pmt) == S_OK && pmt) {
            m_SampleProps.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
            DeleteMediaType(pmt); // only the flag is kept; the type is checked below
        }
        m_SampleProps.lActual = pSample->GetActualDataLength();
        m_SampleProps.cbBuffer = pSample->GetSize();
        pSample->GetPointer(&m_SampleProps.pbBuffer);
        m_SampleProps.dwStreamId = AM_STREAM_MEDIA;
    }

    if (m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) {
        AM_MEDIA_TYPE* pmt = nullptr;
        if (pSample->GetMediaType(&pmt) == S_OK && pmt) {
            CMediaType mt(*pmt);
            DeleteMediaType(pmt);
            if (CheckMediaType(&mt) != S_OK) {
                m_bRunTimeError = true;
                return VFW_E_INVALIDMEDIATYPE;
            }
        }
    }
    return S_OK;
}

STDMETHODIMP CBaseInputPin::ReceiveMultiple(IMediaSample** pSamples, LONG nSamples,
                                            LONG* nSamplesProcessed) {
    if (!pSamples || !nSamplesProcessed)
        return E_POINTER;
    *nSamplesProcessed = 0;
    HRESULT hr = S_OK;
    while (nSamples-- > 0) {
        hr = Receive(pSamples[*nSamplesProcessed]);
        if (hr != S_OK)
            break;
        ++*nSamplesProcessed;
    }
    return hr;
}

STDMETHODIMP CBaseInputPin::ReceiveCanBlock() {
    return S_OK;
}

STDMETHODIMP CBaseInputPin::BeginFlush() {
    m_bFlushing = true;
    return S_OK;
}

STDMETHODIMP CBaseInputPin::EndFlush() {
    m_bFlushing = false;
    m_bRunTimeError = false;
    return S_OK;
}

HRESULT CBaseInputPin::BreakConnect() {
    if (m_pAllocator) {
        m_pAllocator->Decommit();
        m_pAllocator.Reset();
    }
    return S_OK;
}

HRESULT CBaseInputPin::Inactive() {
    m_bRunTimeError = false;
    m_bFlushing = false;
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}
