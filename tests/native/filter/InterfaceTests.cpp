// The filter's COM surface: creation, interfaces, pins, connection rules, seeking, values.
#include "FilterTest.h"

#include "AudioFormat.h"
#include "Transform.h"

#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <memory>

namespace {

constexpr DWORD kRate = 44100;

// A copy filter of another class, to put between two Velomix instances.
// {5A3C0E11-94B7-4C52-9D0A-7E0C5B2A6F01}
VMX_DEFINE_GUID(kClsidOther, 0x5A3C0E11, 0x94B7, 0x4C52, 0x9D, 0x0A, 0x7E, 0x0C, 0x5B, 0x2A, 0x6F,
                0x01);

class COtherTransform final : public CTransformFilter {
public:
    static ComPtr<IBaseFilter> Create() {
        auto* p = new COtherTransform();
        HRESULT hr = S_OK;
        p->m_pInput.reset(new CTransformInputPin(nullptr, p, &hr, L"In"));
        p->m_pOutput.reset(new CTransformOutputPin(nullptr, p, &hr, L"Out"));
        return ComPtr<IBaseFilter>(static_cast<IBaseFilter*>(p));
    }
    HRESULT Transform(IMediaSample*, IMediaSample*) override { return S_OK; }
    HRESULT CheckInputType(const CMediaType*) override { return S_OK; }
    HRESULT CheckTransform(const CMediaType*, const CMediaType*) override { return S_OK; }
    HRESULT DecideBufferSize(IMemAllocator* a, ALLOCATOR_PROPERTIES* p) override {
        p->cBuffers = 2;
        p->cbBuffer = 4096;
        ALLOCATOR_PROPERTIES actual;
        return a->SetProperties(p, &actual);
    }
    HRESULT GetMediaType(int i, CMediaType* mt) override {
        return i == 0 ? mt->Set(m_pInput->CurrentMediaType()) : VFW_S_NO_MORE_ITEMS;
    }

private:
    COtherTransform() : CTransformFilter(nullptr, nullptr, kClsidOther) {}
};

// A media sample whose reported lengths exceed its buffer.
class CLyingSample final : public IMediaSample {
public:
    explicit CLyingSample(LONG cbBuffer, LONG lActual)
        : m_Buffer(static_cast<size_t>(cbBuffer), 0x55), m_lActual(lActual) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMediaSample))
            return GetInterface(this, ppv);
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
    STDMETHODIMP_(ULONG) Release() override { return --m_cRef; } // lives on the test's stack
    STDMETHODIMP GetPointer(BYTE** pp) override {
        *pp = m_Buffer.data();
        return S_OK;
    }
    STDMETHODIMP_(LONG) GetSize() override { return static_cast<LONG>(m_Buffer.size()); }
    STDMETHODIMP GetTime(REFERENCE_TIME* s, REFERENCE_TIME* e) override {
        *s = 0;
        *e = 10000;
        return S_OK;
    }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return S_OK; }
    STDMETHODIMP IsSyncPoint() override { return S_OK; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return S_OK; }
    STDMETHODIMP IsPreroll() override { return S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return S_OK; }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return m_lActual; }
    STDMETHODIMP SetActualDataLength(LONG) override { return S_OK; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** pp) override {
        *pp = nullptr;
        return S_FALSE;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return S_OK; }
    STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return S_OK; }
    STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return S_OK; }

private:
    std::vector<BYTE> m_Buffer;
    LONG m_lActual;
    ULONG m_cRef = 1;
};

// What the filter hands out in task memory, freed however the test ends (media types: the
// framework's MediaTypePtr).
struct TaskMemDeleter {
    void operator()(void* pv) const { CoTaskMemFree(pv); }
};

bool NotConnected(IPin* pin) {
    ComPtr<IPin> peer;
    return pin->ConnectedTo(&peer) == VFW_E_NOT_CONNECTED && !peer;
}

} // namespace

TEST_F(FilterTest, FactoryServesTheFilterAndRefusesOtherClasses) {
    ComPtr<IClassFactory> factory;
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE,
              Module().GetClassObject(IID_IVelomixProp, IID_IClassFactory,
                                      reinterpret_cast<void**>(&factory)));
    EXPECT_FALSE(factory);
    EXPECT_HR(E_NOINTERFACE, Module().GetClassObject(CLSID_Velomix, IID_IVelomixProp,
                                                     reinterpret_cast<void**>(&factory)));
    ASSERT_HR(S_OK, Module().GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)));

    // Aggregation hands out only the inner IUnknown.
    ComPtr<IUnknown> outer(reinterpret_cast<IUnknown*>(factory.Get()));
    ComPtr<IBaseFilter> filter;
    EXPECT_HR(E_NOINTERFACE, factory->CreateInstance(outer.Get(), IID_IBaseFilter,
                                                     reinterpret_cast<void**>(&filter)));
    EXPECT_HR(E_POINTER, factory->CreateInstance(nullptr, IID_IBaseFilter, nullptr));
    outer.Reset();

    ASSERT_HR(S_OK,
              factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)));
    factory.Reset();
    EXPECT_HR(S_FALSE, Module().CanUnloadNow()) << "a live filter keeps the module loaded";
    CLSID clsid{};
    EXPECT_HR(S_OK, filter->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_Velomix));
}

TEST_F(FilterTest, InterfacesOfTheFilterAndItsPins) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop;
    ComPtr<ISpecifyPropertyPages> pages;
    EXPECT_HR(S_OK, filter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop)));
    EXPECT_HR(S_OK,
              filter->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&pages)));

    CAUUID caGuid{};
    ASSERT_HR(S_OK, pages->GetPages(&caGuid));
    const std::unique_ptr<GUID, TaskMemDeleter> elems(caGuid.pElems);
    ASSERT_EQ(caGuid.cElems, 1u);
    EXPECT_TRUE(IsEqualGUID(caGuid.pElems[0], CLSID_VelomixProp1));

    // One identity: every face answers for the same object.
    ComPtr<IUnknown> a, b;
    EXPECT_HR(S_OK, prop->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)));
    EXPECT_HR(S_OK, pages->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b)));
    EXPECT_EQ(a.Get(), b.Get());

    for (const wchar_t* id : {L"In", L"Out"}) {
        ComPtr<IPin> pin = Pin(filter.Get(), id);
        ASSERT_TRUE(pin);
        LPWSTR queried = nullptr;
        ASSERT_HR(S_OK, pin->QueryId(&queried));
        EXPECT_STREQ(queried, id);
        CoTaskMemFree(queried);
        EXPECT_HR(E_POINTER, pin->QueryId(nullptr));
        IPin* internal[2] = {};
        ULONG n = 2;
        EXPECT_HR(E_NOTIMPL, pin->QueryInternalConnections(internal, &n));
        ComPtr<IVelomixProp> none;
        EXPECT_HR(E_NOINTERFACE,
                  pin->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&none)));
        EXPECT_HR(E_NOINTERFACE,
                  pin->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&none)));
        PIN_INFO info{};
        ASSERT_HR(S_OK, pin->QueryPinInfo(&info));
        EXPECT_EQ(info.pFilter, filter.Get());
        EXPECT_EQ(info.dir, std::wstring(id) == L"In" ? PINDIR_INPUT : PINDIR_OUTPUT);
        info.pFilter->Release();
    }
    ComPtr<IPin> missing;
    EXPECT_HR(VFW_E_NOT_FOUND, filter->FindPin(L"Input", &missing));

    // Pins enumerate input first.
    ComPtr<IEnumPins> pins;
    ASSERT_HR(S_OK, filter->EnumPins(&pins));
    IPin* got[3] = {};
    ULONG fetched = 0;
    EXPECT_HR(S_FALSE, pins->Next(3, got, &fetched));
    const ComPtr<IPin> held[3] = {ComPtr<IPin>::Attach(got[0]), ComPtr<IPin>::Attach(got[1]),
                                  ComPtr<IPin>::Attach(got[2])};
    ASSERT_EQ(fetched, 2u);
    PIN_DIRECTION dir;
    got[0]->QueryDirection(&dir);
    EXPECT_EQ(dir, PINDIR_INPUT);
}

TEST_F(FilterTest, SpeedValuesAreCheckedAndKept) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    double d = 0;
    int n = -1;
    ASSERT_HR(S_OK, prop->GetTempo(&d));
    EXPECT_EQ(d, 1.0);
    ASSERT_HR(S_OK, prop->GetRate(&d));
    EXPECT_EQ(d, 1.0);
    ASSERT_HR(S_OK, prop->GetPitch(&n));
    EXPECT_EQ(n, 0);
    EXPECT_HR(E_POINTER, prop->GetTempo(nullptr));
    EXPECT_HR(E_POINTER, prop->GetPitch(nullptr));

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {nan, inf, -inf, 0.0, -1.0, 0.0499, 50.01}) {
        EXPECT_HR(E_INVALIDARG, prop->SetTempo(bad)) << bad;
        EXPECT_HR(E_INVALIDARG, prop->SetRate(bad)) << bad;
    }
    for (int bad : {-61, 61, std::numeric_limits<int>::min()})
        EXPECT_HR(E_INVALIDARG, prop->SetPitch(bad)) << bad;
    prop->GetTempo(&d);
    EXPECT_EQ(d, 1.0) << "a refused value stores nothing";

    for (double ok : {0.05, 50.0, 1.15}) {
        EXPECT_HR(S_OK, prop->SetTempo(ok));
        prop->GetTempo(&d);
        EXPECT_EQ(d, ok);
        EXPECT_HR(S_OK, prop->SetRate(ok));
        prop->GetRate(&d);
        EXPECT_EQ(d, ok);
    }
    for (int ok : {-60, 60, 3}) {
        EXPECT_HR(S_OK, prop->SetPitch(ok));
        prop->GetPitch(&n);
        EXPECT_EQ(n, ok);
    }
}

// Each value alone keeps its range; together they must keep the engine's effective tempo
// (tempo / 2^(pitch/12)) and rate (rate x 2^(pitch/12)) within 0.02..50, as applied in whole
// percent. A value that would leave that is refused and stores nothing.
TEST_F(FilterTest, SpeedValuesStayInsideTheSpeedEnvelope) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IVelomixProp> prop = Prop(filter.Get());
    double d = 0;
    int n = 0;
    ASSERT_HR(S_OK, prop->SetTempo(0.05));
    EXPECT_HR(E_INVALIDARG, prop->SetPitch(60)) << "0.05 / 32";
    ASSERT_HR(S_OK, prop->GetPitch(&n));
    EXPECT_EQ(n, 0);
    EXPECT_HR(S_OK, prop->SetPitch(-60)) << "0.05 x 32";
    ASSERT_HR(S_OK, prop->SetPitch(0));
    ASSERT_HR(S_OK, prop->SetTempo(0.64));
    ASSERT_HR(S_OK, prop->SetPitch(60));
    EXPECT_HR(E_INVALIDARG, prop->SetTempo(0.63)) << "0.63 / 32 < 0.02";
    EXPECT_HR(S_OK, prop->SetTempo(0.639)) << "applied as 0.64";
    EXPECT_HR(E_INVALIDARG, prop->SetRate(1.57)) << "1.57 x 32 > 50";
    EXPECT_HR(S_OK, prop->SetRate(1.56));
    ASSERT_HR(S_OK, prop->GetTempo(&d));
    EXPECT_EQ(d, 0.639) << "kept as set";
    // The mirror at -60 semitones, from tempo 0.639 and rate 1.56, both inside there too.
    ASSERT_HR(S_OK, prop->SetPitch(-60));
    EXPECT_HR(E_INVALIDARG, prop->SetTempo(1.57));
    EXPECT_HR(S_OK, prop->SetTempo(1.56));
    EXPECT_HR(E_INVALIDARG, prop->SetRate(0.63));
    EXPECT_HR(S_OK, prop->SetRate(0.64));

    // The combinations that ran for minutes: tempo 50, rate 50, pitch -60 and tempo 0.05 at +60.
    ASSERT_HR(S_OK, prop->SetPitch(0));
    ASSERT_HR(S_OK, prop->SetTempo(50.0));
    ASSERT_HR(S_OK, prop->SetRate(50.0));
    EXPECT_HR(E_INVALIDARG, prop->SetPitch(-60));
    EXPECT_HR(E_INVALIDARG, prop->SetPitch(1)) << "rate 50 x 2^(1/12)";
    ASSERT_HR(S_OK, prop->SetRate(1.0));
    ASSERT_HR(S_OK, prop->SetPitch(60));
    EXPECT_HR(E_INVALIDARG, prop->SetTempo(0.05));
    ASSERT_HR(S_OK, prop->GetTempo(&d));
    EXPECT_EQ(d, 50.0);
    ASSERT_HR(S_OK, prop->GetRate(&d));
    EXPECT_EQ(d, 1.0);
    ASSERT_HR(S_OK, prop->GetPitch(&n));
    EXPECT_EQ(n, 60);
}

TEST_F(FilterTest, InputTypesTheFilterRefuses) {
    ComPtr<IBaseFilter> filter = CreateFilter();
    ComPtr<IPin> in = Pin(filter.Get(), L"In");
    const CMediaType pcm = AudioType(WaveFormat(2, kRate, 16));
    EXPECT_HR(S_OK, in->QueryAccept(&pcm));

    CMediaType notPcm = AudioType(WaveFormat(2, kRate, 16));
    notPcm.SetSubtype(&MEDIASUBTYPE_WAVE);
    CMediaType video = AudioType(WaveFormat(2, kRate, 16));
    video.SetType(&MEDIATYPE_Video);
    CMediaType noFormat = AudioType(WaveFormat(2, kRate, 16));
    noFormat.SetFormatType(&FORMAT_None);
    CMediaType shortBlock = AudioType(WaveFormat(2, kRate, 16));
    shortBlock.SetFormat(shortBlock.Format(), 14);
    WAVEFORMATEX badAlign = WaveFormat(2, kRate, 16);
    badAlign.nBlockAlign = 3;
    for (const CMediaType& mt :
         {notPcm, video, noFormat, shortBlock, AudioType(badAlign),
          AudioType(WaveFormat(0, kRate, 16)), AudioType(WaveFormat(17, kRate, 16)),
          AudioType(WaveFormat(2, 0, 16)), AudioType(WaveFormat(2, 999, 16)),
          AudioType(WaveFormat(1, 70, 8)), AudioType(WaveFormat(2, kRate, 12)),
          AudioType(WaveFormat(2, kRate, 64))})
        EXPECT_HR(S_FALSE, in->QueryAccept(&mt));

    // Connecting with a refused type fails as the framework reports it.
    ComPtr<CPushSource> source;
    CPushSource::Options so;
    ASSERT_HR(S_OK, CPushSource::Create(notPcm,
                                        std::make_unique<CPcmProvider>(WaveFormat(2, kRate, 16),
                                                                       std::vector<BYTE>(64)),
                                        so, &source));
    EXPECT_HR(VFW_E_TYPE_NOT_ACCEPTED, source->OutputPin()->Connect(in.Get(), &notPcm));
    ComPtr<IPin> peer;
    EXPECT_HR(VFW_E_NOT_CONNECTED, in->ConnectedTo(&peer));
}

TEST(AudioFormat, TheFormatCodesTheFilterAnswers) {
    AudioFormat f;
    EXPECT_EQ(ParseAudioFormat(AudioType(WaveFormat(2, kRate, 16)), &f), S_OK);
    EXPECT_EQ(f.nBlockAlign, 4);
    CMediaType other = AudioType(WaveFormat(2, kRate, 16));
    other.SetSubtype(&MEDIASUBTYPE_WAVE);
    EXPECT_EQ(ParseAudioFormat(other, &f), E_FAIL);
    other = AudioType(WaveFormat(2, kRate, 16));
    other.SetType(&MEDIATYPE_Video);
    EXPECT_EQ(ParseAudioFormat(other, &f), E_FAIL);
    other = AudioType(WaveFormat(2, kRate, 16));
    other.SetFormatType(&FORMAT_None);
    EXPECT_EQ(ParseAudioFormat(other, &f), E_INVALIDARG);
    other.SetFormatType(&FORMAT_WaveFormatEx);
    other.ResetFormatBuffer();
    EXPECT_EQ(ParseAudioFormat(other, &f), E_INVALIDARG) << "no format block";
    for (WORD bits : {8, 16, 24, 32})
        EXPECT_EQ(ParseAudioFormat(AudioType(WaveFormat(1, 8000, bits)), &f), S_OK) << bits;
    EXPECT_EQ(ParseAudioFormat(AudioType(WaveFormat(16, 48000, 16)), &f), S_OK);
    // The lowest rate at which the engine is known to finish every call, and just below.
    EXPECT_EQ(ParseAudioFormat(AudioType(WaveFormat(2, 1000, 16)), &f), S_OK);
    EXPECT_EQ(ParseAudioFormat(AudioType(WaveFormat(2, 999, 16)), &f), E_INVALIDARG);
    EXPECT_EQ(ParseAudioFormat(AudioType(WaveFormat(2, kRate, 16, WAVE_FORMAT_IEEE_FLOAT),
                                         MEDIASUBTYPE_IEEE_FLOAT),
                               &f),
              E_INVALIDARG)
        << "float samples are 32-bit";
    EXPECT_EQ(ParseAudioFormat(AudioType(WaveFormat(2, kRate, 32, WAVE_FORMAT_IEEE_FLOAT),
                                         MEDIASUBTYPE_IEEE_FLOAT),
                               &f),
              S_OK);
    EXPECT_TRUE(f.bFloat);
    EXPECT_EQ(ParseAudioFormat(AudioType(WaveFormat(2, kRate, 16, 2 /* ADPCM */)), &f),
              E_INVALIDARG);

    // WAVEFORMATEXTENSIBLE: PCM and float sub-formats, nothing else.
    WAVEFORMATEXTENSIBLE x{};
    x.Format = WaveFormat(6, 48000, 24, WAVE_FORMAT_EXTENSIBLE);
    x.Format.cbSize = 22;
    x.Samples.wValidBitsPerSample = 24;
    x.dwChannelMask = 0x3F;
    x.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    CMediaType ext = AudioType(x.Format);
    ext.SetFormat(reinterpret_cast<const BYTE*>(&x), sizeof(x));
    EXPECT_EQ(ParseAudioFormat(ext, &f), S_OK);
    EXPECT_EQ(f.nChannels, 6);
    x.SubFormat = MEDIASUBTYPE_WAVE;
    ext.SetFormat(reinterpret_cast<const BYTE*>(&x), sizeof(x));
    EXPECT_EQ(ParseAudioFormat(ext, &f), E_INVALIDARG);
    ext.SetFormat(reinterpret_cast<const BYTE*>(&x), sizeof(WAVEFORMATEX)); // cut short
    EXPECT_EQ(ParseAudioFormat(ext, &f), E_INVALIDARG);
}

TEST_F(FilterTest, OutputOffersTheInputTypeAndSizesBuffersLikeTheInput) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    const std::vector<uint8_t> data = Noise(8192 * 3);
    Chain c = BuildChain(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, data), 8192, 3);
    ComPtr<IPin> out = Pin(c.filter.Get(), L"Out");

    ComPtr<IEnumMediaTypes> types;
    ASSERT_HR(S_OK, out->EnumMediaTypes(&types));
    AM_MEDIA_TYPE* pmt[2] = {};
    ULONG fetched = 0;
    EXPECT_HR(S_FALSE, types->Next(2, pmt, &fetched));
    const MediaTypePtr offered[2] = {MediaTypePtr(pmt[0]), MediaTypePtr(pmt[1])};
    ASSERT_EQ(fetched, 1u) << "exactly one type: the input's";
    EXPECT_TRUE(CMediaType(*pmt[0]) == AudioType(wfx));

    // The sink's allocator was sized like the source's: 3 buffers of 8192 bytes.
    ComPtr<IMemInputPin> sinkInput;
    ASSERT_HR(S_OK, c.sink->InputPin()->QueryInterface(IID_IMemInputPin,
                                                       reinterpret_cast<void**>(&sinkInput)));
    ComPtr<IMemAllocator> allocator;
    ASSERT_HR(S_OK, sinkInput->GetAllocator(&allocator));
    ALLOCATOR_PROPERTIES props{};
    ASSERT_HR(S_OK, allocator->GetProperties(&props));
    EXPECT_EQ(props.cBuffers, 3);
    EXPECT_EQ(props.cbBuffer, 8192);

    RunToEnd(c);
    for (const ReceivedSample& s : c.sink->Samples())
        EXPECT_EQ(s.cbBuffer, 8192);
    allocator.Reset();
    sinkInput.Reset();
    out.Reset();
    Release(c);

    // Before the input is connected the output pin has nothing to offer.
    ComPtr<IBaseFilter> lone = CreateFilter();
    ComPtr<IEnumMediaTypes> none;
    ASSERT_HR(S_OK, Pin(lone.Get(), L"Out")->EnumMediaTypes(&none));
    AM_MEDIA_TYPE* pNone = nullptr;
    EXPECT_HR(S_FALSE, none->Next(1, &pNone, &fetched));
    const MediaTypePtr noneOffered(pNone);
    EXPECT_EQ(fetched, 0u);
}

TEST_F(FilterTest, ASecondInstanceDownstreamIsRefused) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    ComPtr<CFilterGraph> graph;
    ASSERT_HR(S_OK, CFilterGraph::Create(&graph));
    ComPtr<CPushSource> source, source2;
    ASSERT_HR(S_OK,
              CPushSource::Create(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, Noise(4096)),
                                  {}, &source));
    ASSERT_HR(S_OK,
              CPushSource::Create(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, Noise(4096)),
                                  {}, &source2));
    ComPtr<IBaseFilter> first = CreateFilter(), other = COtherTransform::Create(),
                        second = CreateFilter();
    ASSERT_HR(S_OK, graph->AddFilter(source.Get(), L"source"));
    ASSERT_HR(S_OK, graph->AddFilter(source2.Get(), L"source2"));
    ASSERT_HR(S_OK, graph->AddFilter(first.Get(), L"first"));
    ASSERT_HR(S_OK, graph->AddFilter(other.Get(), L"other"));
    ASSERT_HR(S_OK, graph->AddFilter(second.Get(), L"second"));
    ASSERT_HR(S_OK,
              graph->ConnectDirect(source->OutputPin(), Pin(first.Get(), L"In").Get(), nullptr));

    // Right behind the first instance: refused.
    ComPtr<IPin> secondIn = Pin(second.Get(), L"In");
    EXPECT_TRUE(
        FAILED(graph->ConnectDirect(Pin(first.Get(), L"Out").Get(), secondIn.Get(), nullptr)));
    EXPECT_TRUE(NotConnected(secondIn.Get()));

    // Behind another filter that follows the first instance: refused too.
    ASSERT_HR(S_OK, graph->ConnectDirect(Pin(first.Get(), L"Out").Get(),
                                         Pin(other.Get(), L"In").Get(), nullptr));
    EXPECT_TRUE(
        FAILED(graph->ConnectDirect(Pin(other.Get(), L"Out").Get(), secondIn.Get(), nullptr)));
    EXPECT_TRUE(NotConnected(secondIn.Get()));

    // Once refused, the second instance keeps refusing until its output is disconnected,
    // even from a source with no instance upstream.
    EXPECT_TRUE(FAILED(graph->ConnectDirect(source2->OutputPin(), secondIn.Get(), nullptr)));
    CMediaType mt = AudioType(wfx);
    EXPECT_HR(S_FALSE, secondIn->QueryAccept(&mt));

    // A fresh instance behind a plain source connects.
    ComPtr<IBaseFilter> third = CreateFilter();
    ASSERT_HR(S_OK, graph->AddFilter(third.Get(), L"third"));
    EXPECT_HR(S_OK,
              graph->ConnectDirect(source2->OutputPin(), Pin(third.Get(), L"In").Get(), nullptr));
}

TEST_F(FilterTest, TransformNeverWritesPastTheOutputBuffer) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    // A source with nothing to send: the test pushes its own samples into the filter.
    Chain c =
        BuildChain(AudioType(wfx), std::make_unique<CPcmProvider>(wfx, std::vector<BYTE>()), 4096);
    ASSERT_HR(S_OK, c.graph->Pause());
    ComPtr<IMemInputPin> in;
    ASSERT_HR(S_OK, Pin(c.filter.Get(), L"In")
                        ->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&in)));
    for (double tempo : {1.0, 0.5}) {
        ASSERT_HR(S_OK, c.prop->SetTempo(tempo));
        for (int i = 0; i < 20; ++i) {
            CLyingSample lying(16384, 1 << 30); // claims a gigabyte in a 16 KiB buffer
            const HRESULT hr = in->Receive(&lying);
            EXPECT_TRUE(SUCCEEDED(hr)) << Hex(hr);
        }
    }
    EXPECT_HR(S_OK, c.graph->Stop());
    const std::vector<ReceivedSample> out = c.sink->Samples();
    ASSERT_FALSE(out.empty());
    for (const ReceivedSample& s : out)
        EXPECT_LE(s.lActual, s.cbBuffer);
}

TEST_F(FilterTest, SeekingOnTheOutputPinReachesTheSourceUnscaled) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    Chain c = BuildChain(AudioType(wfx),
                         std::make_unique<CPcmProvider>(wfx, Noise(wfx.nAvgBytesPerSec * 2)), 4096);
    ASSERT_HR(S_OK, c.prop->SetTempo(2.0));
    ComPtr<IPin> out = Pin(c.filter.Get(), L"Out");
    ComPtr<IMediaSeeking> s1, s2, upstream;
    ASSERT_HR(S_OK, out->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&s1)));
    ASSERT_HR(S_OK, out->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&s2)));
    EXPECT_EQ(s1.Get(), s2.Get()) << "one pass-through object";
    ASSERT_HR(S_OK, c.source->OutputPin()->QueryInterface(IID_IMediaSeeking,
                                                          reinterpret_cast<void**>(&upstream)));
    ComPtr<IMediaSeeking> none;
    EXPECT_HR(E_NOINTERFACE,
              Pin(c.filter.Get(), L"In")
                  ->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&none)));

    LONGLONG d1 = 0, d2 = 0;
    ASSERT_HR(S_OK, s1->GetDuration(&d1));
    ASSERT_HR(S_OK, upstream->GetDuration(&d2));
    EXPECT_EQ(d1, d2);
    EXPECT_EQ(d1, 20000000) << "2 s, not scaled by the tempo";
    double rate = 0;
    ASSERT_HR(S_OK, s1->GetRate(&rate));
    EXPECT_EQ(rate, 1.0) << "the upstream rate, not the filter's tempo";
    LONGLONG current = 0, upstreamCurrent = -1;
    ASSERT_HR(S_OK, s1->GetCurrentPosition(&current));
    ASSERT_HR(S_OK, upstream->GetCurrentPosition(&upstreamCurrent));
    EXPECT_EQ(current, upstreamCurrent);

    // A graph rate change reaches the source and leaves the filter's rate alone.
    EXPECT_HR(S_OK, s1->SetRate(2.0));
    ASSERT_HR(S_OK, upstream->GetRate(&rate));
    EXPECT_EQ(rate, 2.0);
    ASSERT_HR(S_OK, c.prop->GetRate(&rate));
    EXPECT_EQ(rate, 1.0);

    ComPtr<IMediaPosition> position;
    ASSERT_HR(S_OK, out->QueryInterface(IID_IMediaPosition, reinterpret_cast<void**>(&position)));
    REFTIME length = 0;
    ASSERT_HR(S_OK, position->get_Duration(&length));
    EXPECT_DOUBLE_EQ(length, 2.0);
}

TEST_F(FilterTest, SettingsTheEngineRefusesFallBackToDefaults) {
    // An anti-alias length the engine refuses, and stretch tuning it cannot take.
    WriteSettings("[INIT]\nFAST=0\nHIGH_EFFECT=1\nHIGH_EFFECT_LEN=33\n[SPEED]\n1.6=-5,abc,0\n1.0="
                  "999999,1,1\n");
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    Chain c = BuildChain(AudioType(wfx),
                         std::make_unique<CPcmProvider>(wfx, Sine16(2, kRate, 440, 2.0)), 17640);
    ASSERT_HR(S_OK, c.prop->SetTempo(1.5));
    RunToEnd(c);
    EXPECT_NEAR(double(Output(c).size()) / wfx.nAvgBytesPerSec, 2.0 / 1.5, 0.02);
    Release(c);

    Chain slow =
        BuildChain(AudioType(wfx),
                   std::make_unique<CChunkProvider>(wfx, Sine16(2, kRate, 440, 1.0), 8000), 17640);
    ASSERT_HR(S_OK, slow.prop->SetTempo(0.9));
    RunToEnd(slow);
    EXPECT_NEAR(double(Output(slow).size()) / wfx.nAvgBytesPerSec, 1.0 / 0.9, 0.02);
}

TEST_F(FilterTest, TheSettingsFolderIsMadeWithTheFilter) {
    struct stat st {};
    ASSERT_NE(stat(SettingsFolder().c_str(), &st), 0);
    ComPtr<IBaseFilter> filter = CreateFilter();
    ASSERT_EQ(stat(SettingsFolder().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}
