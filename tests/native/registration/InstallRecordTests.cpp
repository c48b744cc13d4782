// The installation record's writer, called directly with chosen paths.
#include "RegistrationTest.h"

#include "InstallRecord.h"

class InstallRecord : public RegistrationTest {};

TEST_F(InstallRecord, PathOfUpTo254CharactersIsWrittenLongerIsNot) {
    const std::string fits(254, 'p');
    WriteInstallRecord(fits);
    // A later record with a longer path leaves that "Path" alone, in both hives, and still
    // writes the default values.
    RegDeleteKeyTree(RegHive::CurrentUser, kInstallKey);
    WriteInstallRecord(std::string(255, 'q'));
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallKey, ""), "VELO");
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, ""), "3,0,0,1");
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, "Path"), std::nullopt);
    EXPECT_EQ(ReadString(RegHive::LocalMachine, kInstallVersionKey, "Path"), fits);
}

TEST_F(InstallRecord, UnknownModulePathWritesNoPath) {
    WriteInstallRecord("");
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, ""), "3,0,0,1");
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, "Path"), std::nullopt);
}

TEST_F(InstallRecord, EachHiveOnItsOwn) {
    // A hive that cannot be written stops neither the other hive nor the later values.
    SetHiveWritable(RegHive::CurrentUser, false);
    WriteInstallRecord("/opt/velomix/Velomix.ax");
    EXPECT_FALSE(KeyExists(RegHive::CurrentUser, kInstallKey));
    EXPECT_EQ(ReadString(RegHive::LocalMachine, kInstallKey, ""), "VELO");
    EXPECT_EQ(ReadString(RegHive::LocalMachine, kInstallVersionKey, "Path"),
              "/opt/velomix/Velomix.ax");
    // Nothing of it lands below HKEY_CLASSES_ROOT: that is the framework's part.
    EXPECT_FALSE(KeyExists(RegHive::ClassesRoot, "CLSID"));
}
