#include "PropertyPage.h"

namespace {

// The trackbar class lives in the common-controls library, which a frame need not have set up.
void RegisterControlClasses() noexcept {
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
}

} // namespace

CBasePropertyPage::CBasePropertyPage(const char* pName, IUnknown* pUnk, int DialogId,
                                     int TitleId) noexcept
    : CUnknown(pName, pUnk), m_DialogId(DialogId), m_TitleId(TitleId) {}

CBasePropertyPage::~CBasePropertyPage() {
    // A page released while active (a frame that skipped Deactivate) takes its dialog along,
    // detached first so that no message reaches the half-destroyed page.
    if (m_hwnd) {
        SetWindowLongPtrW(m_hwnd, DWLP_USER, 0);
        DestroyWindow(m_hwnd);
    }
}

STDMETHODIMP CBasePropertyPage::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IPropertyPage))
        return GetInterface(static_cast<IPropertyPage*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE CBasePropertyPage::NonDelegatingRelease() {
    if (m_cRef.load() == 1) {
        // Still whole here, so the derived page's OnDisconnect runs; the reference held
        // meanwhile keeps a release from inside these calls from destroying the page twice.
        SetPageSite(nullptr);
        SetObjects(0, nullptr);
    }
    return CUnknown::NonDelegatingRelease();
}

STDMETHODIMP CBasePropertyPage::SetPageSite(IPropertyPageSite* pPageSite) {
    if (pPageSite) {
        if (m_pPageSite)
            return E_UNEXPECTED;
        m_pPageSite = ComPtr<IPropertyPageSite>(pPageSite);
        return S_OK;
    }
    if (!m_pPageSite)
        return E_UNEXPECTED;
    m_pPageSite.Reset();
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Activate(HWND hWndParent, LPCRECT pRect, BOOL) {
    if (!pRect)
        return E_POINTER;
    if (!m_bObjectSet || m_hwnd)
        return E_UNEXPECTED;
    RegisterControlClasses();
    HWND hwnd = CreateDialogParamW(ModuleInstance(), MAKEINTRESOURCEW(m_DialogId), hWndParent,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
    if (!hwnd) {
        m_hwnd = nullptr; // in case the dialog failed after WM_INITDIALOG
        return E_OUTOFMEMORY;
    }
    m_hwnd = hwnd;
    const HRESULT hr = OnActivate();
    if (FAILED(hr)) {
        DestroyWindow(m_hwnd);
        m_hwnd = nullptr;
        return hr;
    }
    Move(pRect);
    return Show(SW_SHOWNORMAL);
}

STDMETHODIMP CBasePropertyPage::Deactivate() {
    if (!m_hwnd)
        return E_UNEXPECTED;
    const HRESULT hr = OnDeactivate();
    if (FAILED(hr))
        return hr;
    DestroyWindow(m_hwnd);
    m_hwnd = nullptr;
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::GetPageInfo(PROPPAGEINFO* pPageInfo) {
    if (!pPageInfo)
        return E_POINTER;
    WCHAR title[256];
    const int cch = LoadStringW(ModuleInstance(), static_cast<UINT>(m_TitleId), title,
                                static_cast<int>(sizeof(title) / sizeof(title[0])));
    const size_t len = cch > 0 ? static_cast<size_t>(cch) : 0;
    auto* pszTitle = static_cast<LPOLESTR>(CoTaskMemAlloc((len + 1) * sizeof(OLECHAR)));
    if (!pszTitle)
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < len; ++i)
        pszTitle[i] = title[i];
    pszTitle[len] = 0;

    pPageInfo->cb = sizeof(PROPPAGEINFO);
    pPageInfo->pszTitle = pszTitle;
    pPageInfo->size = DialogSize();
    pPageInfo->pszDocString = nullptr;
    pPageInfo->pszHelpFile = nullptr;
    pPageInfo->dwHelpContext = 0;
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::SetObjects(ULONG cObjects, IUnknown** ppUnk) {
    if (cObjects == 1) {
        if (!ppUnk || !*ppUnk)
            return E_POINTER;
        m_bObjectSet = true;
        return OnConnect(*ppUnk);
    }
    if (cObjects == 0) {
        m_bObjectSet = false;
        return OnDisconnect();
    }
    return E_UNEXPECTED;
}

STDMETHODIMP CBasePropertyPage::Show(UINT nCmdShow) {
    if (!m_hwnd)
        return E_UNEXPECTED;
    if (nCmdShow != SW_SHOW && nCmdShow != SW_SHOWNORMAL && nCmdShow != SW_HIDE)
        return E_INVALIDARG;
    ShowWindow(m_hwnd, static_cast<int>(nCmdShow));
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Move(LPCRECT pRect) {
    if (!pRect)
        return E_POINTER;
    if (!m_hwnd)
        return E_UNEXPECTED;
    MoveWindow(m_hwnd, pRect->left, pRect->top, pRect->right - pRect->left,
               pRect->bottom - pRect->top, TRUE);
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::IsPageDirty() {
    return m_bDirty ? S_OK : S_FALSE;
}

STDMETHODIMP CBasePropertyPage::Apply() {
    if (!m_bObjectSet || !m_pPageSite)
        return E_UNEXPECTED;
    if (!m_bDirty)
        return S_OK;
    const HRESULT hr = OnApplyChanges();
    if (SUCCEEDED(hr))
        m_bDirty = false;
    return hr;
}

STDMETHODIMP CBasePropertyPage::Help(LPCOLESTR) {
    return E_NOTIMPL;
}

STDMETHODIMP CBasePropertyPage::TranslateAccelerator(MSG*) {
    return E_NOTIMPL;
}

INT_PTR CBasePropertyPage::OnReceiveMessage(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        auto* pPage = reinterpret_cast<CBasePropertyPage*>(lParam);
        if (!pPage)
            return TRUE; // measured without a page
        pPage->m_hwnd = hwnd;
    }
    auto* pPage = reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!pPage)
        return FALSE; // before WM_INITDIALOG, or a dialog made only to be measured
    try {
        return pPage->OnReceiveMessage(hwnd, uMsg, wParam, lParam);
    } catch (...) {
        // Nothing may unwind into the window manager.
        return FALSE;
    }
}

SIZE CBasePropertyPage::DialogSize() const noexcept {
    SIZE size{0, 0};
    RegisterControlClasses();
    HWND hwnd = CreateDialogParamW(ModuleInstance(), MAKEINTRESOURCEW(m_DialogId),
                                   GetDesktopWindow(), DialogProc, 0);
    if (!hwnd)
        return size;
    RECT rc;
    if (GetWindowRect(hwnd, &rc))
        size = SIZE{rc.right - rc.left, rc.bottom - rc.top};
    DestroyWindow(hwnd);
    return size;
}
