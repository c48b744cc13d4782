#include "PageTest.h"

#include <ftw.h>

#include <cstdlib>

STDMETHODIMP CTestPageSite::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IPropertyPageSite))
        return E_NOINTERFACE;
    *ppv = static_cast<IPropertyPageSite*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CTestPageSite::Release() {
    const long cRef = --m_cRef;
    if (cRef == 0)
        delete this;
    return static_cast<ULONG>(cRef);
}

STDMETHODIMP CTestPageSite::GetLocaleID(LCID* pLocaleID) {
    if (!pLocaleID)
        return E_POINTER;
    *pLocaleID = 0x0409;
    return S_OK;
}

STDMETHODIMP CTestPageSite::GetPageContainer(IUnknown** ppUnk) {
    if (ppUnk)
        *ppUnk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CTestObject::QueryInterface(REFIID riid, void** ppv) {
    ++m_cQueries;
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown))
        return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CTestObject::Release() {
    const long cRef = --m_cRef;
    if (cRef == 0)
        delete this;
    return static_cast<ULONG>(cRef);
}

ULONG RefCount(IUnknown* pUnk) {
    pUnk->AddRef();
    return pUnk->Release();
}

CModuleLoader& PageTest::Module() {
    static CModuleLoader loader;
    if (loader.Path().empty() && !loader.Load(VELOMIX_MODULE_PATH))
        ADD_FAILURE() << loader.Error();
    return loader;
}

void PageTest::SetUp() {
    // The filters of these tests read and create their settings folder here, not in $HOME.
    char folder[] = "/tmp/velomix-page-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    m_ConfigHome = folder;
    setenv("XDG_CONFIG_HOME", m_ConfigHome.c_str(), 1);
    ASSERT_HR(S_OK, Module().CanUnloadNow()) << "an earlier test left an object alive";
    m_hFrame = CreateWindowExA(0, "#32770", "frame", WS_VISIBLE, 0, 0, 400, 360, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(m_hFrame, nullptr);
    m_Site = ComPtr<CTestPageSite>::Attach(new CTestPageSite);
}

void PageTest::TearDown() {
    if (m_Page)
        Close();
    EXPECT_EQ(m_Site->References(), 1) << "the page kept its site";
    m_Site.Reset();
    EXPECT_EQ(Dialog(), nullptr) << "the page's dialog outlived the page";
    DestroyWindow(m_hFrame);
    EXPECT_HR(S_OK, Module().CanUnloadNow()) << "the module still has live objects";
    nftw(
        m_ConfigHome.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
    unsetenv("XDG_CONFIG_HOME");
}

ComPtr<IBaseFilter> PageTest::CreateFilter() {
    ComPtr<IClassFactory> factory;
    EXPECT_HR(S_OK, Module().GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)));
    ComPtr<IBaseFilter> filter;
    if (factory) {
        EXPECT_HR(S_OK, factory->CreateInstance(nullptr, IID_IBaseFilter,
                                                reinterpret_cast<void**>(&filter)));
    }
    return filter;
}

ComPtr<IPropertyPage> PageTest::CreatePage() {
    ComPtr<IClassFactory> factory;
    EXPECT_HR(S_OK, Module().GetClassObject(CLSID_VelomixProp1, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)));
    ComPtr<IPropertyPage> page;
    if (factory) {
        EXPECT_HR(S_OK, factory->CreateInstance(nullptr, IID_IPropertyPage,
                                                reinterpret_cast<void**>(&page)));
    }
    return page;
}

ComPtr<IVelomixProp> PageTest::Prop(IUnknown* pFilter) {
    ComPtr<IVelomixProp> prop;
    EXPECT_HR(S_OK, pFilter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop)));
    return prop;
}

HWND PageTest::Open(IUnknown* pObject, HRESULT hrConnect) {
    m_Page = CreatePage();
    if (!m_Page)
        return nullptr;
    EXPECT_HR(S_OK, m_Page->SetPageSite(m_Site.Get()));
    EXPECT_HR(hrConnect, m_Page->SetObjects(1, &pObject));
    EXPECT_HR(S_OK, m_Page->Activate(m_hFrame, &kPageRect, FALSE));
    return Dialog();
}

void PageTest::Close() {
    EXPECT_HR(S_OK, m_Page->Deactivate());
    m_Page->SetObjects(0, nullptr);
    EXPECT_HR(S_OK, m_Page->SetPageSite(nullptr));
    m_Page.Reset();
}

std::string PageTest::Text(HWND hDlg, int id) {
    char text[64];
    GetDlgItemTextA(hDlg, id, text, sizeof(text));
    return text;
}

void PageTest::ExpectDefaultsShown(HWND hDlg) {
    EXPECT_EQ(Pos(hDlg, IDC_TEMPO_SLIDER), 95);
    EXPECT_EQ(Pos(hDlg, IDC_RATE_SLIDER), 95);
    EXPECT_EQ(Pos(hDlg, IDC_PITCH_SLIDER), 10);
    EXPECT_EQ(Text(hDlg, IDC_TEMPO_TEXT), "1.0");
    EXPECT_EQ(Text(hDlg, IDC_RATE_TEXT), "1.0");
    EXPECT_EQ(Text(hDlg, IDC_PITCH_TEXT), "0");
}

void PageTest::ReleaseSlider(HWND hDlg, int id, int pos) {
    SendDlgItemMessageA(hDlg, id, TBM_SETPOS, TRUE, pos);
    Notify(hDlg, id, NM_RELEASEDCAPTURE);
}

void PageTest::Notify(HWND hDlg, int id, UINT code) {
    NMHDR nmhdr{GetDlgItem(hDlg, id), static_cast<UINT_PTR>(id), code};
    SendMessageA(hDlg, WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&nmhdr));
}
