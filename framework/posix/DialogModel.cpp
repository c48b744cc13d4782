// The native dialog model behind posix/dialog_decl.h: windows with ids, texts, styles and
// rectangles, dialogs made from a module's resource records, and the few control classes a
// property page uses (buttons, edits, statics, trackbars).
#include "DialogModel.h"
#include "RegistryStore.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The model's dialog font: a 9-point face at 96 dpi averages about 7 by 15 pixels, so four
// horizontal dialog units make 7 pixels and eight vertical ones 15.
constexpr int kBaseUnitX = 7;
constexpr int kBaseUnitY = 15;

enum class Kind { Desktop, Dialog, Button, Edit, Static, Trackbar };

bool KindOfClass(const char* szClass, Kind* pKind) {
    static const struct {
        const char* szName;
        Kind kind;
    } kClasses[] = {{"#32770", Kind::Dialog},
                    {"button", Kind::Button},
                    {"edit", Kind::Edit},
                    {"static", Kind::Static},
                    {TRACKBAR_CLASSA, Kind::Trackbar}};
    if (!szClass || IS_INTRESOURCE(szClass))
        return false;
    for (const auto& c : kClasses) {
        if (strcasecmp(szClass, c.szName) == 0) {
            *pKind = c.kind;
            return true;
        }
    }
    return false;
}

// A window of the model. A host and a module each carry their own copy of this code, and a
// window made by one is driven by the other (a page's dialog inside a host's frame), as
// windows are shared between modules on Windows. So a window is used only through its
// virtual methods: the code that runs is always that of the copy that made it.
class CWindow {
public:
    CWindow(Kind kind, const char* szClass, CWindow* pParent, DWORD style, DWORD exStyle, int id,
            const RECT& rc, const char* szText)
        : m_Kind(kind), m_Class(szClass), m_pParent(pParent), m_Style(style), m_ExStyle(exStyle),
          m_Id(id), m_Rect(rc), m_Text(szText ? szText : "") {}
    virtual ~CWindow() = default;
    CWindow(const CWindow&) = delete;
    CWindow& operator=(const CWindow&) = delete;

    virtual LRESULT Proc(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual LONG_PTR GetLong(int index) const;
    virtual LONG_PTR SetLong(int index, LONG_PTR value);

    virtual bool IsDesktop() const { return m_Kind == Kind::Desktop; }
    virtual const char* ClassName() const { return m_Class.c_str(); }
    virtual CWindow* Parent() const { return m_pParent; }
    virtual CWindow* FirstChild() const {
        return m_Children.empty() ? nullptr : m_Children.front().get();
    }
    virtual CWindow* NextChild(const CWindow* pAfter) const;
    virtual CWindow* FindChild(int id) const;
    // False when out of memory; the child is then destroyed.
    virtual bool AddChild(std::unique_ptr<CWindow> pChild);
    // Destroys the child and its descendants.
    virtual void RemoveChild(const CWindow* pChild);
    // WM_DESTROY to this window, then to its descendants (parents first, as on Windows).
    virtual void SendDestroy();

    // Relative to the parent's top-left corner (the model's windows have no borders).
    virtual RECT Rect() const { return m_Rect; }
    virtual void SetRect(const RECT& rc) { m_Rect = rc; }

private:
    LRESULT TrackbarProc(UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT DialogProc(UINT msg, WPARAM wParam, LPARAM lParam);
    LONG ClampPos(LONG pos) const { return std::max(m_Min, std::min(pos, m_Max)); }

    const Kind m_Kind;
    const std::string m_Class;
    CWindow* const m_pParent;
    DWORD m_Style;
    DWORD m_ExStyle;
    int m_Id;
    RECT m_Rect;
    std::string m_Text;
    LONG_PTR m_UserData = 0;
    std::vector<std::unique_ptr<CWindow>> m_Children;
    // Dialogs
    DLGPROC m_pDlgProc = nullptr;
    LONG_PTR m_MsgResult = 0;
    LONG_PTR m_DlgUser = 0;
    // Trackbars (the control's defaults)
    LONG m_Min = 0;
    LONG m_Max = 100;
    LONG m_Pos = 0;
};

CWindow* W(HWND hwnd) {
    return static_cast<CWindow*>(hwnd);
}
HWND H(CWindow* pWindow) {
    return static_cast<HWND>(pWindow);
}

CWindow& Desktop() {
    static CWindow desktop(Kind::Desktop, "#32769", nullptr, WS_VISIBLE, 0, 0,
                           RECT{0, 0, 1920, 1080}, "");
    return desktop;
}

LRESULT CWindow::Proc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (m_Kind == Kind::Dialog && m_pDlgProc) {
        // The dialog manager asks the dialog procedure first; a message it handled returns
        // DWLP_MSGRESULT, except WM_INITDIALOG, which returns the procedure's own answer.
        const INT_PTR handled = m_pDlgProc(H(this), msg, wParam, lParam);
        if (msg == WM_INITDIALOG)
            return handled;
        if (handled)
            return m_MsgResult;
    }
    switch (msg) {
    case WM_SETTEXT:
        try {
            m_Text = lParam ? reinterpret_cast<const char*>(lParam) : "";
        } catch (...) {
            return FALSE;
        }
        return TRUE;
    case WM_GETTEXT: {
        char* buf = reinterpret_cast<char*>(lParam);
        if (!buf || wParam == 0)
            return 0;
        const size_t n = std::min(m_Text.size(), static_cast<size_t>(wParam) - 1);
        std::memcpy(buf, m_Text.data(), n);
        buf[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(m_Text.size());
    default:
        break;
    }
    switch (m_Kind) {
    case Kind::Trackbar:
        return TrackbarProc(msg, wParam, lParam);
    case Kind::Button:
        // A click reaches the parent as the button's BN_CLICKED; a disabled button takes none.
        if (msg == BM_CLICK && !(m_Style & WS_DISABLED) && m_pParent)
            m_pParent->Proc(WM_COMMAND, MAKEWPARAM(m_Id, BN_CLICKED),
                            reinterpret_cast<LPARAM>(H(this)));
        return 0;
    default:
        return 0;
    }
}

LRESULT CWindow::TrackbarProc(UINT msg, WPARAM, LPARAM lParam) {
    switch (msg) {
    case TBM_GETPOS:
        return m_Pos;
    case TBM_GETRANGEMIN:
        return m_Min;
    case TBM_GETRANGEMAX:
        return m_Max;
    case TBM_SETPOS:
        m_Pos = ClampPos(static_cast<LONG>(lParam));
        return 0;
    case TBM_SETRANGE:
        m_Min = static_cast<SHORT>(LOWORD(lParam));
        m_Max = static_cast<SHORT>(HIWORD(lParam));
        m_Pos = ClampPos(m_Pos);
        return 0;
    case TBM_SETRANGEMIN:
        m_Min = static_cast<LONG>(lParam);
        m_Pos = ClampPos(m_Pos);
        return 0;
    case TBM_SETRANGEMAX:
        m_Max = static_cast<LONG>(lParam);
        m_Pos = ClampPos(m_Pos);
        return 0;
    default:
        return 0;
    }
}

LONG_PTR CWindow::GetLong(int index) const {
    switch (index) {
    case GWL_STYLE:
        return static_cast<LONG>(m_Style);
    case GWL_EXSTYLE:
        return static_cast<LONG>(m_ExStyle);
    case GWLP_ID:
        return m_Id;
    case GWLP_USERDATA:
        return m_UserData;
    default:
        break;
    }
    if (m_Kind == Kind::Dialog) {
        if (index == static_cast<int>(DWLP_MSGRESULT))
            return m_MsgResult;
        if (index == static_cast<int>(DWLP_DLGPROC))
            return reinterpret_cast<LONG_PTR>(m_pDlgProc);
        if (index == static_cast<int>(DWLP_USER))
            return m_DlgUser;
    }
    return 0;
}

LONG_PTR CWindow::SetLong(int index, LONG_PTR value) {
    const LONG_PTR previous = GetLong(index);
    switch (index) {
    case GWL_STYLE:
        m_Style = static_cast<DWORD>(value);
        return previous;
    case GWL_EXSTYLE:
        m_ExStyle = static_cast<DWORD>(value);
        return previous;
    case GWLP_ID:
        m_Id = static_cast<int>(value);
        return previous;
    case GWLP_USERDATA:
        m_UserData = value;
        return previous;
    default:
        break;
    }
    if (m_Kind == Kind::Dialog) {
        if (index == static_cast<int>(DWLP_MSGRESULT))
            m_MsgResult = value;
        else if (index == static_cast<int>(DWLP_DLGPROC))
            m_pDlgProc = reinterpret_cast<DLGPROC>(value);
        else if (index == static_cast<int>(DWLP_USER))
            m_DlgUser = value;
        else
            return 0;
        return previous;
    }
    return 0;
}

CWindow* CWindow::NextChild(const CWindow* pAfter) const {
    auto it =
        std::find_if(m_Children.begin(), m_Children.end(),
                     [pAfter](const std::unique_ptr<CWindow>& c) { return c.get() == pAfter; });
    if (it == m_Children.end() || ++it == m_Children.end())
        return nullptr;
    return it->get();
}

CWindow* CWindow::FindChild(int id) const {
    for (const auto& c : m_Children) {
        if (c->GetLong(GWLP_ID) == id)
            return c.get();
    }
    return nullptr;
}

bool CWindow::AddChild(std::unique_ptr<CWindow> pChild) {
    try {
        m_Children.push_back(std::move(pChild));
        return true;
    } catch (...) {
        return false;
    }
}

void CWindow::RemoveChild(const CWindow* pChild) {
    auto it =
        std::find_if(m_Children.begin(), m_Children.end(),
                     [pChild](const std::unique_ptr<CWindow>& c) { return c.get() == pChild; });
    if (it == m_Children.end())
        return;
    // Out of the list first: the child's destructor must not find itself among the children.
    std::unique_ptr<CWindow> doomed = std::move(*it);
    m_Children.erase(it);
}

void CWindow::SendDestroy() {
    Proc(WM_DESTROY, 0, 0);
    for (CWindow* c = FirstChild(); c; c = NextChild(c))
        c->SendDestroy();
}

// A new window of a known class, owned by its parent; null for an unknown class or without
// memory.
CWindow* MakeWindow(const char* szClass, CWindow* pParent, DWORD style, DWORD exStyle, int id,
                    const RECT& rc, const char* szText) {
    Kind kind;
    if (!KindOfClass(szClass, &kind))
        return nullptr;
    try {
        auto window =
            std::make_unique<CWindow>(kind, szClass, pParent, style, exStyle, id, rc, szText);
        CWindow* p = window.get();
        return pParent->AddChild(std::move(window)) ? p : nullptr;
    } catch (...) {
        return nullptr;
    }
}

LONG ToPixels(LONG units, int baseUnit, int unitsPerBase) {
    return static_cast<LONG>(std::lround(static_cast<double>(units) * baseUnit / unitsPerBase));
}

RECT DialogUnitsToPixels(LONG x, LONG y, LONG cx, LONG cy) {
    RECT rc{x, y, x + cx, y + cy};
    MapDialogRect(nullptr, &rc);
    return rc;
}

const DialogResource* FindDialog(const ModuleResources* pRes, WORD id) {
    for (size_t i = 0; i < pRes->cDialogs; ++i) {
        if (pRes->pDialogs[i].id == id)
            return &pRes->pDialogs[i];
    }
    return nullptr;
}

} // namespace

extern "C" {

HWND CreateDialogParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                        DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    const auto* pRes = static_cast<const ModuleResources*>(hInstance);
    if (!pRes || !IS_INTRESOURCE(lpTemplateName))
        return nullptr;
    const DialogResource* pDlg = FindDialog(pRes, LOWORD(lpTemplateName));
    if (!pDlg)
        return nullptr;
    CWindow* pParent = hWndParent ? W(hWndParent) : &Desktop();

    // Built apart and handed to the parent only when complete: a control of an unknown class
    // fails the whole dialog, as on Windows.
    std::unique_ptr<CWindow> dialog;
    try {
        dialog = std::make_unique<CWindow>(
            Kind::Dialog, "#32770", pParent, pDlg->style & ~static_cast<DWORD>(WS_VISIBLE),
            pDlg->exStyle, 0, DialogUnitsToPixels(pDlg->x, pDlg->y, pDlg->cx, pDlg->cy), "");
    } catch (...) {
        return nullptr;
    }
    dialog->SetLong(DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(lpDialogFunc));
    HWND hFirstTabStop = nullptr;
    for (size_t i = 0; i < pDlg->cItems; ++i) {
        const DialogItemResource& item = pDlg->pItems[i];
        CWindow* pControl =
            MakeWindow(item.szClass, dialog.get(), item.style, item.exStyle, item.id,
                       DialogUnitsToPixels(item.x, item.y, item.cx, item.cy), item.szText);
        if (!pControl)
            return nullptr;
        if (!hFirstTabStop && (item.style & WS_TABSTOP))
            hFirstTabStop = H(pControl);
    }
    CWindow* pDialog = dialog.get();
    if (!pParent->AddChild(std::move(dialog)))
        return nullptr;
    pDialog->Proc(WM_INITDIALOG, reinterpret_cast<WPARAM>(hFirstTabStop), dwInitParam);
    if (pDlg->style & WS_VISIBLE)
        ShowWindow(H(pDialog), SW_SHOW);
    return H(pDialog);
}

HWND CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                        DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    // Templates are found by number only, which reads the same in both forms.
    if (!IS_INTRESOURCE(lpTemplateName))
        return nullptr;
    return CreateDialogParamA(hInstance, MAKEINTRESOURCEA(LOWORD(lpTemplateName)), hWndParent,
                              lpDialogFunc, dwInitParam);
}

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    const auto* pRes = static_cast<const ModuleResources*>(hInstance);
    // A zero-length buffer asks Windows for a pointer into the resource: not modelled.
    if (!pRes || !lpBuffer || cchBufferMax <= 0)
        return 0;
    for (size_t i = 0; i < pRes->cStrings; ++i) {
        if (pRes->pStrings[i].id != uID)
            continue;
        const char* s = pRes->pStrings[i].szText;
        const int n = std::min(static_cast<int>(std::strlen(s)), cchBufferMax - 1);
        for (int k = 0; k < n; ++k)
            lpBuffer[k] = static_cast<WCHAR>(static_cast<unsigned char>(s[k]));
        lpBuffer[n] = L'\0';
        return n;
    }
    lpBuffer[0] = L'\0';
    return 0;
}

HWND CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X,
                     int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE,
                     LPVOID) {
    // A child needs a parent; a top-level window's menu is not an id.
    if ((dwStyle & WS_CHILD) && !hWndParent)
        return nullptr;
    const int id = (dwStyle & WS_CHILD) ? static_cast<int>(reinterpret_cast<intptr_t>(hMenu)) : 0;
    CWindow* pParent = hWndParent ? W(hWndParent) : &Desktop();
    return H(MakeWindow(lpClassName, pParent, dwStyle, dwExStyle, id,
                        RECT{X, Y, X + nWidth, Y + nHeight}, lpWindowName));
}

BOOL DestroyWindow(HWND hWnd) {
    if (!hWnd || W(hWnd)->IsDesktop())
        return FALSE;
    CWindow* pWindow = W(hWnd);
    pWindow->SendDestroy();
    pWindow->Parent()->RemoveChild(pWindow);
    return TRUE;
}

HWND GetDesktopWindow(void) {
    return H(&Desktop());
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
    // The model's control classes are always there.
    return picce && picce->dwSize == sizeof(INITCOMMONCONTROLSEX) ? TRUE : FALSE;
}

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return hWnd ? W(hWnd)->Proc(Msg, wParam, lParam) : 0;
}

LRESULT SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return SendMessageA(GetDlgItem(hDlg, nIDDlgItem), Msg, wParam, lParam);
}

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    // Only text messages differ between the forms; the model's controls take no wide text
    // through a message.
    return SendMessageA(hWnd, Msg, wParam, lParam);
}

LRESULT SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(GetDlgItem(hDlg, nIDDlgItem), Msg, wParam, lParam);
}

BOOL SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
    try {
        return SetDlgItemTextA(hDlg, nIDDlgItem,
                               lpString ? regstore::Utf8(lpString).c_str() : nullptr);
    } catch (...) {
        return FALSE;
    }
}

BOOL SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    return SetWindowTextA(GetDlgItem(hDlg, nIDDlgItem), lpString);
}

UINT GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
    HWND hItem = GetDlgItem(hDlg, nIDDlgItem);
    if (!hItem) {
        if (lpString && cchMax > 0)
            lpString[0] = '\0';
        return 0;
    }
    return static_cast<UINT>(GetWindowTextA(hItem, lpString, cchMax));
}

BOOL SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    if (!hWnd)
        return FALSE;
    return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) ? TRUE : FALSE;
}

int GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    if (!hWnd || nMaxCount <= 0)
        return 0;
    return static_cast<int>(SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                         reinterpret_cast<LPARAM>(lpString)));
}

int GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount) {
    if (!hWnd || !lpClassName || nMaxCount <= 0)
        return 0;
    const char* name = W(hWnd)->ClassName();
    const int n = std::min(static_cast<int>(std::strlen(name)), nMaxCount - 1);
    std::memcpy(lpClassName, name, static_cast<size_t>(n));
    lpClassName[n] = '\0';
    return n;
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
    return hDlg ? H(W(hDlg)->FindChild(nIDDlgItem)) : nullptr;
}

int GetDlgCtrlID(HWND hWnd) {
    return hWnd ? static_cast<int>(W(hWnd)->GetLong(GWLP_ID)) : 0;
}

HWND GetParent(HWND hWnd) {
    if (!hWnd)
        return nullptr;
    CWindow* pParent = W(hWnd)->Parent();
    return (pParent && !pParent->IsDesktop()) ? H(pParent) : nullptr;
}

HWND GetWindow(HWND hWnd, UINT uCmd) {
    if (!hWnd)
        return nullptr;
    CWindow* pWindow = W(hWnd);
    switch (uCmd) {
    case GW_CHILD:
        return H(pWindow->FirstChild());
    case GW_HWNDNEXT:
        return pWindow->Parent() ? H(pWindow->Parent()->NextChild(pWindow)) : nullptr;
    default:
        return nullptr;
    }
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
    if (!hWnd)
        return FALSE;
    const DWORD style = static_cast<DWORD>(W(hWnd)->GetLong(GWL_STYLE));
    const bool wasDisabled = (style & WS_DISABLED) != 0;
    const DWORD newStyle =
        bEnable ? (style & ~static_cast<DWORD>(WS_DISABLED)) : (style | WS_DISABLED);
    if (newStyle != style) {
        W(hWnd)->SetLong(GWL_STYLE, static_cast<LONG>(newStyle));
        SendMessageA(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
    }
    return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND hWnd) {
    return (hWnd && !(static_cast<DWORD>(W(hWnd)->GetLong(GWL_STYLE)) & WS_DISABLED)) ? TRUE
                                                                                      : FALSE;
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    if (!hWnd)
        return FALSE;
    const DWORD style = static_cast<DWORD>(W(hWnd)->GetLong(GWL_STYLE));
    const DWORD newStyle =
        nCmdShow == SW_HIDE ? (style & ~static_cast<DWORD>(WS_VISIBLE)) : (style | WS_VISIBLE);
    W(hWnd)->SetLong(GWL_STYLE, static_cast<LONG>(newStyle));
    return (style & WS_VISIBLE) ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hWnd) {
    if (!hWnd)
        return FALSE;
    // Visible only when every ancestor is.
    for (CWindow* p = W(hWnd); p; p = p->Parent()) {
        if (!(static_cast<DWORD>(p->GetLong(GWL_STYLE)) & WS_VISIBLE))
            return FALSE;
    }
    return TRUE;
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL) {
    if (!hWnd)
        return FALSE;
    W(hWnd)->SetRect(RECT{X, Y, X + nWidth, Y + nHeight});
    return TRUE;
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) {
    if (!hWnd || !lpRect)
        return FALSE;
    RECT rc = W(hWnd)->Rect();
    for (CWindow* p = W(hWnd)->Parent(); p; p = p->Parent()) {
        const RECT origin = p->Rect();
        rc.left += origin.left;
        rc.right += origin.left;
        rc.top += origin.top;
        rc.bottom += origin.top;
    }
    *lpRect = rc;
    return TRUE;
}

BOOL MapDialogRect(HWND, LPRECT lpRect) {
    if (!lpRect)
        return FALSE;
    lpRect->left = ToPixels(lpRect->left, kBaseUnitX, 4);
    lpRect->right = ToPixels(lpRect->right, kBaseUnitX, 4);
    lpRect->top = ToPixels(lpRect->top, kBaseUnitY, 8);
    lpRect->bottom = ToPixels(lpRect->bottom, kBaseUnitY, 8);
    return TRUE;
}

LONG GetWindowLongA(HWND hWnd, int nIndex) {
    return static_cast<LONG>(GetWindowLongPtrA(hWnd, nIndex));
}

LONG SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) {
    return static_cast<LONG>(SetWindowLongPtrA(hWnd, nIndex, dwNewLong));
}

LONG_PTR GetWindowLongPtrA(HWND hWnd, int nIndex) {
    return hWnd ? W(hWnd)->GetLong(nIndex) : 0;
}

LONG_PTR SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    return hWnd ? W(hWnd)->SetLong(nIndex, dwNewLong) : 0;
}

LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex) {
    return GetWindowLongPtrA(hWnd, nIndex);
}

LONG_PTR SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    return SetWindowLongPtrA(hWnd, nIndex, dwNewLong);
}

} // extern "C"
