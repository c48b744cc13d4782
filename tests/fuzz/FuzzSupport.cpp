#include "FuzzSupport.h"

#include "common/AudioTypes.h"
#include "velomix_speed.h"

#include <ftw.h>
#include <sanitizer/asan_interface.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

// The module's entry points, linked into the harness (filter/Module.cpp).
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
STDAPI DllCanUnloadNow();

namespace fuzz {

namespace {

void MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        Broken("cannot make", path);
}

void RemovePrivateFolder();

} // namespace

void Broken(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz: %s%s%s\n", what, detail.empty() ? "" : " ", detail.c_str());
    std::abort();
}

const std::string& PrivateFolder() {
    static const std::string folder = [] {
        // In memory where the system offers it: every input writes a file here (the settings,
        // an audio file, the control channel's lock), and a disk's journal costs more than the
        // code under test.
        std::string pattern = ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
        pattern += "/velomix-fuzz-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (!::mkdtemp(name.data()))
            Broken("mkdtemp:", std::strerror(errno));
        const std::string root = name.data();
        MakeFolder(root + "/config");
        MakeFolder(root + "/config/Korvane");
        MakeFolder(root + "/config/Korvane/Player");
        MakeFolder(root + "/runtime");
        MakeFolder(root + "/ipc");
        MakeFolder(root + "/registry");
        ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
        ::setenv("VELOMIX_IPC_DIR", (root + "/ipc").c_str(), 1);
        ::setenv("VELOMIX_REGISTRY_DIR", (root + "/registry").c_str(), 1);
        // A server thread per filter costs more than most inputs: only where a harness asks.
        if (!HarnessServesChannel())
            ::setenv("VELOMIX_CHANNEL", "off", 1);
        else
            ::unsetenv("VELOMIX_CHANNEL");
        // Removed at a normal exit; a crash leaves it, with the files that help to reproduce it.
        std::atexit(RemovePrivateFolder);
        return root;
    }();
    return folder;
}

namespace {

void RemovePrivateFolder() {
    ::nftw(
        PrivateFolder().c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

} // namespace

std::string SettingsFile() {
    return PrivateFolder() + "/config/Korvane/Player/VELO.INI";
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool bOk = (size == 0 || std::fwrite(data, 1, size, file) == size);
    return std::fclose(file) == 0 && bOk;
}

__attribute__((weak)) bool HarnessServesChannel() {
    return false;
}

ComPtr<IBaseFilter> CreateVelomix(Channel channel) {
    if ((channel == Channel::On) != HarnessServesChannel())
        Broken("a filter asked for with another channel than the harness's");
    ComPtr<IClassFactory> factory;
    ComPtr<IBaseFilter> filter;
    if (FAILED(DllGetClassObject(CLSID_Velomix, IID_IClassFactory,
                                 reinterpret_cast<void**>(&factory))) ||
        FAILED(
            factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter))))
        return {};
    return filter;
}

void CheckModuleUnloadable() {
    if (DllCanUnloadNow() != S_OK)
        Broken("an object of the module is still alive after the run");
}

namespace {

struct SharedChains {
    std::unique_ptr<CFilterChain> chains[kStampModes][2];
    ULONG nReferences[kStampModes][2] = {}; // each filter's, once made and reset
    long nObjects = 0; // the module's live objects with every chain made and reset
};

SharedChains& Shared() {
    static SharedChains shared;
    return shared;
}

bool Fresh() {
    static const bool bFresh = [] {
        const char* text = std::getenv("VELOMIX_FUZZ_FRESH");
        return text && std::strcmp(text, "1") == 0;
    }();
    return bFresh;
}

} // namespace

CFilterChain& SharedChain(StampMode mode, Channel channel) {
    static const char* const kModes[kStampModes] = {"", "[INIT]\nRESTAMP=1\n",
                                                    "[INIT]\nSEGMENT_RATE=1\n",
                                                    "[INIT]\nRESTAMP=1\nSEGMENT_RATE=1\n"};
    const int m = static_cast<int>(mode);
    std::unique_ptr<CFilterChain>& chain = Shared().chains[m][channel == Channel::On];
    if (!chain) {
        if (!WriteFile(SettingsFile(), reinterpret_cast<const uint8_t*>(kModes[m]),
                       std::strlen(kModes[m])))
            Broken("cannot write", SettingsFile());
        chain = std::make_unique<CFilterChain>(channel);
        // Later filters and the tuning read at changes of speed find no file, whatever the
        // order in which the chains were made.
        ::remove(SettingsFile().c_str());
        chain->Reset();
        Shared().nReferences[m][channel == Channel::On] = chain->FilterReferences();
        Shared().nObjects = CBaseObject::ObjectsActive();
    }
    return *chain;
}

void EndInput() {
    SharedChains& shared = Shared();
    for (int m = 0; m < kStampModes; ++m) {
        for (int c = 0; c < 2; ++c) {
            std::unique_ptr<CFilterChain>& chain = shared.chains[m][c];
            if (!chain)
                continue;
            if (Fresh()) {
                chain.reset();
                continue;
            }
            chain->Reset();
            if (chain->FilterReferences() != shared.nReferences[m][c])
                Broken("the filter holds another number of references than before the input");
        }
    }
    if (Fresh()) {
        CheckModuleUnloadable();
        return;
    }
    const long nObjects = CBaseObject::ObjectsActive();
    if (nObjects != shared.nObjects || CBaseObject::ServerLocks() != 0)
        Broken("the module holds other objects than before the input:",
               std::to_string(nObjects) + " instead of " + std::to_string(shared.nObjects));
}

CMediaType PcmType(WORD tag, WORD channels, DWORD rate, WORD bits, WORD blockAlign) {
    // Not WaveFormat(): the block size is the caller's, consistent or not.
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = tag;
    wfx.nChannels = channels;
    wfx.nSamplesPerSec = rate;
    wfx.wBitsPerSample = bits;
    wfx.nBlockAlign = blockAlign;
    wfx.nAvgBytesPerSec = rate * blockAlign;
    return AudioType(wfx,
                     tag == WAVE_FORMAT_IEEE_FLOAT ? MEDIASUBTYPE_IEEE_FLOAT : MEDIASUBTYPE_PCM);
}

CMediaType FuzzedType(FuzzedDataProvider& fdp) {
    CMediaType mt;
    const int shape = fdp.ConsumeIntegralInRange(0, 7);
    // Channels, rate and bits near what a source offers, or anything. (The regression seeds
    // are read this way: a change to how bytes become values would make them other inputs.)
    auto channels = [&]() -> WORD {
        return fdp.ConsumeBool() ? static_cast<WORD>(fdp.ConsumeIntegralInRange(1, 18))
                                 : fdp.ConsumeIntegral<WORD>();
    };
    auto rate = [&]() -> DWORD {
        static const DWORD kRates[] = {8000, 11025, 22050, 44100, 48000, 96000, 192000, 1, 50, 70};
        return fdp.ConsumeBool() ? kRates[fdp.ConsumeIntegralInRange<size_t>(0, 9)]
                                 : fdp.ConsumeIntegral<DWORD>();
    };
    auto bits = [&]() -> WORD {
        static const WORD kBits[] = {8, 16, 24, 32, 0, 12, 20, 64};
        return fdp.ConsumeBool() ? kBits[fdp.ConsumeIntegralInRange<size_t>(0, 7)]
                                 : fdp.ConsumeIntegral<WORD>();
    };
    if (shape <= 3) {
        // WAVEFORMATEX, consistent or not, with a fuzzed cbSize and tail.
        const WORD tag = fdp.ConsumeBool()
                             ? (fdp.ConsumeBool() ? WAVE_FORMAT_PCM : WAVE_FORMAT_IEEE_FLOAT)
                             : fdp.ConsumeIntegral<WORD>();
        const WORD c = channels();
        const WORD b = bits();
        const WORD align =
            fdp.ConsumeBool() ? static_cast<WORD>(c * ((b + 7) / 8)) : fdp.ConsumeIntegral<WORD>();
        mt = PcmType(tag, c, rate(), b, align);
        if (shape == 3) {
            WAVEFORMATEX* pwfx = reinterpret_cast<WAVEFORMATEX*>(mt.pbFormat);
            pwfx->cbSize = fdp.ConsumeIntegral<WORD>();
            pwfx->nAvgBytesPerSec = fdp.ConsumeIntegral<DWORD>();
            std::vector<uint8_t> block(mt.pbFormat, mt.pbFormat + mt.cbFormat);
            const std::vector<uint8_t> tail =
                fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange(0, 40));
            block.insert(block.end(), tail.begin(), tail.end());
            mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
        }
    } else if (shape <= 5) {
        // WAVEFORMATEXTENSIBLE.
        WAVEFORMATEXTENSIBLE ext{};
        ext.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        ext.Format.nChannels = channels();
        ext.Format.nSamplesPerSec = rate();
        ext.Format.wBitsPerSample = bits();
        ext.Format.nBlockAlign =
            fdp.ConsumeBool()
                ? static_cast<WORD>(ext.Format.nChannels * ((ext.Format.wBitsPerSample + 7) / 8))
                : fdp.ConsumeIntegral<WORD>();
        ext.Format.nAvgBytesPerSec = ext.Format.nSamplesPerSec * ext.Format.nBlockAlign;
        ext.Format.cbSize = fdp.ConsumeBool() ? 22 : fdp.ConsumeIntegral<WORD>();
        ext.Samples.wValidBitsPerSample =
            fdp.ConsumeBool() ? ext.Format.wBitsPerSample : fdp.ConsumeIntegral<WORD>();
        ext.dwChannelMask = fdp.ConsumeIntegral<DWORD>();
        const int sub = fdp.ConsumeIntegralInRange(0, 2);
        if (sub == 0)
            ext.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        else if (sub == 1)
            ext.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        else
            fdp.ConsumeData(&ext.SubFormat, sizeof(ext.SubFormat));
        mt.SetType(&MEDIATYPE_Audio);
        mt.SetSubtype(fdp.ConsumeBool() ? &MEDIASUBTYPE_PCM : &MEDIASUBTYPE_IEEE_FLOAT);
        mt.SetFormatType(&FORMAT_WaveFormatEx);
        mt.SetSampleSize(ext.Format.nBlockAlign);
        // The block cut anywhere: shorter than the structure it claims is a hostile type.
        const size_t cb =
            shape == 4 ? sizeof(ext) : fdp.ConsumeIntegralInRange<size_t>(0, sizeof(ext));
        mt.SetFormat(reinterpret_cast<const BYTE*>(&ext), static_cast<ULONG>(cb));
    } else {
        // Anything: GUIDs, flags, sizes and a format block of raw bytes.
        static const GUID* const kMajors[] = {&MEDIATYPE_Audio, &GUID_NULL};
        static const GUID* const kSubs[] = {&MEDIASUBTYPE_PCM, &MEDIASUBTYPE_IEEE_FLOAT,
                                            &GUID_NULL};
        static const GUID* const kFormats[] = {&FORMAT_WaveFormatEx, &GUID_NULL};
        mt.SetType(kMajors[fdp.ConsumeIntegralInRange<size_t>(0, 1)]);
        mt.SetSubtype(kSubs[fdp.ConsumeIntegralInRange<size_t>(0, 2)]);
        mt.SetFormatType(kFormats[fdp.ConsumeIntegralInRange<size_t>(0, 1)]);
        mt.bFixedSizeSamples = fdp.ConsumeBool();
        mt.bTemporalCompression = fdp.ConsumeBool();
        mt.lSampleSize = fdp.ConsumeIntegral<ULONG>();
        const std::vector<uint8_t> block =
            fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange(0, 64));
        mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    }
    return mt;
}

double FuzzedFactor(FuzzedDataProvider& fdp) {
    switch (fdp.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return fdp.ConsumeFloatingPointInRange(VELOMIX_FACTOR_MIN, VELOMIX_FACTOR_MAX);
    case 1:
        return fdp.ConsumeFloatingPointInRange(0.5, 2.0);
    case 2: {
        static const double kEdges[] = {VELOMIX_FACTOR_MIN,
                                        VELOMIX_FACTOR_MAX,
                                        1.0,
                                        VELOMIX_FACTOR_MIN - 1e-7,
                                        VELOMIX_FACTOR_MAX + 1e-7,
                                        0.0,
                                        -1.0};
        return kEdges[fdp.ConsumeIntegralInRange<size_t>(0, 6)];
    }
    case 3:
        return std::numeric_limits<double>::quiet_NaN();
    case 4:
        return fdp.ConsumeBool() ? std::numeric_limits<double>::infinity()
                                 : -std::numeric_limits<double>::infinity();
    default:
        return fdp.ConsumeFloatingPoint<double>();
    }
}

int FuzzedPitch(FuzzedDataProvider& fdp) {
    return fdp.ConsumeBool()
               ? fdp.ConsumeIntegralInRange(VELOMIX_PITCH_MIN - 1, VELOMIX_PITCH_MAX + 1)
               : fdp.ConsumeIntegral<int>();
}

// ---- the source ----------------------------------------------------------------------------

class CFuzzSource final : public CBaseFilter {
public:
    static ComPtr<CFuzzSource> Create() {
        CFuzzSource* p = new (std::nothrow) CFuzzSource();
        if (!p)
            return {};
        p->NonDelegatingAddRef();
        ComPtr<CFuzzSource> source = ComPtr<CFuzzSource>::Attach(p);
        HRESULT hr = S_OK;
        p->m_pPin = std::make_unique<COutPin>(p, &hr);
        if (FAILED(hr))
            return {};
        return source;
    }

    DECLARE_IUNKNOWN
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? m_pPin.get() : nullptr; }

    class COutPin final : public CBaseOutputPin {
    public:
        COutPin(CFuzzSource* pFilter, HRESULT* phr)
            : CBaseOutputPin("fuzz source pin", pFilter, &pFilter->m_csFilter, phr, L"Out") {}
        DECLARE_IUNKNOWN
        HRESULT CheckMediaType(const CMediaType* pmt) override {
            return *pmt == m_Offered ? S_OK : S_FALSE;
        }
        HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override {
            return GetSingleMediaType(m_Offered, iPosition, pMediaType);
        }
        HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) override {
            ALLOCATOR_PROPERTIES req = *pProp;
            req.cBuffers = std::max(req.cBuffers, m_cBuffers);
            req.cbBuffer = std::max(req.cbBuffer, m_cbBuffer);
            req.cbAlign = std::max<LONG>(req.cbAlign, 1);
            ALLOCATOR_PROPERTIES actual{};
            return pAlloc->SetProperties(&req, &actual);
        }
        CMediaType m_Offered;
        LONG m_cbBuffer = 4096;
        LONG m_cBuffers = 2;
    };

    COutPin* Pin() const { return m_pPin.get(); }

private:
    CFuzzSource() : CBaseFilter("fuzz source", nullptr, &m_csFilter, GUID_NULL) {}
    CCritSec m_csFilter;
    std::unique_ptr<COutPin> m_pPin;
};

// A sample that says what it is told; lives on the caller's stack, so every reference the
// filter takes must be given back before Receive returns.
class CForeignSample final : public IMediaSample {
public:
    CForeignSample(const CFilterChain::SampleDesc& desc, LONG cbSize, LONG lActual)
        : m_Desc(desc), m_cbSize(cbSize), m_lActual(lActual),
          m_Buffer(static_cast<size_t>(std::max<LONG>(cbSize, 0))) {
        const size_t cb =
            std::min(m_Buffer.size(), static_cast<size_t>(std::max<LONG>(desc.cbData, 0)));
        if (desc.pData && cb > 0)
            std::memcpy(m_Buffer.data(), desc.pData, cb);
    }
    LONG References() const { return m_cRef; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMediaSample)) {
            *ppv = static_cast<IMediaSample*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_cRef); }
    STDMETHODIMP GetPointer(BYTE** ppBuffer) override {
        if (!ppBuffer)
            return E_POINTER;
        *ppBuffer = m_Buffer.data();
        return S_OK;
    }
    STDMETHODIMP_(LONG) GetSize() override { return m_cbSize; }
    STDMETHODIMP GetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) override {
        if (!pStart || !pEnd)
            return E_POINTER;
        if (!m_Desc.bTime)
            return VFW_E_SAMPLE_TIME_NOT_SET;
        *pStart = m_Desc.tStart;
        *pEnd = m_Desc.bStop ? m_Desc.tStop
                             : (m_Desc.tStart < INT64_MAX ? m_Desc.tStart + 1 : m_Desc.tStart);
        return m_Desc.bStop ? S_OK : VFW_S_NO_STOP_TIME;
    }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP IsSyncPoint() override { return m_Desc.bSync ? S_OK : S_FALSE; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP IsPreroll() override { return m_Desc.bPreroll ? S_OK : S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return m_lActual; }
    STDMETHODIMP SetActualDataLength(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** ppMediaType) override {
        if (!ppMediaType)
            return E_POINTER;
        *ppMediaType = nullptr;
        if (!m_Desc.pType)
            return S_FALSE;
        *ppMediaType = CreateMediaType(m_Desc.pType);
        return *ppMediaType ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDiscontinuity() override { return m_Desc.bDiscontinuity ? S_OK : S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaTime(LONGLONG* pStart, LONGLONG* pEnd) override {
        if (!pStart || !pEnd)
            return E_POINTER;
        if (!m_Desc.bMediaTime)
            return VFW_E_MEDIA_TIME_NOT_SET;
        *pStart = m_Desc.mtStart;
        *pEnd = m_Desc.mtStop;
        return S_OK;
    }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }

private:
    const CFilterChain::SampleDesc m_Desc;
    const LONG m_cbSize;
    const LONG m_lActual;
    std::vector<BYTE> m_Buffer;
    std::atomic<LONG> m_cRef{1};
};

// ---- the chain -----------------------------------------------------------------------------

CFilterChain::CFilterChain(Channel channel) {
    CCollectingSink::Options options;
    options.bStoreSamples = false;
    // Every byte the filter says it delivered must be memory it may hand on: asked of
    // AddressSanitizer for the whole length at once (a loop over the bytes cost more than the
    // filter's own work).
    // Past kMaxDeliveriesPerInput in one input the sink takes no more (S_FALSE, as a renderer
    // that has stopped): tiny buffers at a slow tempo would otherwise make one input deliver
    // tens of thousands of samples, each on the same path as the first thousand.
    options.onSample = [this](IMediaSample* pSample, const ReceivedSample& s) -> HRESULT {
        if (++m_nDelivered > kMaxDeliveriesPerInput)
            return S_FALSE;
        BYTE* p = nullptr;
        if (FAILED(pSample->GetPointer(&p)) || s.lActual < 0 || s.lActual > pSample->GetSize())
            Broken("the filter delivered a sample longer than its buffer:",
                   std::to_string(s.lActual) + " bytes in " + std::to_string(pSample->GetSize()));
        if (s.lActual > 0 && __asan_region_is_poisoned(p, static_cast<size_t>(s.lActual)))
            Broken("the filter delivered bytes outside any live buffer:",
                   std::to_string(s.lActual) + " bytes");
        return S_OK;
    };
    m_pSource = CFuzzSource::Create();
    if (!m_pSource || FAILED(CFilterGraph::Create(&m_pGraph)) ||
        FAILED(CCollectingSink::Create(MEDIATYPE_Audio, std::move(options), &m_pSink)))
        Broken("the chain could not be built");
    m_pFilter = CreateVelomix(channel);
    if (!m_pFilter)
        Broken("the filter could not be made");
    if (FAILED(m_pFilter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&m_pProp))) ||
        FAILED(m_pFilter->FindPin(L"In", &m_pFilterIn)) ||
        FAILED(m_pFilter->FindPin(L"Out", &m_pFilterOut)) ||
        FAILED(m_pGraph->AddFilter(m_pSource.Get(), L"source")) ||
        FAILED(m_pGraph->AddFilter(m_pFilter.Get(), L"Velomix")) ||
        FAILED(m_pGraph->AddFilter(m_pSink.Get(), L"sink")))
        Broken("the chain could not be built");
}

// The members go in reverse order, the graph last: it disconnects and releases its filters.
CFilterChain::~CFilterChain() {
    m_pGraph->Stop();
}

HRESULT CFilterChain::Connect(const CMediaType& mt, LONG cbBuffer, LONG cBuffers) {
    m_pGraph->Stop();
    m_bConnected = false;
    CFuzzSource::COutPin* const pSourceOut = m_pSource->Pin();
    m_pGraph->Disconnect(pSourceOut);
    m_pGraph->Disconnect(m_pFilterIn.Get());
    m_pGraph->Disconnect(m_pFilterOut.Get());
    m_pGraph->Disconnect(m_pSink->InputPin());
    pSourceOut->m_Offered = mt;
    pSourceOut->m_cbBuffer = cbBuffer;
    pSourceOut->m_cBuffers = cBuffers;
    HRESULT hr = m_pGraph->ConnectDirect(pSourceOut, m_pFilterIn.Get(), &mt);
    if (FAILED(hr))
        return hr;
    m_bStreamedSinceReset = true; // the input side alone can take samples
    hr = m_pGraph->ConnectDirect(m_pFilterOut.Get(), m_pSink->InputPin(), nullptr);
    if (FAILED(hr))
        return hr;
    m_bConnected = true;
    return S_OK;
}

ULONG CFilterChain::FilterReferences() const {
    m_pFilter->AddRef();
    return m_pFilter->Release();
}

void CFilterChain::Reset() {
    m_nDelivered = 0;
    if (!m_bStreamedSinceReset || m_bConnected) {
        // The stream forgotten as after a seek (the flush clears the engine's ring, a held
        // input, the stamp clock; the stop clears a runtime error); the values and the segment
        // back to a new filter's. The engine stays set up for the last format, as it does for a
        // filter whose next stream has the same one.
        if (m_bConnected) {
            BeginFlush();
            EndFlush();
        }
        m_pGraph->Stop();
        ResetValues();
    } else {
        FullReset();
    }
    m_pGraph->Disconnect(m_pSource->Pin());
    m_pGraph->Disconnect(m_pFilterIn.Get());
    m_pGraph->Disconnect(m_pFilterOut.Get());
    m_pGraph->Disconnect(m_pSink->InputPin());
    m_bConnected = false;
    m_bStreamedSinceReset = false;
    // The sink's and the graph's records of calls and events would grow with every input.
    m_pSink->Clear();
    m_pGraph->ClearEvents();
}

// Pitch first: at 0 semitones every tempo and rate lies inside the envelope.
void CFilterChain::ResetValues() {
    m_pProp->SetPitch(0);
    m_pProp->SetTempo(1.0);
    m_pProp->SetRate(1.0);
    // Straight to the filter's pin: it takes a segment connected or not, in any state.
    m_pFilterIn->NewSegment(0, std::numeric_limits<REFERENCE_TIME>::max(), 1.0);
}

// For a chain whose input was connected during the input but that is not connected on both
// sides now (a connection failed), whose stream cannot be flushed where it stands: a connection and
// a run of its own, whose flush clears what the input left, and one frame of a format no input
// uses, so that the next input sets the engine up as a new filter's first does.
void CFilterChain::FullReset() {
    if (FAILED(Connect(PcmType(WAVE_FORMAT_PCM, 2, 1000, 16, 4), 4096, 2)) || FAILED(Run()))
        Broken("a reset connection failed");
    ResetValues();
    static const uint8_t kFrame[4] = {};
    SampleDesc frame;
    frame.pData = kFrame;
    frame.cbData = sizeof kFrame;
    Deliver(frame);
    BeginFlush();
    EndFlush();
    m_pGraph->Stop();
}

HRESULT CFilterChain::SetFuzzedSpeed(Speed which, FuzzedDataProvider& fdp) {
    switch (which) {
    case Speed::Tempo:
        return m_pProp->SetTempo(FuzzedFactor(fdp));
    case Speed::Rate:
        return m_pProp->SetRate(FuzzedFactor(fdp));
    default:
        return m_pProp->SetPitch(FuzzedPitch(fdp));
    }
}

void CFilterChain::RunPlainPcm() {
    if (FAILED(Connect(PcmType(WAVE_FORMAT_PCM, 2, 44100, 16, 4), 4096, 2)) || FAILED(Run()))
        Broken("a plain PCM connection failed");
}

namespace {

void SetProperties(IMediaSample* pSample, const CFilterChain::SampleDesc& desc) {
    REFERENCE_TIME tStart = desc.tStart, tStop = desc.tStop;
    if (desc.bTime)
        pSample->SetTime(&tStart, desc.bStop ? &tStop : nullptr);
    else
        pSample->SetTime(nullptr, nullptr);
    LONGLONG mtStart = desc.mtStart, mtStop = desc.mtStop;
    if (desc.bMediaTime)
        pSample->SetMediaTime(&mtStart, &mtStop);
    else
        pSample->SetMediaTime(nullptr, nullptr);
    pSample->SetSyncPoint(desc.bSync);
    pSample->SetDiscontinuity(desc.bDiscontinuity);
    pSample->SetPreroll(desc.bPreroll);
    pSample->SetMediaType(const_cast<AM_MEDIA_TYPE*>(desc.pType));
}

} // namespace

HRESULT CFilterChain::Deliver(const SampleDesc& desc) {
    if (!m_bConnected)
        return VFW_E_NOT_CONNECTED;
    CFuzzSource::COutPin* pPin = m_pSource->Pin();
    ComPtr<IMediaSample> sample;
    // Never waits: the filter gives every sample back before Receive returns, and a stopped
    // graph's allocator refuses at once.
    HRESULT hr = pPin->GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    const LONG cb = std::clamp<LONG>(desc.cbData, 0, sample->GetSize());
    if (cb > 0 && desc.pData)
        std::memcpy(p, desc.pData, static_cast<size_t>(cb));
    sample->SetActualDataLength(cb);
    SetProperties(sample.Get(), desc);
    return pPin->Deliver(sample.Get());
}

HRESULT CFilterChain::Deliver(const std::vector<uint8_t>& data) {
    SampleDesc desc;
    desc.pData = data.data();
    desc.cbData = static_cast<LONG>(data.size());
    return Deliver(desc);
}

HRESULT CFilterChain::DeliverForeign(const SampleDesc& desc, LONG cbSize, LONG lActual) {
    ComPtr<IMemInputPin> input;
    HRESULT hr = m_pFilterIn->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
    if (FAILED(hr))
        return hr;
    CForeignSample sample(desc, cbSize, lActual);
    hr = input->Receive(&sample);
    if (sample.References() != 1)
        Broken("the filter kept a reference to an input sample");
    return hr;
}

HRESULT CFilterChain::EndOfStream() {
    return m_bConnected ? m_pSource->Pin()->DeliverEndOfStream() : m_pFilterIn->EndOfStream();
}

HRESULT CFilterChain::BeginFlush() {
    return m_bConnected ? m_pSource->Pin()->DeliverBeginFlush() : m_pFilterIn->BeginFlush();
}

HRESULT CFilterChain::EndFlush() {
    return m_bConnected ? m_pSource->Pin()->DeliverEndFlush() : m_pFilterIn->EndFlush();
}

HRESULT CFilterChain::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    return m_bConnected ? m_pSource->Pin()->DeliverNewSegment(tStart, tStop, dRate)
                        : m_pFilterIn->NewSegment(tStart, tStop, dRate);
}

} // namespace fuzz

// Before the first input: the private folder is in place before anything reads the environment.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::PrivateFolder();
    return 0;
}
