// CVelomixProp1: the speed filter's property page. Three sliders set the filter's tempo
// factor, rate factor and pitch shift; "Init" restores 1.0, 1.0 and 0.
//
// The page reaches the filter only through IVelomixProp. It reads the filter's values once, in
// OnConnect, and sends a value the moment its slider is released (WM_NOTIFY NM_RELEASEDCAPTURE),
// so it is never dirty and the frame's Apply has nothing to do. A slider moved without a
// release of the mouse (keyboard, TBM_SETPOS) changes neither the text nor the filter.
//
// Slider scales (resource numbers in resource.h):
//   tempo 103 / rate 105: positions 0..395, factor = (position + 5) / 100 (0.05 to 4.00,
//     1.00 at 95); text in 104 / 106 with "%01.01f". A factor outside the span puts the slider
//     at the end of its range while the text shows the factor itself.
//   pitch 107: positions 0..20, semitones = position - 10; text in 108 with "%d".
//
// An object without IVelomixProp is refused (E_NOINTERFACE); the frame still shows the page,
// then with its sliders and "Init" disabled, and no handler calls anything.
//
// Threads: the frame's window thread only; no lock of its own (the filter's setters lock).
#pragma once

#include "IVelomixProp.h"
#include "PropertyPage.h"

class CVelomixProp1 : public CBasePropertyPage {
public:
    // The create function of the module's template table.
    static CUnknown* CreateInstance(IUnknown* pUnk, HRESULT* phr);

private:
    explicit CVelomixProp1(IUnknown* pUnk) noexcept;
    // Releases the filter even when the frame never called SetObjects(0, nullptr).
    ~CVelomixProp1() override = default;

    // Takes IVelomixProp (E_NOINTERFACE without it) and copies the filter's three values.
    HRESULT OnConnect(IUnknown* pUnknown) override;
    // Releases the filter; E_UNEXPECTED when none is held.
    HRESULT OnDisconnect() override;
    // Sends the page's three values (tempo, rate, pitch) and clears m_bDirty; S_OK always.
    HRESULT OnApplyChanges() override;
    // WM_INITDIALOG, NM_RELEASEDCAPTURE from the sliders, BN_CLICKED from "Init"; then the
    // base's answer for every message.
    INT_PTR OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;

    void InitDialog(HWND hwnd);
    void OnSliderReleased(HWND hwnd, const NMHDR& nmhdr);
    void OnInitButton(HWND hwnd);

    double m_dTempo = 1.0;
    double m_dRate = 1.0;
    int m_nPitch = 0;
    ComPtr<IVelomixProp> m_pSpeedProp; // the connected filter, or null
};
