// Resource numbers of the property page (VelomixProp.rc; natively VelomixPropResources.cpp).
// Plain #defines: the resource compiler reads this file too.
#pragma once

#define IDD_VELOMIXPROP 101
#define IDS_VELOMIXPROP_TITLE 102
#define IDC_TEMPO_SLIDER 103
#define IDC_TEMPO_TEXT 104
#define IDC_RATE_SLIDER 105
#define IDC_RATE_TEXT 106
#define IDC_PITCH_SLIDER 107
#define IDC_PITCH_TEXT 108
#define IDC_INIT 1001
