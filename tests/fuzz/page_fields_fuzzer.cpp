// The property page as a user and a property frame drive it, over the native dialog model: the
// page made through the module's class factory and shown on a filter inside a frame window,
// then a sequence of operations from the input's bytes: text typed into the page's fields (any
// bytes, any length) with the edit notifications, sliders moved anywhere and released,
// notifications and commands with any codes and ids, the Init button, Apply, values changed
// by another client and the page shown again. After each step the filter holds values it
// accepts, every slider lies within its range, and a field reads back what was put in it;
// after a slider's release the field beside it shows the value the filter holds.
#include "FuzzSupport.h"

#include "dialog.h"
#include "resource.h"
#include "velomix_speed.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

// The module's entry point, linked into the harness (filter/Module.cpp).
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);

namespace {

using fuzz::Broken;

constexpr int kMaxOperations = 32;
constexpr RECT kPageRect{10, 20, 350, 300};

// The frame's side of the page.
class CPageSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IPropertyPageSite))
            return E_NOINTERFACE;
        *ppv = static_cast<IPropertyPageSite*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    // Lives for the process: the count only shows a page that keeps its site.
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_cRef); }
    STDMETHODIMP OnStatusChange(DWORD) override { return S_OK; }
    STDMETHODIMP GetLocaleID(LCID* pLocaleID) override {
        if (!pLocaleID)
            return E_POINTER;
        *pLocaleID = 0x0409;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** ppUnk) override {
        if (ppUnk)
            *ppUnk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }
    long References() const { return m_cRef.load(); }

private:
    std::atomic<long> m_cRef{1};
};

struct Frame {
    HWND hFrame = CreateWindowExA(0, "#32770", "frame", WS_VISIBLE, 0, 0, 400, 360, nullptr,
                                  nullptr, nullptr, nullptr);
    CPageSite site;
};

ComPtr<IPropertyPage> CreatePage() {
    ComPtr<IClassFactory> factory;
    ComPtr<IPropertyPage> page;
    if (FAILED(DllGetClassObject(CLSID_VelomixProp1, IID_IClassFactory,
                                 reinterpret_cast<void**>(&factory))) ||
        FAILED(
            factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page))))
        Broken("the page could not be made");
    return page;
}

std::string Text(HWND hDlg, int id) {
    char text[256];
    GetDlgItemTextA(hDlg, id, text, sizeof text);
    return text;
}

std::string FactorText(double d) {
    char text[32];
    std::snprintf(text, sizeof text, "%01.01f", d);
    return text;
}

void CheckFilter(IVelomixProp* prop) {
    double tempo = 0, rate = 0;
    int pitch = 0;
    if (FAILED(prop->GetTempo(&tempo)) || FAILED(prop->GetRate(&rate)) ||
        FAILED(prop->GetPitch(&pitch)))
        Broken("the filter's values cannot be read");
    if (!(tempo >= VELOMIX_FACTOR_MIN && tempo <= VELOMIX_FACTOR_MAX) ||
        !(rate >= VELOMIX_FACTOR_MIN && rate <= VELOMIX_FACTOR_MAX) || pitch < VELOMIX_PITCH_MIN ||
        pitch > VELOMIX_PITCH_MAX)
        Broken("the page gave the filter a value it should refuse");
}

void CheckSliders(HWND hDlg) {
    for (const int id : {IDC_TEMPO_SLIDER, IDC_RATE_SLIDER, IDC_PITCH_SLIDER}) {
        const LRESULT pos = SendDlgItemMessageA(hDlg, id, TBM_GETPOS, 0, 0);
        if (pos < SendDlgItemMessageA(hDlg, id, TBM_GETRANGEMIN, 0, 0) ||
            pos > SendDlgItemMessageA(hDlg, id, TBM_GETRANGEMAX, 0, 0))
            Broken("a slider stands outside its range");
    }
}

// After a release: the field beside the slider shows what the filter holds.
void CheckShown(HWND hDlg, IVelomixProp* prop, int slider) {
    double d = 0;
    int n = 0;
    std::string expected;
    int field = 0;
    if (slider == IDC_TEMPO_SLIDER && SUCCEEDED(prop->GetTempo(&d))) {
        expected = FactorText(d);
        field = IDC_TEMPO_TEXT;
    } else if (slider == IDC_RATE_SLIDER && SUCCEEDED(prop->GetRate(&d))) {
        expected = FactorText(d);
        field = IDC_RATE_TEXT;
    } else if (slider == IDC_PITCH_SLIDER && SUCCEEDED(prop->GetPitch(&n))) {
        expected = std::to_string(n);
        field = IDC_PITCH_TEXT;
    }
    if (field && Text(hDlg, field) != expected)
        Broken("a field shows another value than the filter holds:",
               Text(hDlg, field) + " for " + expected);
}

int FuzzedControl(FuzzedDataProvider& fdp) {
    static const int kIds[] = {IDC_TEMPO_SLIDER, IDC_TEMPO_TEXT, IDC_RATE_SLIDER, IDC_RATE_TEXT,
                               IDC_PITCH_SLIDER, IDC_PITCH_TEXT, IDC_INIT,        -1};
    return fdp.ConsumeBool() ? kIds[fdp.ConsumeIntegralInRange<size_t>(0, 7)]
                             : fdp.ConsumeIntegral<int>();
}

void Type(HWND hDlg, FuzzedDataProvider& fdp) {
    static const int kFields[] = {IDC_TEMPO_TEXT, IDC_RATE_TEXT, IDC_PITCH_TEXT};
    const int id = kFields[fdp.ConsumeIntegralInRange<size_t>(0, 2)];
    const std::string typed = fdp.ConsumeRandomLengthString(300);
    SetDlgItemTextA(hDlg, id, typed.c_str());
    // What a field holds reads back whole, and cut to any buffer with its terminator.
    const std::string back = Text(hDlg, id);
    if (back != std::string(typed.c_str()).substr(0, 255))
        Broken("a field reads back other text than was typed");
    const int cch = fdp.ConsumeIntegralInRange(0, 8);
    char small[9];
    std::memset(small, 'x', sizeof small);
    const UINT n = GetDlgItemTextA(hDlg, id, small, cch);
    if (cch > 0 && (n >= static_cast<UINT>(cch) || std::strlen(small) != n))
        Broken("a field's text overran a small buffer or miscounted");
    const HWND hEdit = GetDlgItem(hDlg, id);
    // What an edit control sends its dialog as it is typed into and left: EN_CHANGE,
    // EN_UPDATE, EN_KILLFOCUS (the native dialog model declares no edit notifications).
    for (const WORD code : {WORD(0x0300), WORD(0x0400), WORD(0x0200)})
        SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(hEdit));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    {
        fuzz::CFilterChain& chain = fuzz::SharedChain(fuzz::StampMode::Plain);
        static Frame frame;
        if (!frame.hFrame)
            Broken("the frame window could not be made");
        IVelomixProp* prop = chain.Prop();
        IUnknown* pObject = prop;
        ComPtr<IPropertyPage> page = CreatePage();
        if (FAILED(page->SetPageSite(&frame.site)) || FAILED(page->SetObjects(1, &pObject)) ||
            FAILED(page->Activate(frame.hFrame, &kPageRect, FALSE)))
            Broken("the page could not be shown");
        HWND hDlg = GetWindow(frame.hFrame, GW_CHILD);
        if (!hDlg)
            Broken("the page has no dialog");
        for (int op = 0; op < kMaxOperations && fdp.remaining_bytes() > 0; ++op) {
            switch (fdp.ConsumeIntegralInRange(0, 7)) {
            case 0:
            case 1:
                Type(hDlg, fdp);
                break;
            case 2: { // a slider moved anywhere, by the mouse or the keyboard, and released
                static const int kSliders[] = {IDC_TEMPO_SLIDER, IDC_RATE_SLIDER, IDC_PITCH_SLIDER};
                const int id = kSliders[fdp.ConsumeIntegralInRange<size_t>(0, 2)];
                SendDlgItemMessageA(hDlg, id, TBM_SETPOS, TRUE, fdp.ConsumeIntegral<LPARAM>());
                NMHDR nmhdr{GetDlgItem(hDlg, id), static_cast<UINT_PTR>(id), NM_RELEASEDCAPTURE};
                SendMessageA(hDlg, WM_NOTIFY, static_cast<WPARAM>(id),
                             reinterpret_cast<LPARAM>(&nmhdr));
                CheckShown(hDlg, prop, id);
                break;
            }
            case 3: { // a notification of any code from any control, or from none
                const int id = FuzzedControl(fdp);
                NMHDR nmhdr{fdp.ConsumeBool() ? GetDlgItem(hDlg, id) : nullptr,
                            static_cast<UINT_PTR>(id), fdp.ConsumeIntegral<UINT>()};
                SendMessageA(
                    hDlg, WM_NOTIFY, static_cast<WPARAM>(id),
                    fdp.ConsumeIntegralInRange(0, 7) == 0 ? 0 : reinterpret_cast<LPARAM>(&nmhdr));
                break;
            }
            case 4: { // a command of any code from any control
                const int id = FuzzedControl(fdp);
                SendMessageA(hDlg, WM_COMMAND,
                             MAKEWPARAM(static_cast<WORD>(id), fdp.ConsumeIntegral<WORD>()),
                             reinterpret_cast<LPARAM>(GetDlgItem(hDlg, id)));
                break;
            }
            case 5:
                SendDlgItemMessageA(hDlg, IDC_INIT, BM_CLICK, 0, 0);
                break;
            case 6:
                page->IsPageDirty();
                page->Apply();
                break;
            default: { // another client changes a value; the frame shows the page anew
                chain.SetFuzzedSpeed(static_cast<fuzz::Speed>(fdp.ConsumeIntegralInRange(0, 2)),
                                     fdp);
                if (FAILED(page->Deactivate()) || FAILED(page->SetObjects(0, nullptr)) ||
                    FAILED(page->SetObjects(1, &pObject)) ||
                    FAILED(page->Activate(frame.hFrame, &kPageRect, FALSE)))
                    Broken("the page could not be shown again");
                hDlg = GetWindow(frame.hFrame, GW_CHILD);
                if (!hDlg)
                    Broken("the page has no dialog");
                for (const int id : {IDC_TEMPO_SLIDER, IDC_RATE_SLIDER, IDC_PITCH_SLIDER})
                    CheckShown(hDlg, prop, id);
                break;
            }
            }
            CheckFilter(prop);
            CheckSliders(hDlg);
        }
        page->Deactivate();
        page->SetObjects(0, nullptr);
        page->SetPageSite(nullptr);
        page.Reset();
        if (GetWindow(frame.hFrame, GW_CHILD))
            Broken("the page's dialog outlived the page");
        if (frame.site.References() != 1)
            Broken("the page kept its site");
    }
    fuzz::EndInput();
    return 0;
}
