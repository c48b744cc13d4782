#include "FrameworkTest.h"

#include "Platform.h"

#include <gmock/gmock.h>

#include <atomic>

namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgPointee;
using ::testing::StrictMock;

// A pin that only knows its peer; owned by the test, so Release never deletes it.
class TestPin : public IPin {
public:
    virtual ~TestPin() = default;
    IPin* m_pPeer = nullptr;
    std::atomic<long> m_cRef{1};

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPin)) {
            *ppv = static_cast<IPin*>(this);
            AddRef();
            return S_OK;
        }
        return QueryOther(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_cRef); }
    virtual HRESULT QueryOther(REFIID, void**) { return E_NOINTERFACE; }

    STDMETHODIMP ConnectedTo(IPin** pPin) override {
        *pPin = m_pPeer;
        if (!m_pPeer)
            return VFW_E_NOT_CONNECTED;
        m_pPeer->AddRef();
        return S_OK;
    }
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect() override { return E_NOTIMPL; }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryDirection(PIN_DIRECTION*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_NOTIMPL; }
    STDMETHODIMP BeginFlush() override { return E_NOTIMPL; }
    STDMETHODIMP EndFlush() override { return E_NOTIMPL; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return E_NOTIMPL; }
};

// An upstream output pin with IMediaSeeking.
class SeekingPin : public TestPin, public IMediaSeeking {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return TestPin::QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return TestPin::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return TestPin::Release(); }
    HRESULT QueryOther(REFIID riid, void** ppv) override {
        if (!IsEqualIID(riid, IID_IMediaSeeking))
            return E_NOINTERFACE;
        *ppv = static_cast<IMediaSeeking*>(this);
        AddRef();
        return S_OK;
    }
    MOCK_METHOD(HRESULT, GetCapabilities, (DWORD*), (override));
    MOCK_METHOD(HRESULT, CheckCapabilities, (DWORD*), (override));
    MOCK_METHOD(HRESULT, IsFormatSupported, (const GUID*), (override));
    MOCK_METHOD(HRESULT, QueryPreferredFormat, (GUID*), (override));
    MOCK_METHOD(HRESULT, GetTimeFormat, (GUID*), (override));
    MOCK_METHOD(HRESULT, IsUsingTimeFormat, (const GUID*), (override));
    MOCK_METHOD(HRESULT, SetTimeFormat, (const GUID*), (override));
    MOCK_METHOD(HRESULT, GetDuration, (LONGLONG*), (override));
    MOCK_METHOD(HRESULT, GetStopPosition, (LONGLONG*), (override));
    MOCK_METHOD(HRESULT, GetCurrentPosition, (LONGLONG*), (override));
    MOCK_METHOD(HRESULT, ConvertTimeFormat, (LONGLONG*, const GUID*, LONGLONG, const GUID*),
                (override));
    MOCK_METHOD(HRESULT, SetPositions, (LONGLONG*, DWORD, LONGLONG*, DWORD), (override));
    MOCK_METHOD(HRESULT, GetPositions, (LONGLONG*, LONGLONG*), (override));
    MOCK_METHOD(HRESULT, GetAvailable, (LONGLONG*, LONGLONG*), (override));
    MOCK_METHOD(HRESULT, SetRate, (double), (override));
    MOCK_METHOD(HRESULT, GetRate, (double*), (override));
    MOCK_METHOD(HRESULT, GetPreroll, (LONGLONG*), (override));
};

// An upstream pin with both IMediaSeeking and IMediaPosition.
class PositionPin : public SeekingPin, public IMediaPosition {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return TestPin::QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return TestPin::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return TestPin::Release(); }
    HRESULT QueryOther(REFIID riid, void** ppv) override {
        if (!IsEqualIID(riid, IID_IMediaPosition))
            return SeekingPin::QueryOther(riid, ppv);
        *ppv = static_cast<IMediaPosition*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return E_NOTIMPL;
    }
    MOCK_METHOD(HRESULT, get_Duration, (REFTIME*), (override));
    MOCK_METHOD(HRESULT, put_CurrentPosition, (REFTIME), (override));
    MOCK_METHOD(HRESULT, get_CurrentPosition, (REFTIME*), (override));
    MOCK_METHOD(HRESULT, get_StopTime, (REFTIME*), (override));
    MOCK_METHOD(HRESULT, put_StopTime, (REFTIME), (override));
    MOCK_METHOD(HRESULT, get_PrerollTime, (REFTIME*), (override));
    MOCK_METHOD(HRESULT, put_PrerollTime, (REFTIME), (override));
    MOCK_METHOD(HRESULT, put_Rate, (double), (override));
    MOCK_METHOD(HRESULT, get_Rate, (double*), (override));
    MOCK_METHOD(HRESULT, CanSeekForward, (LONG*), (override));
    MOCK_METHOD(HRESULT, CanSeekBackward, (LONG*), (override));
};

// A hand-made success code no real call returns, to see results pass unchanged.
constexpr HRESULT kOdd = 0x00047777;

class PassThruTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        ASSERT_HR(S_OK, CreatePosPassThru(&m_outer, FALSE, &m_input, &m_outer.m_pInner));
        ASSERT_HR(S_OK,
                  m_outer.QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&m_pSeeking)));
        ASSERT_HR(S_OK, m_outer.QueryInterface(IID_IMediaPosition,
                                               reinterpret_cast<void**>(&m_pPosition)));
    }
    void TearDown() override {
        m_pSeeking.Reset();
        m_pPosition.Reset();
        m_outer.ReleaseInner();
        EXPECT_EQ(m_outer.m_cRef.load(), 1);
        EXPECT_EQ(m_input.m_cRef.load(), 1);
        FrameworkTest::TearDown();
    }

    CTestOuter m_outer{IID_IMediaSeeking, IID_IMediaPosition}; // as an output pin would be
    TestPin m_input; // the filter's input pin the object forwards for
    ComPtr<IMediaSeeking> m_pSeeking;
    ComPtr<IMediaPosition> m_pPosition;
};

TEST_F(PassThruTest, CreationAndAggregation) {
    IUnknown* pInner = nullptr;
    EXPECT_HR(E_POINTER, CreatePosPassThru(&m_outer, FALSE, &m_input, nullptr));
    EXPECT_HR(E_POINTER, CreatePosPassThru(&m_outer, FALSE, nullptr, &pInner));
    EXPECT_EQ(pInner, nullptr);

    // The faces answer through the owner: identity, references and queries are its.
    const long cOuter = m_outer.m_cRef.load();
    ComPtr<IUnknown> pIdentity;
    ASSERT_HR(S_OK, m_pSeeking->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity)));
    EXPECT_EQ(pIdentity.Get(), static_cast<IUnknown*>(&m_outer));
    EXPECT_EQ(m_outer.m_cRef.load(), cOuter + 1);
    pIdentity.Reset();
    ComPtr<ISeekingPassThru> pInit;
    EXPECT_HR(E_NOINTERFACE,
              m_pSeeking->QueryInterface(IID_ISeekingPassThru, reinterpret_cast<void**>(&pInit)))
        << "the owner decides what it hands out";
    ASSERT_HR(S_OK, m_outer.m_pInner->QueryInterface(IID_ISeekingPassThru,
                                                     reinterpret_cast<void**>(&pInit)));
    EXPECT_HR(E_POINTER, pInit->Init(FALSE, nullptr));
    ComPtr<IPin> pPin;
    EXPECT_HR(E_NOINTERFACE,
              m_outer.m_pInner->QueryInterface(IID_IPin, reinterpret_cast<void**>(&pPin)));
    EXPECT_FALSE(pPin);

    // IDispatch is not offered.
    UINT cInfo = 5;
    EXPECT_HR(E_NOTIMPL, m_pPosition->GetTypeInfoCount(&cInfo));
    EXPECT_EQ(cInfo, 0u);
}

TEST_F(PassThruTest, WithoutAConnectionOrUpstreamSeekingItSaysWhy) {
    LONGLONG v = 0;
    double rate = 0;
    GUID format{};
    DWORD caps = 0;
    REFTIME seconds = 0;
    LONG yes = 0;
    TestPin plainUpstream;
    for (HRESULT expected : {VFW_E_NOT_CONNECTED, E_NOTIMPL}) {
        SCOPED_TRACE(Hex(expected));
        m_input.m_pPeer = expected == E_NOTIMPL ? &plainUpstream : nullptr;
        EXPECT_HR(expected, m_pSeeking->GetCapabilities(&caps));
        EXPECT_HR(expected, m_pSeeking->GetTimeFormat(&format));
        EXPECT_HR(expected, m_pSeeking->GetDuration(&v));
        EXPECT_HR(expected, m_pSeeking->GetCurrentPosition(&v));
        EXPECT_HR(expected,
                  m_pSeeking->SetPositions(&v, AM_SEEKING_AbsolutePositioning, nullptr, 0));
        EXPECT_HR(expected, m_pSeeking->GetPositions(&v, &v));
        EXPECT_HR(expected, m_pSeeking->SetRate(2.0));
        EXPECT_HR(expected, m_pSeeking->GetRate(&rate));
        EXPECT_HR(expected, m_pPosition->get_Duration(&seconds));
        EXPECT_HR(expected, m_pPosition->put_CurrentPosition(1.0));
        EXPECT_HR(expected, m_pPosition->CanSeekForward(&yes));
        // Out-pointers are checked before anything else.
        EXPECT_HR(E_POINTER, m_pSeeking->GetDuration(nullptr));
        EXPECT_HR(E_POINTER, m_pSeeking->GetRate(nullptr));
        EXPECT_HR(E_POINTER, m_pPosition->get_Duration(nullptr));
    }
    EXPECT_EQ(plainUpstream.m_cRef.load(), 1) << "the upstream pin's references are balanced";
    m_input.m_pPeer = nullptr;
}

TEST_F(PassThruTest, SeekingCallsReachTheUpstreamUnchanged) {
    StrictMock<SeekingPin> upstream;
    m_input.m_pPeer = &upstream;

    DWORD caps = 0;
    EXPECT_CALL(upstream, GetCapabilities(&caps))
        .WillOnce(DoAll(SetArgPointee<0>(0x2F), Return(kOdd)));
    EXPECT_HR(kOdd, m_pSeeking->GetCapabilities(&caps));
    EXPECT_EQ(caps, 0x2Fu);
    EXPECT_CALL(upstream, IsFormatSupported(&TIME_FORMAT_SAMPLE)).WillOnce(Return(S_FALSE));
    EXPECT_HR(S_FALSE, m_pSeeking->IsFormatSupported(&TIME_FORMAT_SAMPLE));
    EXPECT_CALL(upstream, SetTimeFormat(&TIME_FORMAT_BYTE)).WillOnce(Return(E_INVALIDARG));
    EXPECT_HR(E_INVALIDARG, m_pSeeking->SetTimeFormat(&TIME_FORMAT_BYTE));

    LONGLONG a = 0, b = 0;
    EXPECT_CALL(upstream, GetDuration(&a))
        .WillOnce(DoAll(SetArgPointee<0>(123456789), Return(S_OK)));
    EXPECT_HR(S_OK, m_pSeeking->GetDuration(&a));
    EXPECT_EQ(a, 123456789);
    EXPECT_CALL(upstream, ConvertTimeFormat(&a, &TIME_FORMAT_SAMPLE, 777, nullptr))
        .WillOnce(Return(E_NOTIMPL));
    EXPECT_HR(E_NOTIMPL, m_pSeeking->ConvertTimeFormat(&a, &TIME_FORMAT_SAMPLE, 777, nullptr));
    const DWORD flags = AM_SEEKING_AbsolutePositioning | AM_SEEKING_ReturnTime;
    EXPECT_CALL(upstream, SetPositions(&a, flags, &b, DWORD(AM_SEEKING_NoPositioning)))
        .WillOnce(Return(kOdd));
    EXPECT_HR(kOdd, m_pSeeking->SetPositions(&a, flags, &b, AM_SEEKING_NoPositioning));
    EXPECT_CALL(upstream, GetPositions(&a, nullptr)).WillOnce(Return(S_OK));
    EXPECT_HR(S_OK, m_pSeeking->GetPositions(&a, nullptr));

    // Rates are the upstream's: nothing is scaled.
    double rate = 0;
    EXPECT_CALL(upstream, SetRate(2.0)).WillOnce(Return(S_OK));
    EXPECT_HR(S_OK, m_pSeeking->SetRate(2.0));
    EXPECT_CALL(upstream, GetRate(&rate)).WillOnce(DoAll(SetArgPointee<0>(0.5), Return(S_OK)));
    EXPECT_HR(S_OK, m_pSeeking->GetRate(&rate));
    EXPECT_EQ(rate, 0.5);

    EXPECT_EQ(upstream.m_cRef.load(), 1);
    m_input.m_pPeer = nullptr;
}

TEST_F(PassThruTest, PositionCallsBecomeSeekingCallsInSeconds) {
    StrictMock<SeekingPin> upstream;
    m_input.m_pPeer = &upstream;
    REFTIME seconds = 0;

    EXPECT_CALL(upstream, GetDuration(_)).WillOnce(DoAll(SetArgPointee<0>(12345678), Return(S_OK)));
    EXPECT_HR(S_OK, m_pPosition->get_Duration(&seconds));
    EXPECT_DOUBLE_EQ(seconds, 1.2345678);
    EXPECT_CALL(upstream, GetCurrentPosition(_))
        .WillOnce(DoAll(SetArgPointee<0>(-5000000), Return(S_OK)));
    EXPECT_HR(S_OK, m_pPosition->get_CurrentPosition(&seconds));
    EXPECT_DOUBLE_EQ(seconds, -0.5);
    EXPECT_CALL(upstream, GetStopPosition(_)).WillOnce(Return(kOdd));
    EXPECT_HR(kOdd, m_pPosition->get_StopTime(&seconds));

    LONGLONG seen = 0;
    EXPECT_CALL(upstream,
                SetPositions(_, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning))
        .WillOnce(
            DoAll([&seen](LONGLONG* p, DWORD, LONGLONG*, DWORD) { seen = *p; }, Return(S_OK)));
    EXPECT_HR(S_OK, m_pPosition->put_CurrentPosition(1.5));
    EXPECT_EQ(seen, 15000000);
    EXPECT_CALL(upstream,
                SetPositions(nullptr, AM_SEEKING_NoPositioning, _, AM_SEEKING_AbsolutePositioning))
        .WillOnce(
            DoAll([&seen](LONGLONG*, DWORD, LONGLONG* p, DWORD) { seen = *p; }, Return(kOdd)));
    EXPECT_HR(kOdd, m_pPosition->put_StopTime(2.00000004));
    EXPECT_EQ(seen, 20000000);
    EXPECT_HR(E_INVALIDARG, m_pPosition->put_CurrentPosition(1e300));
    EXPECT_HR(E_NOTIMPL, m_pPosition->put_PrerollTime(1.0));

    double rate = 0;
    EXPECT_CALL(upstream, SetRate(1.25)).WillOnce(Return(S_OK));
    EXPECT_HR(S_OK, m_pPosition->put_Rate(1.25));
    EXPECT_CALL(upstream, GetRate(_)).WillOnce(DoAll(SetArgPointee<0>(1.25), Return(S_OK)));
    EXPECT_HR(S_OK, m_pPosition->get_Rate(&rate));
    EXPECT_EQ(rate, 1.25);

    LONG forward = 7, backward = 7;
    EXPECT_CALL(upstream, GetCapabilities(_))
        .Times(2)
        .WillRepeatedly(DoAll(SetArgPointee<0>(DWORD(AM_SEEKING_CanSeekForwards)), Return(S_OK)));
    EXPECT_HR(S_OK, m_pPosition->CanSeekForward(&forward));
    EXPECT_HR(S_OK, m_pPosition->CanSeekBackward(&backward));
    EXPECT_EQ(forward, -1);
    EXPECT_EQ(backward, 0);

    EXPECT_EQ(upstream.m_cRef.load(), 1);
    m_input.m_pPeer = nullptr;
}

TEST_F(PassThruTest, PositionCallsPreferTheUpstreamsOwnPosition) {
    StrictMock<PositionPin> upstream; // any IMediaSeeking call would fail the test
    m_input.m_pPeer = &upstream;
    REFTIME seconds = 0;
    EXPECT_CALL(upstream, get_Duration(_)).WillOnce(DoAll(SetArgPointee<0>(3.25), Return(kOdd)));
    EXPECT_HR(kOdd, m_pPosition->get_Duration(&seconds));
    EXPECT_EQ(seconds, 3.25);
    EXPECT_CALL(upstream, put_CurrentPosition(0.75)).WillOnce(Return(S_OK));
    EXPECT_HR(S_OK, m_pPosition->put_CurrentPosition(0.75));
    EXPECT_CALL(upstream, put_PrerollTime(0.5)).WillOnce(Return(S_OK));
    EXPECT_HR(S_OK, m_pPosition->put_PrerollTime(0.5));
    LONG can = 0;
    EXPECT_CALL(upstream, CanSeekBackward(&can)).WillOnce(Return(E_FAIL));
    EXPECT_HR(E_FAIL, m_pPosition->CanSeekBackward(&can));
    EXPECT_EQ(upstream.m_cRef.load(), 1);
    m_input.m_pPeer = nullptr;
}

} // namespace
