// The native module's resources: what a Windows module's resource script compiles into, as
// C++ records that the dialog model (DialogModel.cpp) reads.
//
// A module that shows dialogs defines g_Resources next to its template table; its instance
// handle (ModuleInstance()) is then the address of that record, and CreateDialogParamA and
// LoadStringW look dialogs and strings up in it by number.
#pragma once

#include "dialog.h"

#include <cstddef>

// One control of a dialog template (a CONTROL line of an extended dialog template).
// Positions and sizes are in dialog units.
struct DialogItemResource {
    const char* szText;
    int id;
    const char* szClass; // "button", "edit", "static" or "msctls_trackbar32"
    DWORD style;
    short x, y, cx, cy;
    DWORD exStyle;
};

// A dialog template. The model does not render its font; dialog units convert to pixels with
// fixed base units (MapDialogRect).
struct DialogResource {
    WORD id;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    const DialogItemResource* pItems;
    size_t cItems;
};

struct StringResource {
    UINT id;
    const char* szText;
};

struct ModuleResources {
    const DialogResource* pDialogs;
    size_t cDialogs;
    const StringResource* pStrings;
    size_t cStrings;
};

// Defined by a module that shows dialogs (its counterpart of a compiled resource script).
extern const ModuleResources g_Resources;
