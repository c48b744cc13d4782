// Quality messages through a transform filter, as the platform's base pins route them: the
// filter's AlterQuality first, then the sink set on the input pin, then the upstream pin.
#include "FrameworkTest.h"

#include "Transform.h"
#include "common/QualityFakes.h"

#include <new>

namespace {

using quality_fakes::CFakeUpstreamPin;
using quality_fakes::CQualityRecorder;

// A transform whose AlterQuality counts its calls and answers m_hrAlter (S_FALSE: not handled).
class CQualityTransform final : public CTransformFilter {
public:
    static HRESULT Create(CQualityTransform** ppFilter) { return CreateTestFilter(ppFilter); }
    HRESULT CheckInputType(const CMediaType*) override { return S_OK; }
    HRESULT CheckTransform(const CMediaType*, const CMediaType*) override { return S_OK; }
    HRESULT DecideBufferSize(IMemAllocator*, ALLOCATOR_PROPERTIES*) override { return E_FAIL; }
    HRESULT GetMediaType(int, CMediaType*) override { return VFW_S_NO_MORE_ITEMS; }
    HRESULT Transform(IMediaSample*, IMediaSample*) override { return E_UNEXPECTED; }
    HRESULT AlterQuality(Quality) override {
        ++m_cAlter;
        return m_hrAlter;
    }

    IPin* Input() const noexcept { return m_pInput.get(); }
    IPin* Output() const noexcept { return m_pOutput.get(); }
    IQualityControl* InputQc() const noexcept { return m_pInput.get(); }
    IQualityControl* OutputQc() const noexcept { return m_pOutput.get(); }

    HRESULT m_hrAlter = S_FALSE;
    int m_cAlter = 0;

private:
    friend HRESULT ::CreateTestFilter<CQualityTransform>(CQualityTransform** ppFilter);
    explicit CQualityTransform(HRESULT* phr) noexcept
        : CTransformFilter("CQualityTransform", nullptr, GUID_NULL) {
        m_pInput.reset(new (std::nothrow) CTransformInputPin("quality input", this, phr, L"In"));
        m_pOutput.reset(new (std::nothrow)
                            CTransformOutputPin("quality output", this, phr, L"Out"));
        if (!m_pInput || !m_pOutput)
            *phr = E_OUTOFMEMORY;
    }
};

constexpr Quality kLate{Famine, 750, 420000, 12345678};

void ExpectMessage(const CQualityRecorder& r, IBaseFilter* pSender) {
    EXPECT_EQ(r.m_pSender, pSender);
    EXPECT_EQ(r.m_Last.Type, kLate.Type);
    EXPECT_EQ(r.m_Last.Proportion, kLate.Proportion);
    EXPECT_EQ(r.m_Last.Late, kLate.Late);
    EXPECT_EQ(r.m_Last.TimeStamp, kLate.TimeStamp);
}

class QualityTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        ASSERT_HR(S_OK, CQualityTransform::Create(&m_pFilter));
    }
    void TearDown() override {
        if (m_pFilter) {
            m_pFilter->Input()->Disconnect();
            m_pFilter.Reset();
        }
        EXPECT_EQ(m_Upstream.m_cRef.load(), 1) << "the upstream pin's references came back";
        EXPECT_EQ(m_Plain.m_cRef.load(), 1) << "the upstream pin's references came back";
        EXPECT_EQ(m_Sink.m_cRef.load(), 1) << "a quality sink is held without a reference";
        FrameworkTest::TearDown();
    }
    void ConnectUpstream() {
        const CMediaType mt = PcmType(2, 8000, 16);
        ASSERT_HR(S_OK, m_pFilter->Input()->ReceiveConnection(&m_Upstream, &mt));
    }
    IBaseFilter* Self() const { return static_cast<IBaseFilter*>(m_pFilter.Get()); }

    ComPtr<CQualityTransform> m_pFilter;
    CFakeUpstreamPin m_Upstream{true};
    CFakeUpstreamPin m_Plain{false};
    CQualityRecorder m_Sink;
};

} // namespace

TEST_F(QualityTest, UnhandledMessagesGoToTheInputSinkElseUpstream) {
    ConnectUpstream();
    m_Upstream.m_hrNotify = S_FALSE;
    EXPECT_HR(S_FALSE, m_pFilter->OutputQc()->Notify(nullptr, kLate));
    EXPECT_EQ(m_pFilter->m_cAlter, 1);
    ASSERT_EQ(m_Upstream.m_cNotify, 1);
    ExpectMessage(m_Upstream, Self());

    // A sink on the input pin takes the place of the upstream pin, and hands back its answer.
    m_Sink.m_hrNotify = E_ABORT;
    ASSERT_HR(S_OK, m_pFilter->InputQc()->SetSink(&m_Sink));
    EXPECT_HR(E_ABORT, m_pFilter->OutputQc()->Notify(nullptr, kLate));
    EXPECT_EQ(m_pFilter->m_cAlter, 2);
    ASSERT_EQ(m_Sink.m_cNotify, 1);
    ExpectMessage(m_Sink, Self());
    EXPECT_EQ(m_Upstream.m_cNotify, 1);

    // Cleared, messages go upstream again.
    ASSERT_HR(S_OK, m_pFilter->InputQc()->SetSink(nullptr));
    EXPECT_HR(S_FALSE, m_pFilter->OutputQc()->Notify(nullptr, kLate));
    EXPECT_EQ(m_Upstream.m_cNotify, 2);
    EXPECT_EQ(m_Sink.m_cNotify, 1);
}

TEST_F(QualityTest, WithNowhereToGoAMessageIsNotFound) {
    // Input not connected, and a sink on the output pin, which its own Notify never uses.
    ASSERT_HR(S_OK, m_pFilter->OutputQc()->SetSink(&m_Sink));
    EXPECT_HR(VFW_E_NOT_FOUND, m_pFilter->OutputQc()->Notify(nullptr, kLate));
    EXPECT_EQ(m_pFilter->m_cAlter, 1);
    EXPECT_EQ(m_Sink.m_cNotify, 0);

    // An upstream pin without IQualityControl.
    const CMediaType mt = PcmType(2, 8000, 16);
    ASSERT_HR(S_OK, m_pFilter->Input()->ReceiveConnection(&m_Plain, &mt));
    EXPECT_HR(VFW_E_NOT_FOUND, m_pFilter->OutputQc()->Notify(nullptr, kLate));
    EXPECT_EQ(m_Plain.m_cNotify, 0);
    EXPECT_EQ(m_Sink.m_cNotify, 0);
}

TEST_F(QualityTest, TheFilterHandlesFirstAndTheInputPinDropsMessages) {
    ConnectUpstream();
    ASSERT_HR(S_OK, m_pFilter->InputQc()->SetSink(&m_Sink));
    m_pFilter->m_hrAlter = S_OK;
    EXPECT_HR(S_OK, m_pFilter->OutputQc()->Notify(nullptr, kLate));
    m_pFilter->m_hrAlter = E_FAIL;
    EXPECT_HR(E_FAIL, m_pFilter->OutputQc()->Notify(nullptr, kLate));
    EXPECT_EQ(m_pFilter->m_cAlter, 2);

    // The input pin accepts a message and sends it nowhere, not even to its own sink.
    m_pFilter->m_hrAlter = S_FALSE;
    EXPECT_HR(S_OK, m_pFilter->InputQc()->Notify(Self(), kLate));
    EXPECT_EQ(m_pFilter->m_cAlter, 2);
    EXPECT_EQ(m_Sink.m_cNotify, 0);
    EXPECT_EQ(m_Upstream.m_cNotify, 0);
}
