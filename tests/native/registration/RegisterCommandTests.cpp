// `velomix register | unregister`: the command's body against the built module.
#include "RegistrationTest.h"

#include "RegisterCommand.h"

#include <filesystem>

namespace {

struct CommandRun {
    int code;
    std::string out;
    std::string err;
};

CommandRun RunCommand(bool bRegister, const std::string& path) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    CommandRun r{};
    r.code = RunRegisterCommand(bRegister, path);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

} // namespace

class RegisterCommand : public RegistrationTest {};

TEST_F(RegisterCommand, RegisterReportsWhatTheRegistryNowHolds) {
    const std::string module =
        std::filesystem::path(VELOMIX_MODULE_PATH).lexically_normal().string();
    const CommandRun r = RunCommand(true, VELOMIX_MODULE_PATH);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Registered " + std::string(VELOMIX_MODULE_PATH)), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(StoreFolder()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("class {43FF79DC-A363-4DA5-AD5C-2137A9343451} \"Velomix\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("filter-mapper entry \"Velomix\", merit 0xFFFFFFFF"), std::string::npos)
        << r.out;
    EXPECT_EQ(ReadString(RegHive::ClassesRoot, ClassKey(CLSID_Velomix) + "\\InprocServer32", ""),
              module);

    const CommandRun u = RunCommand(false, VELOMIX_MODULE_PATH);
    EXPECT_EQ(u.code, 0) << u.err;
    EXPECT_NE(u.out.find("Unregistered"), std::string::npos) << u.out;
    EXPECT_FALSE(KeyExists(RegHive::ClassesRoot, ClassKey(CLSID_Velomix)));
}

TEST_F(RegisterCommand, FailuresSayWhatAndWhere) {
    SetHiveWritable(RegHive::ClassesRoot, true);
    const std::string hive = HiveFolder(RegHive::ClassesRoot) + "/hive.reg";
    ASSERT_TRUE(WriteWholeFile(hive, "VELOMIX REGISTRY 1\n[CLSID\n"));
    const CommandRun r = RunCommand(true, VELOMIX_MODULE_PATH);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("0x800703F1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("corrupt"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(hive + ":2:"), std::string::npos) << r.err;

    const CommandRun missing = RunCommand(false, StoreFolder() + "/no/such/Velomix.ax");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("Velomix.ax"), std::string::npos) << missing.err;
}
