// Quality messages at the module's pins, routed as the platform's transform pins route them: the
// output pin's Notify goes to the sink set on the input pin, else to the upstream output pin;
// the input pin accepts a message and sends it nowhere.
#include "Harness.h"
#include "Support.h"

#include <atomic>

namespace {

// Records what reached it and answers with hrNotify.
class CQualityRecorder : public IQualityControl {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQualityControl)) {
            *ppv = static_cast<IQualityControl*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
    STDMETHODIMP Notify(IBaseFilter* pSender, Quality q) override {
        ++notifies;
        sender = pSender;
        last = q;
        return hrNotify;
    }
    STDMETHODIMP SetSink(IQualityControl*) override { return S_OK; }

    HRESULT hrNotify = S_OK;
    int notifies = 0;
    IBaseFilter* sender = nullptr;
    Quality last{};
    std::atomic<long> refs{1};
};

// An upstream output pin that connects by ReceiveConnection on the filter's input; it answers
// IQualityControl only when made with qualityControl.
class CFakeUpstreamPin final : public CQualityRecorder, public IPin {
public:
    explicit CFakeUpstreamPin(bool qualityControl) : m_qualityControl(qualityControl) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPin))
            *ppv = static_cast<IPin*>(this);
        else if (m_qualityControl && IsEqualIID(riid, IID_IQualityControl))
            *ppv = static_cast<IQualityControl*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return CQualityRecorder::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CQualityRecorder::Release(); }

    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect() override { return S_OK; }
    STDMETHODIMP ConnectedTo(IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* pDir) override {
        *pDir = PINDIR_OUTPUT;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

private:
    const bool m_qualityControl;
};

ComPtr<IQualityControl> RequireQc(IPin* pPin) {
    ComPtr<IQualityControl> pQc;
    REQUIRE_HR(S_OK, pPin->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&pQc)));
    return pQc;
}

bool SameMessage(const Quality& a, const Quality& b) {
    return a.Type == b.Type && a.Proportion == b.Proportion && a.Late == b.Late &&
           a.TimeStamp == b.TimeStamp;
}

const Quality kLate{Famine, 750, 420000, 12345678};

} // namespace

VMX_TEST(quality, notify_routes_to_input_sink_else_upstream) {
    WithModule([](const CModule& module) {
        ComPtr<IBaseFilter> pFilter = RequireFilter(module);
        ComPtr<IPin> pIn = FindPinById(pFilter.Get(), L"In");
        ComPtr<IPin> pOut = FindPinById(pFilter.Get(), L"Out");
        REQUIRE(pIn && pOut, "FindPin finds \"In\" and \"Out\"");
        ComPtr<IQualityControl> pInQc = RequireQc(pIn.Get());
        ComPtr<IQualityControl> pOutQc = RequireQc(pOut.Get());
        CQualityRecorder sink;
        CFakeUpstreamPin upstream(true), plain(false);

        // Nowhere to go: input unconnected, even with a sink on the output pin itself.
        CHECK_HR(S_OK, pOutQc->SetSink(&sink));
        CHECK_HR(VFW_E_NOT_FOUND, pOutQc->Notify(pFilter.Get(), kLate));
        CHECK(sink.notifies == 0, "the output pin's own sink is not used by its Notify");
        CHECK_HR(S_OK, pOutQc->SetSink(nullptr));

        // The input pin accepts a message and sends it nowhere.
        CHECK_HR(S_OK, pInQc->Notify(pFilter.Get(), kLate));

        const CMediaType mt = AudioType(WaveFormat(2, 44100, 16));
        REQUIRE_HR(S_OK, pIn->ReceiveConnection(&plain, &mt));
        CHECK_HR(VFW_E_NOT_FOUND, pOutQc->Notify(pFilter.Get(), kLate));
        CHECK_HR(S_OK, pIn->Disconnect());

        REQUIRE_HR(S_OK, pIn->ReceiveConnection(&upstream, &mt));
        upstream.hrNotify = S_FALSE;
        CHECK_HR(S_FALSE, pOutQc->Notify(nullptr, kLate));
        CHECK(upstream.notifies == 1 && upstream.sender == pFilter.Get() &&
                  SameMessage(upstream.last, kLate),
              "the upstream pin got the message once from the filter (%d calls)",
              upstream.notifies);

        // A sink on the input pin takes the upstream pin's place and gives the answer.
        sink.hrNotify = E_ABORT;
        CHECK_HR(S_OK, pInQc->SetSink(&sink));
        CHECK_HR(E_ABORT, pOutQc->Notify(nullptr, kLate));
        CHECK(sink.notifies == 1 && sink.sender == pFilter.Get() && SameMessage(sink.last, kLate),
              "the input pin's sink got the message once from the filter (%d calls)",
              sink.notifies);
        CHECK(upstream.notifies == 1, "the upstream pin was passed over for the input's sink");
        CHECK_HR(S_OK, pInQc->Notify(pFilter.Get(), kLate));
        CHECK(sink.notifies == 1 && upstream.notifies == 1,
              "the input pin's Notify reaches neither sink nor upstream");
        CHECK_HR(S_OK, pInQc->SetSink(nullptr));
        CHECK_HR(S_OK, pIn->Disconnect());

        pInQc.Reset();
        pOutQc.Reset();
        pIn.Reset();
        pOut.Reset();
        ReleaseLast(pFilter, "the pins gave back the filter's references");
        CHECK(sink.refs == 1 && upstream.refs == 1 && plain.refs == 1,
              "no reference to the fakes is left (%ld, %ld, %ld)", sink.refs.load(),
              upstream.refs.load(), plain.refs.load());
    });
}
