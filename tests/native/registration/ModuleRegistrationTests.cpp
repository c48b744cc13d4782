// DllRegisterServer / DllUnregisterServer of the loaded module, read back from the store.
#include "RegistrationTest.h"

#include "FilterData.h"
#include "FilterMapper.h"
#include "GuidText.h"
#include "media.h"

#include <filesystem>

namespace {

struct ServedClass {
    const GUID* clsid;
    const char* name;
};
const ServedClass kClasses[] = {{&CLSID_Velomix, "Velomix"},
                                {&CLSID_VelomixProp1, "Velomix Property Page"}};

std::string ModulePath() {
    return std::filesystem::path(VELOMIX_MODULE_PATH).lexically_normal().string();
}

// A copy of the module file at exactly `length` characters of path, named `fileName`.
std::string CopyModuleTo(const std::string& root, size_t length, const std::string& fileName) {
    std::string folder = root;
    // Components of at most 100 characters until the rest fits into the last one.
    while (folder.size() + 1 + fileName.size() < length) {
        const size_t room = length - folder.size() - 1 - fileName.size() - 1;
        folder += '/' + std::string(std::min<size_t>(room ? room : 1, 100), 'd');
    }
    std::filesystem::create_directories(folder);
    const std::string path = folder + '/' + fileName;
    std::filesystem::copy_file(VELOMIX_MODULE_PATH, path);
    return path;
}

} // namespace

class ModuleRegistration : public RegistrationTest {};

TEST_F(ModuleRegistration, WritesServerKeysForEveryClassTheModuleServes) {
    ASSERT_TRUE(ModuleServes(CLSID_Velomix));
    ASSERT_HR(S_OK, Module().RegisterServer());

    for (const ServedClass& c : kClasses) {
        SCOPED_TRACE(c.name);
        if (!ModuleServes(*c.clsid)) {
            EXPECT_FALSE(KeyExists(RegHive::ClassesRoot, ClassKey(*c.clsid)))
                << "a class the module does not serve";
            continue;
        }
        EXPECT_EQ(ReadString(RegHive::ClassesRoot, ClassKey(*c.clsid), ""), c.name);
        EXPECT_EQ(ReadString(RegHive::ClassesRoot, ClassKey(*c.clsid) + "\\InprocServer32", ""),
                  ModulePath());
        EXPECT_EQ(ReadString(RegHive::ClassesRoot, ClassKey(*c.clsid) + "\\InprocServer32",
                             "ThreadingModel"),
                  "Both");
    }
    // The class keys are named in upper case, as "CLSID\%S" of the identifier in braces.
    CRegKey clsid;
    std::vector<std::string> names;
    ASSERT_EQ(clsid.OpenForRead(RegHive::ClassesRoot, "CLSID"), ERROR_SUCCESS);
    ASSERT_EQ(clsid.EnumSubkeys(&names), ERROR_SUCCESS);
    EXPECT_NE(std::find(names.begin(), names.end(), "{43FF79DC-A363-4DA5-AD5C-2137A9343451}"),
              names.end());
}

TEST_F(ModuleRegistration, FilterMapperEntryDescribesTheFilter) {
    ASSERT_HR(S_OK, Module().RegisterServer());

    const std::string entry = FilterInstanceKey(CLSID_Velomix);
    EXPECT_EQ(entry, "CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\{43FF79DC-A363-4DA5-"
                     "AD5C-2137A9343451}");
    EXPECT_EQ(ReadString(RegHive::ClassesRoot, entry, "FriendlyName"), "Velomix");
    EXPECT_EQ(ReadString(RegHive::ClassesRoot, entry, "CLSID"),
              "{43FF79DC-A363-4DA5-AD5C-2137A9343451}");

    CRegKey key;
    ASSERT_EQ(key.OpenForRead(RegHive::ClassesRoot, entry), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(key.QueryValue("FilterData", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{kRegBinary});
    FilterDataRecord record;
    ASSERT_TRUE(DecodeFilterData(data.data(), data.size(), &record));
    EXPECT_EQ(record.dwMerit, 0xFFFFFFFFu);
    ASSERT_EQ(record.pins.size(), 2u);
    // "Input" then "Output": neither rendered, zero nor many; one instance; audio PCM and
    // audio float each.
    EXPECT_EQ(record.pins[0].dwFlags, 0u);
    EXPECT_EQ(record.pins[1].dwFlags, kPinFlagOutput);
    for (const FilterDataPin& pin : record.pins) {
        EXPECT_EQ(pin.cInstances, 1u);
        ASSERT_EQ(pin.types.size(), 2u);
        EXPECT_EQ(pin.types[0], std::make_pair(MEDIATYPE_Audio, MEDIASUBTYPE_PCM));
        EXPECT_EQ(pin.types[1], std::make_pair(MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT));
    }

    for (const GUID& subtype : {MEDIASUBTYPE_PCM, MEDIASUBTYPE_IEEE_FLOAT}) {
        std::vector<FilterMapperEntry> found;
        ASSERT_HR(S_OK, FindFilterEntries(MEDIATYPE_Audio, subtype, &found));
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].clsid, CLSID_Velomix);
        EXPECT_EQ(found[0].name, "Velomix");
        EXPECT_EQ(found[0].dwMerit, 0xFFFFFFFFu);
    }
    std::vector<CLSID> video;
    ASSERT_HR(S_OK, FindFiltersByMediaType(MEDIATYPE_Video, GUID_NULL, &video));
    EXPECT_TRUE(video.empty());
}

TEST_F(ModuleRegistration, InstallationRecordInBothHives) {
    ASSERT_HR(S_OK, Module().RegisterServer());
    for (const RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine}) {
        SCOPED_TRACE(hive == RegHive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE");
        EXPECT_EQ(ReadString(hive, kInstallKey, ""), "VELO");
        EXPECT_EQ(ReadString(hive, kInstallVersionKey, ""), "3,0,0,1");
        EXPECT_EQ(ReadString(hive, kInstallVersionKey, "Path"), ModulePath());
        // The identifier keeps its mixed case ("45fb").
        CRegKey clsid;
        std::vector<std::string> names;
        ASSERT_EQ(clsid.OpenForRead(hive, "SOFTWARE\\Classes\\CLSID"), ERROR_SUCCESS);
        ASSERT_EQ(clsid.EnumSubkeys(&names), ERROR_SUCCESS);
        EXPECT_EQ(names, std::vector<std::string>{"{8294CF21-9550-45fb-9CF4-E96E375D2964}"});
    }
}

TEST_F(ModuleRegistration, MachineHiveNotWritableIsSkippedSilently) {
    SetHiveWritable(RegHive::LocalMachine, false);
    ASSERT_HR(S_OK, Module().RegisterServer());

    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallKey, ""), "VELO");
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, ""), "3,0,0,1");
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, "Path"), ModulePath());
    EXPECT_FALSE(KeyExists(RegHive::LocalMachine, kInstallKey));
    EXPECT_EQ(ReadString(RegHive::ClassesRoot, ClassKey(CLSID_Velomix), ""), "Velomix");
}

TEST_F(ModuleRegistration, FrameworkFailureIsTheResultAndTheRecordStays) {
    SetHiveWritable(RegHive::ClassesRoot, false);
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), Module().RegisterServer());

    for (const RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine}) {
        EXPECT_EQ(ReadString(hive, kInstallKey, ""), "VELO");
        EXPECT_EQ(ReadString(hive, kInstallVersionKey, "Path"), ModulePath());
    }
    EXPECT_FALSE(KeyExists(RegHive::ClassesRoot, ClassKey(CLSID_Velomix)));
}

TEST_F(ModuleRegistration, RegisteringTwiceChangesNothingAndReplacesTheMapperEntry) {
    ASSERT_HR(S_OK, Module().RegisterServer());
    const HiveDump classes = Dump(RegHive::ClassesRoot);
    const HiveDump user = Dump(RegHive::CurrentUser);
    const HiveDump machine = Dump(RegHive::LocalMachine);

    ASSERT_HR(S_OK, Module().RegisterServer());
    EXPECT_EQ(Dump(RegHive::ClassesRoot), classes);
    EXPECT_EQ(Dump(RegHive::CurrentUser), user);
    EXPECT_EQ(Dump(RegHive::LocalMachine), machine);

    // An entry changed since is replaced whole, not merged into.
    {
        CRegKey entry;
        ASSERT_EQ(entry.OpenForWrite(RegHive::ClassesRoot, FilterInstanceKey(CLSID_Velomix)),
                  ERROR_SUCCESS);
        ASSERT_EQ(entry.SetString("FriendlyName", std::string("Stale name")), ERROR_SUCCESS);
        ASSERT_EQ(entry.SetString("Stale", std::string("left over")), ERROR_SUCCESS);
    }
    ASSERT_HR(S_OK, Module().RegisterServer());
    EXPECT_EQ(Dump(RegHive::ClassesRoot), classes);
}

TEST_F(ModuleRegistration, UnregisterRemovesClassesAndMapperEntryButKeepsTheRecord) {
    ASSERT_HR(S_OK, Module().RegisterServer());
    const HiveDump user = Dump(RegHive::CurrentUser);
    const HiveDump machine = Dump(RegHive::LocalMachine);

    ASSERT_HR(S_OK, Module().UnregisterServer());
    for (const ServedClass& c : kClasses)
        EXPECT_FALSE(KeyExists(RegHive::ClassesRoot, ClassKey(*c.clsid))) << c.name;
    EXPECT_FALSE(KeyExists(RegHive::ClassesRoot, FilterInstanceKey(CLSID_Velomix)));
    for (const GUID& subtype : {MEDIASUBTYPE_PCM, MEDIASUBTYPE_IEEE_FLOAT}) {
        std::vector<CLSID> found;
        ASSERT_HR(S_OK, FindFiltersByMediaType(MEDIATYPE_Audio, subtype, &found));
        EXPECT_TRUE(found.empty());
    }
    EXPECT_EQ(Dump(RegHive::CurrentUser), user);
    EXPECT_EQ(Dump(RegHive::LocalMachine), machine);

    // Nothing registered: the mapper's "not found" counts as success.
    EXPECT_HR(S_OK, Module().UnregisterServer());
}

TEST_F(ModuleRegistration, UnregisterFailureLeavesTheClassKeys) {
    ASSERT_HR(S_OK, Module().RegisterServer());
    SetHiveWritable(RegHive::ClassesRoot, false);
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), Module().UnregisterServer());
    EXPECT_TRUE(KeyExists(RegHive::ClassesRoot, ClassKey(CLSID_Velomix)));
    EXPECT_TRUE(KeyExists(RegHive::ClassesRoot, FilterInstanceKey(CLSID_Velomix)));
}

TEST_F(ModuleRegistration, CorruptStoreGivesAClearErrorNotACrash) {
    SetHiveWritable(RegHive::ClassesRoot, true);
    ASSERT_TRUE(WriteWholeFile(HiveFolder(RegHive::ClassesRoot) + "/hive.reg",
                               "VELOMIX REGISTRY 1\n[CLSID]\n\"Name\" \"no equals sign\"\n"));

    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_BADDB), Module().RegisterServer());
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_BADDB), Module().UnregisterServer());
    const std::string problem = RegStoreProblem();
    EXPECT_NE(problem.find(HiveFolder(RegHive::ClassesRoot) + "/hive.reg:3:"), std::string::npos)
        << problem;
    EXPECT_NE(problem.find("'='"), std::string::npos) << problem;
    // The record is written before the framework's registration and is not undone.
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallKey, ""), "VELO");
}

TEST_F(ModuleRegistration, ModuleUnderItsSecondNameRecordsItsOwnPath) {
    const std::string path = CopyModuleTo(StoreFolder() + "/../copy", 0, "VELO.ax");
    CModuleLoader copy;
    ASSERT_TRUE(copy.Load(path)) << copy.Error();
    ASSERT_HR(S_OK, copy.RegisterServer());
    const std::string normal = std::filesystem::path(path).lexically_normal().string();
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, "Path"), normal);
    EXPECT_EQ(ReadString(RegHive::ClassesRoot, ClassKey(CLSID_Velomix) + "\\InprocServer32", ""),
              normal);
}

TEST_F(ModuleRegistration, LongModulePaths) {
    const std::string root = std::filesystem::path(StoreFolder()).parent_path().string();
    // 255 to 259 characters: no "Path" (longer than 254), but the server keys take it whole.
    {
        const std::string path = CopyModuleTo(root + "/a", 259, "Velomix.ax");
        ASSERT_EQ(path.size(), 259u);
        CModuleLoader copy;
        ASSERT_TRUE(copy.Load(path)) << copy.Error();
        ASSERT_HR(S_OK, copy.RegisterServer());
        EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, ""), "3,0,0,1");
        EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, "Path"), std::nullopt);
        EXPECT_EQ(
            ReadString(RegHive::ClassesRoot, ClassKey(CLSID_Velomix) + "\\InprocServer32", ""),
            path);
        ASSERT_HR(S_OK, copy.UnregisterServer());
    }
    // 260 and more do not fit the registration's buffer: a failure, not a cut path.
    {
        const std::string path = CopyModuleTo(root + "/b", 260, "Velomix.ax");
        ASSERT_EQ(path.size(), 260u);
        CModuleLoader copy;
        ASSERT_TRUE(copy.Load(path)) << copy.Error();
        EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), copy.RegisterServer());
        EXPECT_FALSE(KeyExists(RegHive::ClassesRoot, ClassKey(CLSID_Velomix)));
    }
}
