// The native build's resources of the module: the property page's dialog and title as
// VelomixProp.rc lists them (no resource compiler here). A page test reads the script and
// checks the dialog made from these records against it.
#include "resource.h"
#include "posix/DialogModel.h"

namespace {

constexpr DWORD kGroupBox = 0x50000007;
constexpr DWORD kTrackbar = 0x50010011;
constexpr DWORD kEdit = 0x58810081;
constexpr DWORD kButton = 0x50010000;

const DialogItemResource kPageItems[] = {
    {"Tempo", -1, "button", kGroupBox, 8, 5, 179, 34, 0},
    {"", IDC_TEMPO_SLIDER, "msctls_trackbar32", kTrackbar, 13, 18, 143, 8, 0},
    {"", IDC_TEMPO_TEXT, "edit", kEdit, 160, 16, 21, 12, 0},
    {"Init", IDC_INIT, "button", kButton, 146, 121, 40, 12, 0},
    {"Rate", -1, "button", kGroupBox, 8, 43, 179, 34, 0},
    {"", IDC_RATE_SLIDER, "msctls_trackbar32", kTrackbar, 13, 56, 143, 8, 0},
    {"", IDC_RATE_TEXT, "edit", kEdit, 160, 54, 21, 12, 0},
    {"Pitch", -1, "button", kGroupBox, 8, 83, 179, 34, 0},
    {"", IDC_PITCH_SLIDER, "msctls_trackbar32", kTrackbar, 13, 96, 143, 8, 0},
    {"", IDC_PITCH_TEXT, "edit", kEdit, 160, 94, 21, 12, 0},
};

const DialogResource kDialogs[] = {
    {IDD_VELOMIXPROP, 0x40080040, 0, 0, 0, 192, 138, kPageItems,
     sizeof(kPageItems) / sizeof(kPageItems[0])},
};

const StringResource kStrings[] = {
    {IDS_VELOMIXPROP_TITLE, "Speed Prop"},
};

} // namespace

const ModuleResources g_Resources = {kDialogs, sizeof(kDialogs) / sizeof(kDialogs[0]), kStrings,
                                     sizeof(kStrings) / sizeof(kStrings[0])};
