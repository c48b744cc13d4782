// The module's installation record: a small key written below HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE at registration, beside the framework's entries. Nothing of the module
// reads it back; unregistration leaves it.
//
//   K = "SOFTWARE\Classes\CLSID\{8294CF21-9550-45fb-9CF4-E96E375D2964}" (no class we serve)
//   K                      (default) REG_SZ "VELO"
//   K\InstalledVersion     (default) REG_SZ "3,0,0,1"
//   K\InstalledVersion     "Path"    REG_SZ the module file's full path
#pragma once

#include <string>

// The key path K below either hive.
std::string InstallRecordKey();

// Writes the record in HKEY_CURRENT_USER, then in HKEY_LOCAL_MACHINE. Each value's key is
// created (full access) and closed, then opened for writing and the value set. A key that cannot
// be created or opened, a value that cannot be written and a text longer than 254 characters
// are skipped without a report; the other steps still run. An empty module path (the module's
// file could not be found) writes no "Path". Throws nothing.
void WriteInstallRecord(const std::string& modulePath) noexcept;
