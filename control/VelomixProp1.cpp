#include "VelomixProp1.h"

#include "Settings.h"
#include "StretchTuning.h"
#include "resource.h"

#include <cwchar>
#include <new>

namespace {

constexpr int RoundToInt(double d) {
    return static_cast<int>(d + 0.5);
}

// Factor sliders step by kSpeedFactorLimits.dPageStep over the page's span: 100 positions per
// 1.0, position 0 at 0.05, 395 at 4.00.
constexpr int kFactorScale = RoundToInt(1.0 / kSpeedFactorLimits.dPageStep);
constexpr int kFactorOffset = RoundToInt(kSpeedFactorLimits.dPageMin * kFactorScale);
constexpr int kFactorMaxPos =
    RoundToInt(kSpeedFactorLimits.dPageMax * kFactorScale) - kFactorOffset;
// Pitch slider: one position per semitone, 0 at the lowest.
constexpr int kPitchMaxPos = kPitchLimits.nPageMax - kPitchLimits.nPageMin;
static_assert(kFactorMaxPos > 0 && kFactorMaxPos <= 0x7FFF && kPitchMaxPos > 0,
              "a trackbar range travels as two 16-bit halves");

double FactorFromPosition(LRESULT position) {
    return static_cast<double>(position + kFactorOffset) / kFactorScale;
}

// The position of the factor as the filter applies it (whole percent, the same on every build:
// x87 arithmetic put half the two-decimal factors one step low on 32-bit Windows), clamped as
// the trackbar would clamp.
LPARAM PositionFromFactor(double dFactor) {
    const long long position =
        static_cast<long long>(SpeedFactorToPercent(dFactor)) + kFactorScale - kFactorOffset;
    return static_cast<LPARAM>(position < 0               ? 0
                               : position > kFactorMaxPos ? kFactorMaxPos
                                                          : position);
}

LPARAM PositionFromPitch(int nPitch) {
    const long long position = static_cast<long long>(nPitch) - kPitchLimits.nPageMin;
    return static_cast<LPARAM>(position < 0              ? 0
                               : position > kPitchMaxPos ? kPitchMaxPos
                                                         : position);
}

void SetFactorText(HWND hwnd, int textId, double dFactor) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%01.01f", dFactor);
    SetDlgItemTextW(hwnd, textId, text);
}

void SetPitchText(HWND hwnd, int nPitch) {
    wchar_t text[16];
    std::swprintf(text, 16, L"%d", nPitch);
    SetDlgItemTextW(hwnd, IDC_PITCH_TEXT, text);
}

void ShowFactor(HWND hwnd, int sliderId, int textId, double dFactor) {
    SendDlgItemMessageW(hwnd, sliderId, TBM_SETPOS, TRUE, PositionFromFactor(dFactor));
    SetFactorText(hwnd, textId, dFactor);
}

void ShowPitch(HWND hwnd, int nPitch) {
    SendDlgItemMessageW(hwnd, IDC_PITCH_SLIDER, TBM_SETPOS, TRUE, PositionFromPitch(nPitch));
    SetPitchText(hwnd, nPitch);
}

} // namespace

CUnknown* CVelomixProp1::CreateInstance(IUnknown* pUnk, HRESULT* phr) {
    auto* pPage = new (std::nothrow) CVelomixProp1(pUnk);
    if (!pPage && phr)
        *phr = E_OUTOFMEMORY;
    return pPage;
}

CVelomixProp1::CVelomixProp1(IUnknown* pUnk) noexcept
    : CBasePropertyPage(nullptr, pUnk, IDD_VELOMIXPROP, IDS_VELOMIXPROP_TITLE) {}

HRESULT CVelomixProp1::OnConnect(IUnknown* pUnknown) {
    // Taking the interface releases one held from an earlier connection.
    const HRESULT hr =
        pUnknown->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&m_pSpeedProp));
    if (FAILED(hr) || !m_pSpeedProp) {
        m_pSpeedProp.Reset();
        return E_NOINTERFACE;
    }
    m_pSpeedProp->GetTempo(&m_dTempo);
    m_pSpeedProp->GetRate(&m_dRate);
    m_pSpeedProp->GetPitch(&m_nPitch);
    return S_OK;
}

HRESULT CVelomixProp1::OnDisconnect() {
    if (!m_pSpeedProp)
        return E_UNEXPECTED;
    m_pSpeedProp.Reset();
    return S_OK;
}

HRESULT CVelomixProp1::OnApplyChanges() {
    if (m_pSpeedProp) {
        m_pSpeedProp->SetTempo(m_dTempo);
        m_pSpeedProp->SetRate(m_dRate);
        m_pSpeedProp->SetPitch(m_nPitch);
        m_bDirty = false;
    }
    return S_OK;
}

INT_PTR CVelomixProp1::OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        InitDialog(hwnd);
        break;
    case WM_NOTIFY:
        if (lParam)
            OnSliderReleased(hwnd, *reinterpret_cast<const NMHDR*>(lParam));
        break;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDC_INIT)
            OnInitButton(hwnd);
        break;
    default:
        break;
    }
    return CBasePropertyPage::OnReceiveMessage(hwnd, uMsg, wParam, lParam);
}

void CVelomixProp1::InitDialog(HWND hwnd) {
    SendDlgItemMessageW(hwnd, IDC_TEMPO_SLIDER, TBM_SETRANGE, FALSE, MAKELPARAM(0, kFactorMaxPos));
    ShowFactor(hwnd, IDC_TEMPO_SLIDER, IDC_TEMPO_TEXT, m_dTempo);
    SendDlgItemMessageW(hwnd, IDC_RATE_SLIDER, TBM_SETRANGE, FALSE, MAKELPARAM(0, kFactorMaxPos));
    ShowFactor(hwnd, IDC_RATE_SLIDER, IDC_RATE_TEXT, m_dRate);
    SendDlgItemMessageW(hwnd, IDC_PITCH_SLIDER, TBM_SETRANGE, FALSE, MAKELPARAM(0, kPitchMaxPos));
    ShowPitch(hwnd, m_nPitch);
    if (!m_pSpeedProp) {
        // Refused object: the page shows its own values but offers nothing to change.
        for (int id : {IDC_TEMPO_SLIDER, IDC_RATE_SLIDER, IDC_PITCH_SLIDER, IDC_INIT})
            EnableWindow(GetDlgItem(hwnd, id), FALSE);
    }
}

void CVelomixProp1::OnSliderReleased(HWND hwnd, const NMHDR& nmhdr) {
    if (nmhdr.code != NM_RELEASEDCAPTURE || !m_pSpeedProp)
        return;
    // A value the filter refuses (its combination with values another client set leaves the
    // speed envelope) is taken back: the slider and the text show the value in force.
    switch (nmhdr.idFrom) {
    case IDC_TEMPO_SLIDER:
        m_dTempo = FactorFromPosition(SendMessageW(nmhdr.hwndFrom, TBM_GETPOS, 0, 0));
        SetFactorText(hwnd, IDC_TEMPO_TEXT, m_dTempo);
        if (FAILED(m_pSpeedProp->SetTempo(m_dTempo)) &&
            SUCCEEDED(m_pSpeedProp->GetTempo(&m_dTempo)))
            ShowFactor(hwnd, IDC_TEMPO_SLIDER, IDC_TEMPO_TEXT, m_dTempo);
        break;
    case IDC_RATE_SLIDER:
        m_dRate = FactorFromPosition(SendMessageW(nmhdr.hwndFrom, TBM_GETPOS, 0, 0));
        SetFactorText(hwnd, IDC_RATE_TEXT, m_dRate);
        if (FAILED(m_pSpeedProp->SetRate(m_dRate)) && SUCCEEDED(m_pSpeedProp->GetRate(&m_dRate)))
            ShowFactor(hwnd, IDC_RATE_SLIDER, IDC_RATE_TEXT, m_dRate);
        break;
    case IDC_PITCH_SLIDER:
        m_nPitch = static_cast<int>(SendMessageW(nmhdr.hwndFrom, TBM_GETPOS, 0, 0)) +
                   kPitchLimits.nPageMin;
        SetPitchText(hwnd, m_nPitch);
        if (FAILED(m_pSpeedProp->SetPitch(m_nPitch)) &&
            SUCCEEDED(m_pSpeedProp->GetPitch(&m_nPitch)))
            ShowPitch(hwnd, m_nPitch);
        break;
    default:
        break;
    }
}

void CVelomixProp1::OnInitButton(HWND hwnd) {
    if (!m_pSpeedProp)
        return;
    m_dTempo = 1.0;
    m_dRate = 1.0;
    m_nPitch = 0;
    ShowFactor(hwnd, IDC_TEMPO_SLIDER, IDC_TEMPO_TEXT, m_dTempo);
    ShowFactor(hwnd, IDC_RATE_SLIDER, IDC_RATE_TEXT, m_dRate);
    ShowPitch(hwnd, m_nPitch);
    m_pSpeedProp->SetTempo(m_dTempo);
    m_pSpeedProp->SetRate(m_dRate);
    m_pSpeedProp->SetPitch(m_nPitch);
}
