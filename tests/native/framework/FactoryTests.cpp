#include "FrameworkTest.h"

#include "ClassFactory.h"

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

// {6A1E8C3B-0D51-4F7E-9C1B-2B7E5A3C9D01} and following: test classes only.
DEFINE_GUID(CLSID_TestWidget, 0x6A1E8C3B, 0x0D51, 0x4F7E, 0x9C, 0x1B, 0x2B, 0x7E, 0x5A, 0x3C, 0x9D,
            0x01);
DEFINE_GUID(CLSID_TestFailing, 0x6A1E8C3B, 0x0D51, 0x4F7E, 0x9C, 0x1B, 0x2B, 0x7E, 0x5A, 0x3C, 0x9D,
            0x02);
DEFINE_GUID(CLSID_TestNothing, 0x6A1E8C3B, 0x0D51, 0x4F7E, 0x9C, 0x1B, 0x2B, 0x7E, 0x5A, 0x3C, 0x9D,
            0x03);
DEFINE_GUID(CLSID_TestThrowing, 0x6A1E8C3B, 0x0D51, 0x4F7E, 0x9C, 0x1B, 0x2B, 0x7E, 0x5A, 0x3C,
            0x9D, 0x04);
DEFINE_GUID(CLSID_TestMissing, 0x6A1E8C3B, 0x0D51, 0x4F7E, 0x9C, 0x1B, 0x2B, 0x7E, 0x5A, 0x3C, 0x9D,
            0x05);

std::atomic<int> g_cWidgetsDestroyed{0};

// The simplest aggregatable object: IUnknown and IPersist.
class CWidget final : public CUnknown, public IPersist {
public:
    explicit CWidget(IUnknown* pOuter) noexcept : CUnknown("CWidget", pOuter) {}
    ~CWidget() override { ++g_cWidgetsDestroyed; }
    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IPersist))
            return GetInterface(static_cast<IPersist*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP GetClassID(CLSID* pClsID) override {
        *pClsID = CLSID_TestWidget;
        return S_OK;
    }
};

CUnknown* NewWidget(IUnknown* pOuter, HRESULT*) {
    return new (std::nothrow) CWidget(pOuter);
}
CUnknown* NewFailing(IUnknown* pOuter, HRESULT* phr) {
    *phr = VFW_E_RUNTIME_ERROR;
    return new (std::nothrow) CWidget(pOuter);
}
CUnknown* NewNothing(IUnknown*, HRESULT*) {
    return nullptr;
}
CUnknown* NewThrowing(IUnknown*, HRESULT*) {
    throw std::runtime_error("create failed");
}

} // namespace

// The module's template table, as a module would define it.
const CFactoryTemplate g_Templates[] = {
    {L"Widget", &CLSID_TestWidget, NewWidget, nullptr, nullptr},
    {L"Failing", &CLSID_TestFailing, NewFailing, nullptr, nullptr},
    {L"Nothing", &CLSID_TestNothing, NewNothing, nullptr, nullptr},
    {L"Throwing", &CLSID_TestThrowing, NewThrowing, nullptr, nullptr},
};
const int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);

namespace {

class FactoryTest : public FrameworkTest {
protected:
    static ComPtr<IClassFactory> Factory(REFCLSID clsid) {
        ComPtr<IClassFactory> p;
        EXPECT_HR(S_OK,
                  FrameworkGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&p)));
        return p;
    }
};

TEST_F(FactoryTest, GetClassObjectAnswersTheTableOnly) {
    void* pv = reinterpret_cast<void*>(0x1);
    EXPECT_HR(E_POINTER, FrameworkGetClassObject(CLSID_TestWidget, IID_IClassFactory, nullptr));
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE,
              FrameworkGetClassObject(CLSID_TestMissing, IID_IClassFactory, &pv));
    EXPECT_EQ(pv, nullptr);
    pv = reinterpret_cast<void*>(0x1);
    EXPECT_HR(E_NOINTERFACE, FrameworkGetClassObject(CLSID_TestWidget, IID_IPersist, &pv));
    EXPECT_EQ(pv, nullptr);
    ComPtr<IUnknown> pUnk;
    EXPECT_HR(S_OK, FrameworkGetClassObject(CLSID_TestWidget, IID_IUnknown,
                                            reinterpret_cast<void**>(&pUnk)));
    ComPtr<IClassFactory> pFactory;
    EXPECT_HR(S_OK, pUnk->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&pFactory)));
}

TEST_F(FactoryTest, CreateInstanceResultsAndAggregationRule) {
    ComPtr<IClassFactory> pFactory = Factory(CLSID_TestWidget);
    ASSERT_TRUE(pFactory);
    EXPECT_HR(E_POINTER, pFactory->CreateInstance(nullptr, IID_IPersist, nullptr));

    ComPtr<IPersist> pPersist;
    ASSERT_HR(S_OK,
              pFactory->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&pPersist)));
    CLSID clsid{};
    pPersist->GetClassID(&clsid);
    EXPECT_TRUE(clsid == CLSID_TestWidget);
    const int cDestroyed = g_cWidgetsDestroyed.load();
    pPersist.Reset();
    EXPECT_EQ(g_cWidgetsDestroyed.load(), cDestroyed + 1) << "the factory kept no reference";

    // Aggregated: only the inner IUnknown may be asked for.
    CTestOuter outer;
    void* pv = reinterpret_cast<void*>(0x1);
    EXPECT_HR(E_NOINTERFACE, pFactory->CreateInstance(&outer, IID_IPersist, &pv));
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(g_cWidgetsDestroyed.load(), cDestroyed + 1) << "nothing was made";
    ASSERT_HR(S_OK, pFactory->CreateInstance(&outer, IID_IUnknown,
                                             reinterpret_cast<void**>(&outer.m_pInner)));
    ComPtr<IPersist> pFace;
    ASSERT_HR(S_OK, outer.QueryInterface(IID_IPersist, reinterpret_cast<void**>(&pFace)));
    EXPECT_EQ(outer.m_cRef.load(), 2) << "the face counts on the outer object";
    ComPtr<IUnknown> pIdentity;
    pFace->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity));
    EXPECT_EQ(pIdentity.Get(), static_cast<IUnknown*>(&outer));
    pIdentity.Reset();
    pFace.Reset();
    outer.ReleaseInner();
    EXPECT_EQ(g_cWidgetsDestroyed.load(), cDestroyed + 2);
    EXPECT_EQ(outer.m_cRef.load(), 1);
}

TEST_F(FactoryTest, FailedCreationsLeaveNoObject) {
    struct Case {
        const CLSID* clsid;
        HRESULT expected;
        int cDestroyed;
    } const cases[] = {{&CLSID_TestFailing, VFW_E_RUNTIME_ERROR, 1},
                       {&CLSID_TestNothing, E_OUTOFMEMORY, 0},
                       {&CLSID_TestThrowing, E_OUTOFMEMORY, 0}};
    for (const Case& c : cases) {
        ComPtr<IClassFactory> pFactory = Factory(*c.clsid);
        ASSERT_TRUE(pFactory);
        const int cBefore = g_cWidgetsDestroyed.load();
        void* pv = reinterpret_cast<void*>(0x1);
        EXPECT_HR(c.expected, pFactory->CreateInstance(nullptr, IID_IUnknown, &pv));
        EXPECT_EQ(pv, nullptr);
        EXPECT_EQ(g_cWidgetsDestroyed.load(), cBefore + c.cDestroyed);
    }
}

TEST_F(FactoryTest, CanUnloadOnlyWithoutObjectsOrLocks) {
    ASSERT_EQ(CBaseObject::ObjectsActive(), 0) << "an earlier test leaked";
    EXPECT_HR(S_OK, FrameworkCanUnloadNow());
    ComPtr<IClassFactory> pFactory = Factory(CLSID_TestWidget);
    EXPECT_HR(S_FALSE, FrameworkCanUnloadNow()) << "the factory itself is an object";
    ComPtr<IUnknown> pObj;
    pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&pObj));
    EXPECT_HR(S_OK, pFactory->LockServer(TRUE));
    pFactory.Reset();
    EXPECT_HR(S_FALSE, FrameworkCanUnloadNow());
    pObj.Reset();
    EXPECT_HR(S_FALSE, FrameworkCanUnloadNow()) << "locked";
    pFactory = Factory(CLSID_TestWidget);
    EXPECT_HR(S_OK, pFactory->LockServer(FALSE));
    pFactory.Reset();
    EXPECT_HR(S_OK, FrameworkCanUnloadNow());
}

// ---- CMediaType ----------------------------------------------------------------------------

class CountedUnknown final : public IUnknown {
public:
    std::atomic<long> m_cRef{1};
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_cRef); }
};

TEST(MediaTypeTest, EqualityIsTheThreeGuidsAndTheFormatBlock) {
    const CMediaType a = PcmType(2, 44100, 16);
    CMediaType b = PcmType(2, 44100, 16);
    EXPECT_TRUE(a == b);
    b.SetSampleSize(1234);
    b.SetTemporalCompression(TRUE);
    EXPECT_TRUE(a == b) << "sample size and compression do not count";
    EXPECT_FALSE(a == PcmType(2, 48000, 16));
    EXPECT_FALSE(a == PcmType(1, 44100, 16));

    CMediaType c = a;
    c.SetSubtype(&MEDIASUBTYPE_IEEE_FLOAT);
    EXPECT_TRUE(a != c);
    c = a;
    c.SetFormatType(&FORMAT_None);
    EXPECT_TRUE(a != c);
    c = a;
    c.SetType(&MEDIATYPE_Video);
    EXPECT_TRUE(a != c);
    c = a;
    const BYTE longer[20] = {};
    c.SetFormat(longer, sizeof(longer));
    EXPECT_TRUE(a != c);
    c.ResetFormatBuffer();
    EXPECT_TRUE(a != c);
    EXPECT_EQ(c.FormatLength(), 0u);

    CMediaType partial;
    partial.SetType(&MEDIATYPE_Audio);
    EXPECT_TRUE(a.MatchesPartial(&partial));
    partial.SetSubtype(&MEDIASUBTYPE_IEEE_FLOAT);
    EXPECT_FALSE(a.MatchesPartial(&partial));
}

TEST(MediaTypeTest, CopiesOwnTheirFormatAndHoldTheUnknown) {
    CountedUnknown unk;
    {
        CMediaType a = PcmType(2, 44100, 16);
        a.pUnk = &unk;
        unk.AddRef(); // the reference a owns
        CMediaType b(a);
        EXPECT_EQ(unk.m_cRef.load(), 3);
        EXPECT_NE(b.Format(), a.Format()) << "a deep copy";
        b.Format()[0] ^= 0xFF;
        EXPECT_TRUE(a != b);

        AM_MEDIA_TYPE* pTask = CreateMediaType(&a);
        ASSERT_NE(pTask, nullptr);
        EXPECT_TRUE(CMediaType(*pTask) == a);
        EXPECT_EQ(unk.m_cRef.load(), 4);
        DeleteMediaType(pTask);
        EXPECT_EQ(unk.m_cRef.load(), 3);

        b = a;
        EXPECT_TRUE(a == b);
        EXPECT_EQ(unk.m_cRef.load(), 3) << "the old pUnk of b was released";
        const CMediaType& self = b;
        b = self;
        EXPECT_TRUE(a == b);
        EXPECT_TRUE(b.IsValid());
    }
    EXPECT_EQ(unk.m_cRef.load(), 1);

    CMediaType empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(empty.Format(), nullptr);
    DeleteMediaType(nullptr);
}

TEST(TaskMemoryTest, ZeroBytesIsAValidBlockAndReallocFollowsCom) {
    void* p = CoTaskMemAlloc(0);
    ASSERT_NE(p, nullptr);
    void* q = CoTaskMemAlloc(0);
    EXPECT_NE(p, q);
    CoTaskMemFree(q);
    p = CoTaskMemRealloc(p, 64);
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xAB, 64);
    p = CoTaskMemRealloc(p, 128);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<BYTE*>(p)[63], 0xAB);
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr) << "realloc to zero frees";
    p = CoTaskMemRealloc(nullptr, 0);
    EXPECT_NE(p, nullptr);
    CoTaskMemFree(p);
    CoTaskMemFree(nullptr);
    EXPECT_HR(S_OK, CoInitialize(nullptr));
    CoUninitialize();
}

} // namespace
