// Registration driven from outside: the module file loaded as a host loads it, its
// DllRegisterServer / DllUnregisterServer called, the registry store (in a temporary folder
// per test) read back through the registry interface the way a registry tool reads it.
#pragma once

#include "HresultAssertions.h"

#include "ComPtr.h"
#include "IVelomixProp.h"
#include "ModuleLoader.h"
#include "Registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>

// The installation record's key, spelt out here as the registry shows it.
inline const char kInstallKey[] =
    "SOFTWARE\\Classes\\CLSID\\{8294CF21-9550-45fb-9CF4-E96E375D2964}";
inline const char kInstallVersionKey[] =
    "SOFTWARE\\Classes\\CLSID\\{8294CF21-9550-45fb-9CF4-E96E375D2964}\\InstalledVersion";

// Every key and value of a hive: "path" -> "name=type:bytes" lines.
using HiveDump = std::map<std::string, std::string>;

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static CModuleLoader& Module();
    // The store folder of this test, and the folder of one hive in it.
    const std::string& StoreFolder() const { return m_Store; }
    std::string HiveFolder(RegHive hive) const;
    // Makes a hive's folder read-only (or writable again), creating it first.
    void SetHiveWritable(RegHive hive, bool bWritable) const;

    // A REG_SZ value, or nothing when the key or value is missing (other types fail the test).
    static std::optional<std::string> ReadString(RegHive hive, const std::string& key,
                                                 const std::string& name);
    static bool KeyExists(RegHive hive, const std::string& key);
    static HiveDump Dump(RegHive hive);

    // The class key of a class identifier below HKEY_CLASSES_ROOT.
    static std::string ClassKey(REFCLSID clsid);
    // Whether the module serves the class (its DllGetClassObject gives a factory).
    static bool ModuleServes(REFCLSID clsid);

private:
    std::string m_Root;
    std::string m_Store;
};

// Writes a whole file; false when it cannot.
bool WriteWholeFile(const std::string& path, const std::string& text);
std::string ReadWholeFile(const std::string& path);
// Removes a folder tree (the test's temporary folders).
void RemoveTree(const std::string& path);
