#pragma once

#include <string>

// Full path of the settings file "VELO.INI", computed once per filter object.
//
// Linux: the folder is ${XDG_CONFIG_HOME:-$HOME/.config}/Korvane/Player. XDG_CONFIG_HOME counts
// only when it is an absolute path, HOME likewise; without either, the home folder of the
// user's account is used. The folder is created when missing (mode 0700), even when no settings
// file exists; failing that changes nothing, the path is returned anyway.
//
// Windows (a UTF-8 path): on NT 6.0 and later the subfolder \Korvane\Player of the local
// application-data (low integrity) folder, created when missing; on earlier versions the folder of
// the module file ("Velomix.ax", else "VELO.ax", else the module holding this code).
//
// Returns the empty string when Linux knows no home folder at all (rather than a folder at the
// file system's root) and when memory runs out: reading from it gives the defaults. Throws
// nothing.
std::string SettingsFilePath();

// Makes sure `folder` exists: creates every missing parent and then the folder itself (mode 0700
// on Linux, for what it creates), ignoring errors along the way. Returns whether the folder
// exists now. Throws nothing.
bool EnsureFolderExists(const std::string& folder);
