// Helpers shared by the framework tests.
#pragma once

#include "HresultAssertions.h"
#include "common/AudioTypes.h"

#include "ComPtr.h"
#include "MediaType.h"
#include "Unknown.h"
#include "media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>
#include <vector>

// Each test ends with every framework object it made released.
class FrameworkTest : public ::testing::Test {
protected:
    void SetUp() override { m_cObjectsAtStart = CBaseObject::ObjectsActive(); }
    void TearDown() override {
        EXPECT_EQ(CBaseObject::ObjectsActive(), m_cObjectsAtStart) << "framework objects leaked";
    }

private:
    long m_cObjectsAtStart = 0;
};

// An aggregating owner, as a filter or pin is to an object it aggregates: answers IUnknown
// itself and hands the inner object the requests for the interfaces it forwards (every other
// one when it names none). It owns the inner object's IUnknown and lets it go in ReleaseInner,
// at the latest with itself, so a test that ends early leaves no inner object alive. Lives on
// the test's stack: its references are only counted.
class CTestOuter final : public IUnknown {
public:
    explicit CTestOuter(std::initializer_list<IID> forwarded = {}) : m_Forwarded(forwarded) {}
    CTestOuter(const CTestOuter&) = delete;
    CTestOuter& operator=(const CTestOuter&) = delete;
    ~CTestOuter() { ReleaseInner(); }

    void ReleaseInner() {
        if (m_pInner)
            std::exchange(m_pInner, nullptr)->Release();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        const bool bForwarded =
            m_Forwarded.empty() ||
            std::any_of(m_Forwarded.begin(), m_Forwarded.end(),
                        [&riid](const IID& iid) { return IsEqualIID(riid, iid); });
        return m_pInner && bForwarded ? m_pInner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_cRef); }

    IUnknown* m_pInner = nullptr;
    std::atomic<long> m_cRef{1};

private:
    const std::vector<IID> m_Forwarded;
};

// An audio PCM type in WAVEFORMATEX.
inline CMediaType PcmType(WORD nChannels, DWORD nSamplesPerSec, WORD wBitsPerSample) {
    return AudioType(WaveFormat(nChannels, nSamplesPerSec, wBitsPerSample));
}

// Makes a test filter T (constructed from an HRESULT*) with one reference, as a class factory
// would: E_OUTOFMEMORY, or the constructor's failure with nothing left behind.
template <typename T> HRESULT CreateTestFilter(T** ppFilter) {
    HRESULT hr = S_OK;
    T* p = new (std::nothrow) T(&hr);
    if (!p)
        return E_OUTOFMEMORY;
    p->NonDelegatingAddRef();
    if (FAILED(hr)) {
        p->NonDelegatingRelease();
        return hr;
    }
    *ppFilter = p;
    return S_OK;
}
