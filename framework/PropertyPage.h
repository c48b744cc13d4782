// CBasePropertyPage: a property page (IPropertyPage) whose face is a dialog from the module's
// resources, for the system's property frame.
//
// The frame drives a page in this order: SetPageSite(site), SetObjects(1, &object) (-> OnConnect),
// GetPageInfo, Activate (the dialog is created from resource m_DialogId; WM_INITDIALOG and every
// later message of the dialog reach OnReceiveMessage; then OnActivate), Show/Move, Apply (->
// OnApplyChanges when m_bDirty), Deactivate (OnDeactivate, then the dialog is destroyed),
// SetObjects(0, nullptr) (-> OnDisconnect), SetPageSite(nullptr), Release. Frames that skip the
// last steps are tolerated: the final Release disconnects the object and releases the site
// before the page is destroyed.
//
// What a derived page may override: OnConnect and OnDisconnect (take and release its own
// interface pointers on the object), OnActivate and OnDeactivate (base: nothing, S_OK),
// OnApplyChanges (base: S_OK), and OnReceiveMessage (handle its controls' messages, then
// return the base's answer). A page that changes values only on Apply sets m_bDirty and tells
// the frame through m_pPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY).
//
// Threads: everything runs on the frame's window thread; the page takes no lock.
#pragma once

#include "ComPtr.h"
#include "Unknown.h"
#include "dialog.h"

// The module's instance handle, through which its resources are found: on Windows the module's
// own HMODULE, natively the module's resource table (g_Resources, posix/DialogModel.h).
HINSTANCE ModuleInstance() noexcept;

class CBasePropertyPage : public CUnknown, public IPropertyPage {
public:
    // pName: a debug name or null; pUnk: the controlling outer object or null; DialogId and
    // TitleId: the numbers of the dialog resource and of the title's string resource.
    CBasePropertyPage(const char* pName, IUnknown* pUnk, int DialogId, int TitleId) noexcept;
    ~CBasePropertyPage() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // On the last reference: SetPageSite(nullptr) and SetObjects(0, nullptr), then destroy.
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    // IPropertyPage
    // A site when none is held: stored with a reference, S_OK. A second site: E_UNEXPECTED.
    // Null: releases the site, S_OK; E_UNEXPECTED when none was held.
    STDMETHODIMP SetPageSite(IPropertyPageSite* pPageSite) override;
    // Creates the dialog as a child of hWndParent at pRect, calls OnActivate and shows it.
    // E_POINTER without pRect; E_UNEXPECTED before SetObjects(1, ...) or while active;
    // E_OUTOFMEMORY when the dialog cannot be created; OnActivate's failure (dialog destroyed).
    STDMETHODIMP Activate(HWND hWndParent, LPCRECT pRect, BOOL bModal) override;
    // OnDeactivate, then destroys the dialog. E_UNEXPECTED when not active; OnDeactivate's
    // failure leaves the page active.
    STDMETHODIMP Deactivate() override;
    // Title from string resource TitleId (in task memory, the caller frees it), size of the
    // dialog in pixels, no help. E_POINTER, E_OUTOFMEMORY.
    STDMETHODIMP GetPageInfo(PROPPAGEINFO* pPageInfo) override;
    // One object: OnConnect's result (E_POINTER for a null object). None: OnDisconnect's result.
    // More than one: E_UNEXPECTED. The page counts as having an object after SetObjects(1, ...)
    // even when OnConnect refused it, as the framework does; the dialog then shows regardless.
    STDMETHODIMP SetObjects(ULONG cObjects, IUnknown** ppUnk) override;
    // SW_SHOW, SW_SHOWNORMAL or SW_HIDE; else E_INVALIDARG. E_UNEXPECTED when not active.
    STDMETHODIMP Show(UINT nCmdShow) override;
    // E_POINTER without pRect; E_UNEXPECTED when not active.
    STDMETHODIMP Move(LPCRECT pRect) override;
    // S_OK when m_bDirty, else S_FALSE.
    STDMETHODIMP IsPageDirty() override;
    // E_UNEXPECTED without an object or without a site; S_OK without calling OnApplyChanges
    // when not dirty; else OnApplyChanges' result, and m_bDirty cleared when it succeeded.
    STDMETHODIMP Apply() override;
    // E_NOTIMPL for both.
    STDMETHODIMP Help(LPCOLESTR pszHelpDir) override;
    STDMETHODIMP TranslateAccelerator(MSG* pMsg) override;

protected:
    virtual HRESULT OnConnect(IUnknown*) { return S_OK; }
    virtual HRESULT OnDisconnect() { return S_OK; }
    virtual HRESULT OnActivate() { return S_OK; }
    virtual HRESULT OnDeactivate() { return S_OK; }
    virtual HRESULT OnApplyChanges() { return S_OK; }
    // Every message of the dialog, WM_INITDIALOG first. The base handles none: FALSE, so the
    // dialog manager's default processing applies.
    virtual INT_PTR OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    bool m_bDirty = false;
    ComPtr<IPropertyPageSite> m_pPageSite;
    HWND m_hwnd = nullptr; // the dialog while active (from WM_INITDIALOG on)

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // The dialog resource created (and destroyed) without a page, to measure it.
    SIZE DialogSize() const noexcept;

    const int m_DialogId;
    const int m_TitleId;
    bool m_bObjectSet = false;
};
