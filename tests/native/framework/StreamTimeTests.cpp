// A filter's stream time: the graph clock's time less the start the graph gave Run, which a
// caller may give as anything; the difference saturates rather than wrapping.
#include "FrameworkTest.h"

#include "BaseFilter.h"

#include <limits>

namespace {

// A clock that stands at one time.
class CStoppedClock final : public IReferenceClock {
public:
    explicit CStoppedClock(REFERENCE_TIME t) : m_t(t) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IReferenceClock))
            return E_NOINTERFACE;
        *ppv = static_cast<IReferenceClock*>(this);
        AddRef();
        return S_OK;
    }
    // Lives on the test's stack.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTime(REFERENCE_TIME* pTime) override {
        if (!pTime)
            return E_POINTER;
        *pTime = m_t;
        return S_OK;
    }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Unadvise(DWORD) override { return E_NOTIMPL; }

private:
    REFERENCE_TIME m_t;
};

// A filter without pins: the base class's state and clock alone.
class CBareFilter final : public CBaseFilter {
public:
    CBareFilter() : CBaseFilter("bare", nullptr, &m_cs, GUID_NULL) {}
    DECLARE_IUNKNOWN
    int GetPinCount() override { return 0; }
    CBasePin* GetPin(int) override { return nullptr; }

private:
    CCritSec m_cs;
};

constexpr REFERENCE_TIME kMax = std::numeric_limits<REFERENCE_TIME>::max();
constexpr REFERENCE_TIME kMin = std::numeric_limits<REFERENCE_TIME>::min();

} // namespace

TEST(StreamTimeTest, ClockLessStartSaturatesAtTheEndsOfTheRange) {
    struct Case {
        REFERENCE_TIME clock, start, expected;
    };
    const Case cases[] = {
        {5000, 2000, 3000}, {kMax, -1, kMax}, // one past the end
        {kMin, 1, kMin},                      // one before the beginning
        {0, kMin, kMax},                      // 2^63
        {-1, kMin, kMax},                     // exactly the end
        {kMax, kMax, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.clock << " - " << c.start);
        CBareFilter filter;
        CStoppedClock clock(c.clock);
        REFERENCE_TIME t = 0;
        EXPECT_HR(VFW_E_NO_CLOCK, filter.StreamTime(t));
        ASSERT_HR(S_OK, filter.SetSyncSource(&clock));
        ASSERT_HR(S_OK, filter.Run(c.start));
        ASSERT_HR(S_OK, filter.StreamTime(t));
        EXPECT_EQ(t, c.expected);
        filter.Stop();
        filter.SetSyncSource(nullptr);
    }
}
