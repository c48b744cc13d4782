// Identifiers as registry text.
#pragma once

#include "com.h"

#include <string>

// "{43FF79DC-A363-4DA5-AD5C-2137A9343451}": upper case in braces, the form StringFromGUID2
// gives and the registry's class keys use.
std::string GuidString(REFGUID guid);
// Parses that form, in either case; false when the text is anything else.
bool ParseGuidString(const std::string& text, GUID* guid);
