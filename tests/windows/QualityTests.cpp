// Quality messages at the module's pins, routed as the platform's transform pins route them: the
// output pin's Notify goes to the sink set on the input pin, else to the upstream output pin;
// the input pin accepts a message and sends it nowhere.
#include "Harness.h"
#include "Support.h"
#include "common/QualityFakes.h"

#include <atomic>

namespace {

using quality_fakes::CFakeUpstreamPin;
using quality_fakes::CQualityRecorder;

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
        CHECK(sink.m_cNotify == 0, "the output pin's own sink is not used by its Notify");
        CHECK_HR(S_OK, pOutQc->SetSink(nullptr));

        // The input pin accepts a message and sends it nowhere.
        CHECK_HR(S_OK, pInQc->Notify(pFilter.Get(), kLate));

        const CMediaType mt = AudioType(WaveFormat(2, 44100, 16));
        REQUIRE_HR(S_OK, pIn->ReceiveConnection(&plain, &mt));
        CHECK_HR(VFW_E_NOT_FOUND, pOutQc->Notify(pFilter.Get(), kLate));
        CHECK_HR(S_OK, pIn->Disconnect());

        REQUIRE_HR(S_OK, pIn->ReceiveConnection(&upstream, &mt));
        upstream.m_hrNotify = S_FALSE;
        CHECK_HR(S_FALSE, pOutQc->Notify(nullptr, kLate));
        CHECK(upstream.m_cNotify == 1 && upstream.m_pSender == pFilter.Get() &&
                  SameMessage(upstream.m_Last, kLate),
              "the upstream pin got the message once from the filter (%d calls)",
              upstream.m_cNotify);

        // A sink on the input pin takes the upstream pin's place and gives the answer.
        sink.m_hrNotify = E_ABORT;
        CHECK_HR(S_OK, pInQc->SetSink(&sink));
        CHECK_HR(E_ABORT, pOutQc->Notify(nullptr, kLate));
        CHECK(sink.m_cNotify == 1 && sink.m_pSender == pFilter.Get() &&
                  SameMessage(sink.m_Last, kLate),
              "the input pin's sink got the message once from the filter (%d calls)",
              sink.m_cNotify);
        CHECK(upstream.m_cNotify == 1, "the upstream pin was passed over for the input's sink");
        CHECK_HR(S_OK, pInQc->Notify(pFilter.Get(), kLate));
        CHECK(sink.m_cNotify == 1 && upstream.m_cNotify == 1,
              "the input pin's Notify reaches neither sink nor upstream");
        CHECK_HR(S_OK, pInQc->SetSink(nullptr));
        CHECK_HR(S_OK, pIn->Disconnect());

        pInQc.Reset();
        pOutQc.Reset();
        pIn.Reset();
        pOut.Reset();
        ReleaseLast(pFilter, "the pins gave back the filter's references");
        CHECK(sink.m_cRef == 1 && upstream.m_cRef == 1 && plain.m_cRef == 1,
              "no reference to the fakes is left (%ld, %ld, %ld)", sink.m_cRef.load(),
              upstream.m_cRef.load(), plain.m_cRef.load());
    });
}
