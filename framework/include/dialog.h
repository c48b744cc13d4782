// Dialogs, common controls and property pages: on Windows the SDK headers, elsewhere the
// framework's declarations over its dialog model (posix/dialog_decl.h).
#pragma once

#include "com.h"

#ifdef _WIN32
#include <commctrl.h>
#else
#include "posix/dialog_decl.h"
#endif
