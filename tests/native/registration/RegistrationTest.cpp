#include "RegistrationTest.h"

#include "GuidText.h"

#include <ftw.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

CModuleLoader& RegistrationTest::Module() {
    static CModuleLoader loader;
    if (!loader.Load(VELOMIX_MODULE_PATH))
        ADD_FAILURE() << loader.Error();
    return loader;
}

void RegistrationTest::SetUp() {
    char folder[] = "/tmp/velomix-registration-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    m_Root = folder;
    m_Store = m_Root + "/registry";
    // Never the user's own store; filters made by a test keep their settings folder here too.
    setenv("VELOMIX_REGISTRY_DIR", m_Store.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (m_Root + "/config").c_str(), 1);
    ASSERT_EQ(RegStoreFolder(), m_Store);
}

void RegistrationTest::TearDown() {
    // Read-only folders of a test must not stop the clean-up.
    for (const RegHive hive : {RegHive::ClassesRoot, RegHive::CurrentUser, RegHive::LocalMachine})
        chmod(HiveFolder(hive).c_str(), 0700);
    RemoveTree(m_Root);
    unsetenv("VELOMIX_REGISTRY_DIR");
}

std::string RegistrationTest::HiveFolder(RegHive hive) const {
    switch (hive) {
    case RegHive::ClassesRoot:
        return m_Store + "/classes";
    case RegHive::CurrentUser:
        return m_Store + "/user";
    case RegHive::LocalMachine:
        return m_Store + "/machine";
    }
    return {};
}

void RegistrationTest::SetHiveWritable(RegHive hive, bool bWritable) const {
    mkdir(m_Store.c_str(), 0700);
    mkdir(HiveFolder(hive).c_str(), 0700);
    ASSERT_EQ(chmod(HiveFolder(hive).c_str(), bWritable ? 0700 : 0500), 0);
}

std::optional<std::string> RegistrationTest::ReadString(RegHive hive, const std::string& key,
                                                        const std::string& name) {
    CRegKey k;
    if (k.OpenForRead(hive, key) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0;
    std::vector<BYTE> data;
    if (k.QueryValue(name, &type, &data) != ERROR_SUCCESS)
        return std::nullopt;
    EXPECT_EQ(type, DWORD{kRegSz}) << key << " " << name;
    // Stored as RegSetValueExA stores it: the text and one terminating zero.
    EXPECT_TRUE(!data.empty() && data.back() == 0) << key << " " << name;
    return data.empty() ? std::string() : std::string(data.begin(), data.end() - 1);
}

bool RegistrationTest::KeyExists(RegHive hive, const std::string& key) {
    CRegKey k;
    return k.OpenForRead(hive, key) == ERROR_SUCCESS;
}

namespace {

void DumpKey(RegHive hive, const std::string& path, HiveDump* out) {
    CRegKey key;
    ASSERT_EQ(key.OpenForRead(hive, path), ERROR_SUCCESS) << path;
    std::vector<std::string> values;
    ASSERT_EQ(key.EnumValues(&values), ERROR_SUCCESS);
    std::ostringstream text;
    for (const std::string& name : values) {
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_EQ(key.QueryValue(name, &type, &data), ERROR_SUCCESS);
        text << name << '=' << type << ':';
        for (const BYTE b : data)
            text << ' ' << static_cast<int>(b);
        text << '\n';
    }
    (*out)[path] = text.str();
    std::vector<std::string> subkeys;
    ASSERT_EQ(key.EnumSubkeys(&subkeys), ERROR_SUCCESS);
    for (const std::string& sub : subkeys)
        DumpKey(hive, path.empty() ? sub : path + '\\' + sub, out);
}

} // namespace

HiveDump RegistrationTest::Dump(RegHive hive) {
    HiveDump dump;
    DumpKey(hive, "", &dump);
    return dump;
}

std::string RegistrationTest::ClassKey(REFCLSID clsid) {
    return "CLSID\\" + GuidString(clsid);
}

bool RegistrationTest::ModuleServes(REFCLSID clsid) {
    ComPtr<IClassFactory> factory;
    const HRESULT hr =
        Module().GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    return SUCCEEDED(hr) && factory;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void RemoveTree(const std::string& path) {
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
}
