// The native registry store through Registry.h: Windows' key and value semantics, its file,
// damaged files, and writers in several processes.
#include "RegistrationTest.h"

#include "posix/RegistryStore.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>

class RegistryStore : public RegistrationTest {
protected:
    std::string HiveFile(RegHive hive) const { return HiveFolder(hive) + "/hive.reg"; }
};

TEST_F(RegistryStore, KeysAndValueNamesIgnoreCaseAndKeepTheirFirstSpelling) {
    CRegKey key;
    ASSERT_EQ(key.Create(RegHive::CurrentUser, "Software\\Korvane\\Player"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("Mode", std::string("fast")), ERROR_SUCCESS);

    CRegKey again;
    ASSERT_EQ(again.Create(RegHive::CurrentUser, "SOFTWARE\\korvane\\PLAYER\\Sub"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("MODE", std::string("slow")), ERROR_SUCCESS);

    EXPECT_EQ(ReadString(RegHive::CurrentUser, "software\\KORVANE\\player", "mode"), "slow");
    CRegKey root;
    std::vector<std::string> names;
    ASSERT_EQ(root.OpenForRead(RegHive::CurrentUser, ""), ERROR_SUCCESS);
    ASSERT_EQ(root.EnumSubkeys(&names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::string>{"Software"});
    CRegKey player;
    ASSERT_EQ(player.OpenForRead(RegHive::CurrentUser, "software\\korvane\\player"), ERROR_SUCCESS);
    ASSERT_EQ(player.EnumSubkeys(&names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::string>{"Sub"});
    ASSERT_EQ(player.EnumValues(&names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::string>{"Mode"});
}

TEST_F(RegistryStore, ValuesKeepTypeAndBytesExactly) {
    CRegKey key;
    ASSERT_EQ(key.Create(RegHive::CurrentUser, "Types"), ERROR_SUCCESS);
    const BYTE binary[] = {0x00, 0xFF, 0x0A, 0x22, 0x5C};
    const BYTE dword[] = {0x78, 0x56, 0x34, 0x12};
    const BYTE oddString[] = {'a', 0, 'b', 0}; // REG_SZ with an inner zero
    const BYTE unterminated[] = {'x', 'y'};
    const std::string quoted = "say \"hi\"\\ \t\x7f \xc3\xa9";
    ASSERT_EQ(key.SetValue("Binary", kRegBinary, binary, sizeof(binary)), ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue("Dword", kRegDword, dword, sizeof(dword)), ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue("Odd", kRegSz, oddString, sizeof(oddString)), ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue("Unterminated", kRegSz, unterminated, sizeof(unterminated)),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue("Empty", kRegBinary, nullptr, 0), ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue("Type 7", 7, dword, 3), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("Quoted \"name\"", quoted), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("Wide", L"Gr\u00fc\u00dfe \u266b"), ERROR_SUCCESS);

    struct Expected {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    } expected[] = {
        {"Binary", kRegBinary, {binary, binary + sizeof(binary)}},
        {"Dword", kRegDword, {dword, dword + 4}},
        {"Odd", kRegSz, {oddString, oddString + sizeof(oddString)}},
        {"Unterminated", kRegSz, {unterminated, unterminated + 2}},
        {"Empty", kRegBinary, {}},
        {"Type 7", 7, {dword, dword + 3}},
        {"Quoted \"name\"", kRegSz, {}},
        {"Wide", kRegSz, {}},
    };
    expected[6].data.assign(quoted.begin(), quoted.end());
    expected[6].data.push_back(0);
    const std::string wideUtf8 = "Gr\xc3\xbc\xc3\x9f"
                                 "e \xe2\x99\xab";
    expected[7].data.assign(wideUtf8.begin(), wideUtf8.end());
    expected[7].data.push_back(0);

    // Read back by a fresh handle, i.e. from the file.
    CRegKey reader;
    ASSERT_EQ(reader.OpenForRead(RegHive::CurrentUser, "types"), ERROR_SUCCESS);
    for (const Expected& e : expected) {
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_EQ(reader.QueryValue(e.name, &type, &data), ERROR_SUCCESS) << e.name;
        EXPECT_EQ(type, e.type) << e.name;
        EXPECT_EQ(data, e.data) << e.name;
    }
    std::string text;
    EXPECT_EQ(reader.QueryString("Odd", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "a");
    EXPECT_EQ(reader.QueryString("Binary", &text), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(reader.QueryValue("Missing", nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryStore, OpenDeleteAndHandleErrors) {
    CRegKey key;
    EXPECT_EQ(key.OpenForWrite(RegHive::CurrentUser, "Nowhere"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(key.SetString("x", std::string("y")), ERROR_INVALID_HANDLE);
    EXPECT_EQ(key.Create(RegHive::CurrentUser, "Bad\\\\Path"), ERROR_BAD_PATHNAME);
    EXPECT_EQ(key.Create(RegHive::CurrentUser, ""), ERROR_BAD_PATHNAME);

    ASSERT_EQ(key.Create(RegHive::CurrentUser, "Tree\\Branch\\Leaf"), ERROR_SUCCESS);
    CRegKey sibling;
    ASSERT_EQ(sibling.Create(RegHive::CurrentUser, "TreeHouse"), ERROR_SUCCESS);
    CRegKey reader;
    ASSERT_EQ(reader.OpenForRead(RegHive::CurrentUser, "Tree\\Branch\\Leaf"), ERROR_SUCCESS);
    EXPECT_EQ(reader.SetString("x", std::string("y")), ERROR_ACCESS_DENIED);

    EXPECT_EQ(RegDeleteKeyTree(RegHive::CurrentUser, "tree\\branch"), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(RegHive::CurrentUser, "Tree\\Branch"));
    EXPECT_TRUE(KeyExists(RegHive::CurrentUser, "Tree"));
    EXPECT_TRUE(KeyExists(RegHive::CurrentUser, "TreeHouse"));
    // A handle to a deleted key answers as Windows does.
    EXPECT_EQ(key.SetString("x", std::string("y")), ERROR_KEY_DELETED);
    EXPECT_EQ(reader.QueryValue("x", nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyTree(RegHive::CurrentUser, "Tree\\Branch"), ERROR_FILE_NOT_FOUND);
}

namespace {

// "P0\P1\...": a path of the given depth.
std::string DeepPath(size_t depth, const std::string& part = "P") {
    std::string path;
    for (size_t i = 0; i < depth; ++i)
        path += (i ? "\\" : "") + part + std::to_string(i);
    return path;
}

} // namespace

TEST_F(RegistryStore, DeepKeysStayWithinTheLimitsAndCostTheirLength) {
    const std::string deepest = DeepPath(512);
    CRegKey key;
    ASSERT_EQ(key.Create(RegHive::CurrentUser, deepest), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("v", std::string("deep")), ERROR_SUCCESS);
    EXPECT_EQ(ReadString(RegHive::CurrentUser, deepest, "v"), "deep");
    // The parents are implied by the one key line, not written out one line each.
    const std::string file = ReadWholeFile(HiveFile(RegHive::CurrentUser));
    EXPECT_LT(file.size(), deepest.size() + 200) << file.size();
    EXPECT_TRUE(KeyExists(RegHive::CurrentUser, DeepPath(300)));

    CRegKey refused;
    EXPECT_EQ(refused.Create(RegHive::CurrentUser, DeepPath(513)), ERROR_BAD_PATHNAME);
    EXPECT_EQ(refused.Create(RegHive::CurrentUser, "A\\" + std::string(256, 'x')),
              ERROR_BAD_PATHNAME);
    ASSERT_EQ(refused.Create(RegHive::CurrentUser, "A\\" + std::string(255, 'x')), ERROR_SUCCESS);
    EXPECT_EQ(ReadString(RegHive::CurrentUser, deepest, "v"), "deep");
}

TEST_F(RegistryStore, AnAbsurdKeyInTheFileIsSkippedAndTheRestServes) {
    const std::string text = "VELOMIX REGISTRY 1\n"
                             "[Kept]\n\"v\"=\"1\"\n"
                             "[" +
                             DeepPath(600) +
                             "]\n\"w\"=\"2\"\n"
                             "[Long\\" +
                             std::string(300, 'y') +
                             "]\n"
                             "[Also]\n@=\"3\"\n";
    CRegKey folder;
    ASSERT_EQ(folder.Create(RegHive::CurrentUser, "Made"), ERROR_SUCCESS);
    ASSERT_TRUE(WriteWholeFile(HiveFile(RegHive::CurrentUser), text));

    EXPECT_EQ(ReadString(RegHive::CurrentUser, "Kept", "v"), "1");
    EXPECT_EQ(ReadString(RegHive::CurrentUser, "Also", ""), "3");
    EXPECT_FALSE(KeyExists(RegHive::CurrentUser, "P0"));
    EXPECT_FALSE(KeyExists(RegHive::CurrentUser, "Long"));
    const std::string problem = RegStoreProblem();
    EXPECT_NE(problem.find(HiveFile(RegHive::CurrentUser) + ":4: key skipped"), std::string::npos)
        << problem;

    // The store still changes, and the next change leaves the absurd lines out.
    CRegKey key;
    ASSERT_EQ(key.Create(RegHive::CurrentUser, "New"), ERROR_SUCCESS);
    EXPECT_EQ(RegStoreProblem(), "");
    EXPECT_EQ(ReadString(RegHive::CurrentUser, "Kept", "v"), "1");
    EXPECT_EQ(ReadWholeFile(HiveFile(RegHive::CurrentUser)).find("P599"), std::string::npos);
}

TEST_F(RegistryStore, AHiveHoldsAtMostItsKeyLimit) {
    // One key more than a hive may hold, the last listed one with a value.
    std::string text = "VELOMIX REGISTRY 1\n";
    for (int n = 0; n < 100000; ++n)
        text += "[K" + std::to_string(n) + "]\n";
    text += "[Over]\n\"v\"=\"1\"\n";

    regstore::CHive hive;
    std::string problem;
    std::vector<std::string> notes;
    ASSERT_TRUE(hive.Parse(text, &problem, &notes)) << problem;
    EXPECT_TRUE(hive.Find("K99999"));
    EXPECT_FALSE(hive.Find("Over"));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].find("line 100002: key skipped"), 0u) << notes[0];
    EXPECT_FALSE(hive.HasRoomFor({"Another"}));
    EXPECT_FALSE(hive.HasRoomFor({"K5", "Sub"}));
    EXPECT_TRUE(hive.HasRoomFor({"k5"}));
    ASSERT_TRUE(hive.DeleteTree("K1"));
    EXPECT_TRUE(hive.HasRoomFor({"Another"}));

    // Through the store: the full hive refuses a new key and stays readable.
    CRegKey key;
    ASSERT_EQ(key.Create(RegHive::CurrentUser, "K0"), ERROR_SUCCESS);
    ASSERT_TRUE(WriteWholeFile(HiveFile(RegHive::CurrentUser), text));
    EXPECT_EQ(key.Create(RegHive::CurrentUser, "Another"), ERROR_REGISTRY_QUOTA_LIMIT);
}

TEST_F(RegistryStore, ReadOnlyHiveRefusesChangesButReads) {
    CRegKey key;
    ASSERT_EQ(key.Create(RegHive::LocalMachine, "SOFTWARE\\Fixed"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("", std::string("kept")), ERROR_SUCCESS);
    SetHiveWritable(RegHive::LocalMachine, false);

    // Also for an existing key, and also when this process could write there (root).
    CRegKey again;
    EXPECT_EQ(again.Create(RegHive::LocalMachine, "SOFTWARE\\Fixed"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(again.OpenForWrite(RegHive::LocalMachine, "SOFTWARE\\Fixed"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key.SetString("", std::string("changed")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyTree(RegHive::LocalMachine, "SOFTWARE"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadString(RegHive::LocalMachine, "SOFTWARE\\Fixed", ""), "kept");

    SetHiveWritable(RegHive::LocalMachine, true);
    EXPECT_EQ(key.SetString("", std::string("changed")), ERROR_SUCCESS);
}

TEST_F(RegistryStore, UnchangedWritesLeaveTheFileAlone) {
    CRegKey key;
    ASSERT_EQ(key.Create(RegHive::CurrentUser, "Same"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("v", std::string("1")), ERROR_SUCCESS);
    struct stat before {};
    ASSERT_EQ(stat(HiveFile(RegHive::CurrentUser).c_str(), &before), 0);
    ASSERT_EQ(key.Create(RegHive::CurrentUser, "Same"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("v", std::string("1")), ERROR_SUCCESS);
    struct stat after {};
    ASSERT_EQ(stat(HiveFile(RegHive::CurrentUser).c_str(), &after), 0);
    // Every real change replaces the file (a new inode); none happened.
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(RegistryStore, DamagedFilesAreRefusedWithTheirPlace) {
    CRegKey key;
    ASSERT_EQ(key.Create(RegHive::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}"),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("", std::string("A \"quoted\" name")), ERROR_SUCCESS);
    const BYTE blob[] = {1, 2, 3, 250};
    ASSERT_EQ(key.SetValue("Blob", kRegBinary, blob, sizeof(blob)), ERROR_SUCCESS);
    const std::string good = ReadWholeFile(HiveFile(RegHive::ClassesRoot));

    const struct {
        const char* text;
        const char* where;
    } damaged[] = {
        {"", ":1:"},
        {"garbage\n", ":1:"},
        {"VELOMIX REGISTRY 1\n@=\"value before any key\"\n", ":2:"},
        {"VELOMIX REGISTRY 1\n[Unclosed\n", ":2:"},
        {"VELOMIX REGISTRY 1\n[A\\\\B]\n", ":2:"},
        {"VELOMIX REGISTRY 1\n[A]\n\"v\"=dword:xyz\n", ":3:"},
        {"VELOMIX REGISTRY 1\n[A]\n\"v\"=hex:0g\n", ":3:"},
        {"VELOMIX REGISTRY 1\n[A]\n\"v\"=\"unterminated\n", ":3:"},
        {"VELOMIX REGISTRY 1\n[A]\n\"v\"=\"bad \\q escape\"\n", ":3:"},
        {"VELOMIX REGISTRY 1\n[A]\n\"v\"=\"1\"\n\"V\"=\"2\"\n", ":4:"},
        {"VELOMIX REGISTRY 1\n[A]\n; comment\n\n[a]\n", ":5:"},
    };
    for (const auto& d : damaged) {
        SCOPED_TRACE(d.text);
        ASSERT_TRUE(WriteWholeFile(HiveFile(RegHive::ClassesRoot), d.text));
        CRegKey k;
        EXPECT_EQ(k.OpenForRead(RegHive::ClassesRoot, "CLSID"), ERROR_BADDB);
        EXPECT_EQ(k.Create(RegHive::ClassesRoot, "CLSID"), ERROR_BADDB);
        const std::string problem = RegStoreProblem();
        EXPECT_NE(problem.find(HiveFile(RegHive::ClassesRoot) + d.where), std::string::npos)
            << problem;
        // A refused change does not replace the damaged file with anything.
        EXPECT_EQ(ReadWholeFile(HiveFile(RegHive::ClassesRoot)), d.text);
    }

    // Every cut of a good file and random damage either reads or is refused: never a crash.
    std::mt19937 random(1234);
    for (size_t cut = 0; cut <= good.size(); ++cut) {
        std::string text = good.substr(0, cut);
        if (cut % 3 == 0 && !text.empty())
            text[random() % text.size()] = static_cast<char>(random());
        ASSERT_TRUE(WriteWholeFile(HiveFile(RegHive::ClassesRoot), text));
        CRegKey k;
        const LONG result = k.OpenForRead(RegHive::ClassesRoot, "");
        EXPECT_TRUE(result == ERROR_SUCCESS || result == ERROR_BADDB) << result;
    }
    ASSERT_TRUE(WriteWholeFile(HiveFile(RegHive::ClassesRoot), good));
    EXPECT_EQ(RegStoreProblem(), "");
    EXPECT_EQ(ReadString(RegHive::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}", ""),
              "A \"quoted\" name");
}

TEST_F(RegistryStore, WriterThatDiedLeavesTheHiveIntact) {
    CRegKey key;
    ASSERT_EQ(key.Create(RegHive::CurrentUser, "Kept"), ERROR_SUCCESS);
    // What a writer leaves when it dies before its rename: a partial file beside the hive.
    const std::string leftover = HiveFolder(RegHive::CurrentUser) + "/hive.reg.Ab12Cd";
    ASSERT_TRUE(WriteWholeFile(leftover, "VELOMIX REGISTRY 1\n[Kept]\n\"half"));
    EXPECT_TRUE(KeyExists(RegHive::CurrentUser, "Kept"));
    EXPECT_EQ(RegStoreProblem(), "");
    // The next writer clears it away.
    ASSERT_EQ(key.SetString("", std::string("v")), ERROR_SUCCESS);
    EXPECT_NE(access(leftover.c_str(), F_OK), 0);
}

namespace {

// Runs body in a child process; returns its exit status (0 when body returned true).
pid_t Spawn(const std::function<bool()>& body) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body() ? 0 : 1);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

TEST_F(RegistryStore, WritersInSeveralProcessesLoseNothing) {
    constexpr int kPerWriter = 40;
    auto writer = [](char tag) {
        return [tag]() {
            for (int i = 0; i < kPerWriter; ++i) {
                CRegKey key;
                if (key.Create(RegHive::CurrentUser, "Shared\\Key") != ERROR_SUCCESS ||
                    key.SetString(std::string(1, tag) + std::to_string(i), std::string("v")) !=
                        ERROR_SUCCESS)
                    return false;
            }
            return true;
        };
    };
    // A reader all the while: every state it sees is a whole hive.
    auto reader = []() {
        for (int i = 0; i < 1000; ++i) {
            CRegKey key;
            const LONG result = key.OpenForRead(RegHive::CurrentUser, "");
            if (result != ERROR_SUCCESS)
                return false;
        }
        return true;
    };
    const pid_t a = Spawn(writer('a'));
    const pid_t b = Spawn(writer('b'));
    const pid_t r = Spawn(reader);
    EXPECT_EQ(Wait(a), 0);
    EXPECT_EQ(Wait(b), 0);
    EXPECT_EQ(Wait(r), 0);

    CRegKey key;
    std::vector<std::string> names;
    ASSERT_EQ(key.OpenForRead(RegHive::CurrentUser, "Shared\\Key"), ERROR_SUCCESS);
    ASSERT_EQ(key.EnumValues(&names), ERROR_SUCCESS);
    EXPECT_EQ(names.size(), 2u * kPerWriter);
}

TEST_F(RegistryStore, ConcurrentModuleRegistrationsFromTwoProcesses) {
    Module(); // loaded before the fork: both children use it
    auto registerMany = []() {
        for (int i = 0; i < 5; ++i) {
            const HRESULT hr = Module().RegisterServer();
            if (hr != S_OK) {
                std::fprintf(stderr, "registration %d: %s\n", i, Hex(hr).c_str());
                return false;
            }
        }
        return true;
    };
    const pid_t a = Spawn(registerMany);
    const pid_t b = Spawn(registerMany);
    EXPECT_EQ(Wait(a), 0);
    EXPECT_EQ(Wait(b), 0);

    EXPECT_EQ(RegStoreProblem(), "");
    EXPECT_EQ(ReadString(RegHive::ClassesRoot, ClassKey(CLSID_Velomix), ""), "Velomix");
    EXPECT_EQ(ReadString(RegHive::CurrentUser, kInstallVersionKey, ""), "3,0,0,1");
    // The same store as one registration makes.
    const HiveDump classes = Dump(RegHive::ClassesRoot);
    ASSERT_HR(S_OK, Module().RegisterServer());
    EXPECT_EQ(Dump(RegHive::ClassesRoot), classes);
}
