// Fakes for quality-message tests, shared by the native and the Windows tests: a recording
// quality sink and an upstream output pin that may or may not answer IQualityControl.
#pragma once

#include "media.h"

#include <atomic>

namespace quality_fakes {

// A quality message handler that records what reached it and answers with m_hrNotify.
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
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_cRef); }
    STDMETHODIMP Notify(IBaseFilter* pSender, Quality q) override {
        ++m_cNotify;
        m_pSender = pSender;
        m_Last = q;
        return m_hrNotify;
    }
    STDMETHODIMP SetSink(IQualityControl*) override { return S_OK; }

    HRESULT m_hrNotify = S_OK;
    int m_cNotify = 0;
    IBaseFilter* m_pSender = nullptr;
    Quality m_Last{};
    std::atomic<long> m_cRef{1};
};

// An upstream output pin that connects by ReceiveConnection on the pin under test. It answers
// IQualityControl only when made with bQualityControl. Lives on the test's stack.
class CFakeUpstreamPin final : public CQualityRecorder, public IPin {
public:
    explicit CFakeUpstreamPin(bool bQualityControl) : m_bQualityControl(bQualityControl) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPin))
            *ppv = static_cast<IPin*>(this);
        else if (m_bQualityControl && IsEqualIID(riid, IID_IQualityControl))
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
    const bool m_bQualityControl;
};

} // namespace quality_fakes
