// The filter's property page driven as a property frame drives it: the module file loaded at
// run time, filter and page made by its class factory, the page's dialog created inside a
// frame window of the dialog model, messages sent to the dialog as the controls would send
// them. Every test ends with no object of the module alive.
#pragma once

#include "HresultAssertions.h"

#include "ComPtr.h"
#include "IVelomixProp.h"
#include "ModuleLoader.h"
#include "dialog.h"
#include "media.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

// The frame's side of a page: counts status changes and its own references.
class CTestPageSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP OnStatusChange(DWORD) override {
        ++m_cStatusChanges;
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* pLocaleID) override;
    STDMETHODIMP GetPageContainer(IUnknown** ppUnk) override;
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

    long References() const { return m_cRef.load(); }
    int m_cStatusChanges = 0;

private:
    ~CTestPageSite() = default;
    std::atomic<long> m_cRef{1};
};

// An object without IVelomixProp, counting its references.
class CTestObject final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override;

    long References() const { return m_cRef.load(); }
    int m_cQueries = 0;

private:
    ~CTestObject() = default;
    std::atomic<long> m_cRef{1};
};

// A COM object's current reference count, read through AddRef and Release.
ULONG RefCount(IUnknown* pUnk);

class PageTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static CModuleLoader& Module();
    ComPtr<IBaseFilter> CreateFilter();
    ComPtr<IPropertyPage> CreatePage();
    static ComPtr<IVelomixProp> Prop(IUnknown* pFilter);

    // Site, object (OnConnect's result expected), activation inside the frame window at
    // kPageRect. Returns the page's dialog, or null.
    HWND Open(IUnknown* pObject, HRESULT hrConnect = S_OK);
    // The rest of the frame's protocol: Deactivate, SetObjects(0), SetPageSite(nullptr), release.
    void Close();
    // The page's dialog: the frame's child window.
    HWND Dialog() const { return GetWindow(m_hFrame, GW_CHILD); }

    static LRESULT Pos(HWND hDlg, int id) {
        return SendDlgItemMessageA(hDlg, id, TBM_GETPOS, 0, 0);
    }
    static std::string Text(HWND hDlg, int id);
    // The trackbar moved to pos (clamped by the control) and the mouse released: the
    // control's WM_NOTIFY NM_RELEASEDCAPTURE to the dialog.
    static void ReleaseSlider(HWND hDlg, int id, int pos);
    static void Notify(HWND hDlg, int id, UINT code);
    static void Click(HWND hDlg, int id) { SendDlgItemMessageA(hDlg, id, BM_CLICK, 0, 0); }
    // The sliders and texts show the default values: tempo and rate 1.0, pitch 0.
    static void ExpectDefaultsShown(HWND hDlg);

    static constexpr RECT kPageRect{10, 20, 350, 300};

    HWND m_hFrame = nullptr;
    ComPtr<IPropertyPage> m_Page;
    ComPtr<CTestPageSite> m_Site;

private:
    std::string m_ConfigHome;
};
