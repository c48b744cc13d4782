// Where velomix writes OUT: who owns the result and with which mode, what a killed run leaves
// behind, hard links, pipes, and when OUT counts as IN. The rules (COutputFile) are tried in
// this process where a run cannot reach a case; the rest through the tool as a user runs it.
#include "OutputFile.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace tooltest;

namespace {

// Another user for the tests that run as root: "nobody" and its group, by number.
constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;

// Owner, group and mode with the set-ID and sticky bits.
struct Owned {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bool operator==(const Owned& o) const { return uid == o.uid && gid == o.gid && mode == o.mode; }
};

::std::ostream& operator<<(::std::ostream& os, const Owned& o) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(o.mode));
    return os << o.uid << ":" << o.gid << " " << mode;
}

class OutputFileTest : public ToolTest {
protected:
    // Half a second of a tone, 16-bit WAV unless told.
    std::string Tone(const std::string& name, int channels = 2,
                     int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) const {
        return WriteTone(name, format, channels, 44100, 0.5);
    }

    static Owned OwnerOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return {st.st_uid, st.st_gid, st.st_mode & 07777};
    }
};

// Identities a test hands out by name, in place of the system's.
std::map<std::string, FileIdentity>& FakeIdentities() {
    static std::map<std::string, FileIdentity> identities;
    return identities;
}

bool FakeIdentify(const std::string& path, FileIdentity* pIdentity) {
    const auto it = FakeIdentities().find(path);
    if (it == FakeIdentities().end())
        return false;
    *pIdentity = it->second;
    return true;
}

} // namespace

// An inode number repeats on every device: only device and inode together name one file.
TEST(OutputFileIdentity, OneFileIsTheSameDeviceAndTheSameInode) {
    FakeIdentities() = {{"in.wav", {0x801, 4242}},
                        {"link.wav", {0x801, 4242}},
                        {"usb.wav", {0x812, 4242}},
                        {"near.wav", {0x801, 4243}},
                        {"high.wav", {0x801, 4242 + (uint64_t{1} << 32)}}};
    EXPECT_TRUE(COutputFile::SameFile("in.wav", "link.wav", FakeIdentify));
    EXPECT_FALSE(COutputFile::SameFile("in.wav", "usb.wav", FakeIdentify))
        << "the same inode on another device";
    EXPECT_FALSE(COutputFile::SameFile("in.wav", "near.wav", FakeIdentify));
    EXPECT_FALSE(COutputFile::SameFile("in.wav", "high.wav", FakeIdentify))
        << "inodes that differ past 32 bits";
    EXPECT_FALSE(COutputFile::SameFile("in.wav", "missing.wav", FakeIdentify));
    EXPECT_FALSE(COutputFile::SameFile("missing.wav", "missing.wav", FakeIdentify))
        << "two names of no file are not one file";
    FakeIdentities().clear();
}

// Root replacing a user's file: the result is the user's, with the user's mode, but never
// set-user-ID or set-group-ID: a user's 6755 file in a shared sticky folder must not become
// root's setuid program with content the user chose.
TEST_F(OutputFileTest, AReplacedFileKeepsItsOwnerButNoSetIdBits) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to replace another user's file";
    const std::string in = Tone("in.wav");
    ASSERT_EQ(mkdir(Path("shared").c_str(), 0755), 0);
    ASSERT_EQ(chmod(Path("shared").c_str(), 01777), 0);
    struct {
        const char* name;
        mode_t before;
        mode_t after;
    } cases[] = {{"shared/x.raw", 06755, 0755},
                 {"shared/notes.wav", 0640, 0640},
                 {"sticky.wav", 01644, 0644}};
    for (const auto& c : cases) {
        const std::string out = Path(c.name);
        Put(out, "the user's own bytes");
        ASSERT_EQ(chown(out.c_str(), kOtherUser, kOtherGroup), 0);
        ASSERT_EQ(chmod(out.c_str(), c.before), 0); // after chown, which clears set-ID bits
        ASSERT_EQ(OwnerOf(out), (Owned{kOtherUser, kOtherGroup, c.before}));
        const Result r = RunTool("process --no-progress " + in + " " + out);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(OwnerOf(out), (Owned{kOtherUser, kOtherGroup, c.after})) << c.name;
    }
    EXPECT_EQ(Samples(Path("shared/notes.wav")), Samples(in));
    // A new file is root's, as any file root makes.
    const Result r = RunTool("process --no-progress " + in + " " + Path("shared/new.wav"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(OwnerOf(Path("shared/new.wav")).uid, 0u);
}

// A user who may not give a file to its old owner still replaces it: the result is then the
// user's own, as a new file would be.
TEST_F(OutputFileTest, AnOwnerThatCannotBeKeptDoesNotFailTheRun) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run as another user";
    ASSERT_EQ(chmod(Path("").c_str(), 0777), 0);
    const std::string out = Path("roots.raw");
    Put(out, "root's bytes");
    ASSERT_EQ(chmod(out.c_str(), 0666), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kOtherGroup) != 0 || setuid(kOtherUser) != 0)
            _exit(10);
        COutputFile output;
        if (output.Create(Path("no-input.wav"), out) != COutputFile::Result::Ok ||
            !output.IsTemporary())
            _exit(11);
        const int fd = open(output.WritePath().c_str(), O_WRONLY | O_TRUNC);
        if (fd < 0 || write(fd, "new", 3) != 3 || close(fd) != 0)
            _exit(12);
        _exit(output.Commit() ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(OwnerOf(out), (Owned{kOtherUser, kOtherGroup, 0666}));
    std::FILE* f = std::fopen(out.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char bytes[8] = {};
    EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, f), 3u);
    std::fclose(f);
    EXPECT_EQ(std::string(bytes), "new");
}

// OUT with other hard links is written through, not renamed over: every link sees the result,
// the file keeps its inode, owner and mode (less set-ID bits: the content is new); a failed run
// still leaves it as it was.
TEST_F(OutputFileTest, AHardLinkedOutputIsWrittenThrough) {
    const std::string in = Tone("in.wav");
    const std::string out = Path("out.wav");
    // Longer than the result, which must not end in what is left of it.
    Put(out, std::string(100000, 'x'));
    ASSERT_EQ(link(out.c_str(), Path("other-name.wav").c_str()), 0);
    ASSERT_EQ(chmod(out.c_str(), 06604), 0);
    struct stat before {};
    ASSERT_EQ(stat(out.c_str(), &before), 0);

    // 17 channels, which the filter refuses once OUT's temporary file is made.
    Result r = RunTool("process --no-progress " + Tone("wide.wav", 17) + " " + out);
    ASSERT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("does not take this format"), std::string::npos) << r.output;
    EXPECT_TRUE(Samples(out).empty()) << "a failed run leaves OUT as it was";

    r = RunTool("process --no-progress " + in + " " + out);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::vector<int> expected = Samples(in);
    ASSERT_EQ(expected.size(), 44100u);
    EXPECT_EQ(Samples(Path("other-name.wav")), expected) << "the other link sees the result";
    EXPECT_EQ(Samples(out), expected);
    struct stat after {};
    ASSERT_EQ(stat(out.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(OwnerOf(out), (Owned{before.st_uid, before.st_gid, 0604})) << "no set-ID bits";
    EXPECT_EQ(after.st_size, 44 + 88200) << "a 44-byte header and the data";
    EXPECT_TRUE(Leftovers().empty());

    // The input through another link is still the input, and stays refused.
    ASSERT_EQ(link(in.c_str(), Path("in-again.wav").c_str()), 0);
    r = RunTool("process --no-progress " + in + " " + Path("in-again.wav"));
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(Samples(in), expected);
}

// A run killed with SIGKILL cannot remove its temporary file; the next run into the folder
// does, but only a file of this program's naming whose process is gone for certain.
TEST_F(OutputFileTest, AKilledRunsTemporaryFileIsRemovedByTheNextRun) {
    const std::string in = Tone("in.wav");
    // IN a stream that never ends, so the run waits with its temporary file made.
    const std::string stream = Path("stream.wav");
    ASSERT_EQ(mkfifo(stream.c_str(), 0600), 0);
    const int feed = open(stream.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(feed, 0);
    const std::string head = StreamHeader(10 * 44100 * 4) + std::string(16384, '\0');
    ASSERT_EQ(write(feed, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, Path("killed.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args{VELOMIX_TOOL_PATH, "process", "--no-progress", stream,
                                  Path("x.wav")};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t tool = -1;
    ASSERT_EQ(posix_spawn(&tool, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Leftovers().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(tool, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(tool, &status, 0), tool);
    close(feed);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const std::vector<std::string> killed = Leftovers();
    ASSERT_EQ(killed.size(), 1u) << "the killed run's temporary file";

    // ".x.wav.velomix-PID-TAG-RANDOM": the pid of the killed run, the tag of this system.
    const std::string prefix = ".x.wav.velomix-" + std::to_string(tool) + "-";
    ASSERT_EQ(killed[0].compare(0, prefix.size(), prefix), 0) << killed[0];
    ASSERT_EQ(killed[0].size(), prefix.size() + 8 + 1 + 6) << killed[0];
    const std::string tag = killed[0].substr(prefix.size(), 8);
    std::string otherTag = tag;
    otherTag[0] = otherTag[0] == '0' ? '1' : '0';
    const std::string dead = std::to_string(tool);
    const std::string alive = std::to_string(getpid());
    auto name = [](const std::string& out, const std::string& pid, const std::string& t,
                   const std::string& random) {
        return "." + out + ".velomix-" + pid + "-" + t + "-" + random;
    };
    const std::string staleToo = name("y.wav", dead, tag, "00c0de");
    const std::set<std::string> kept = {
        name("z.wav", alive, tag, "00c0de"),             // a live process's
        name("z.wav", dead, otherTag, "00c0de"),         // of another system
        name("z.wav", dead, tag, "00c0dg"),              // not of this program's naming
        name("z.wav", dead, tag, "00c0de") + ".part",    // nor this
        name("z.wav", dead, tag, "00C0DE"),              // nor this
        "z.wav.velomix-" + dead + "-" + tag + "-00c0de", // nor this: not hidden
        name("", dead, tag, "00c0de"),                   // nor this: no name before the mark
    };
    for (const std::string& n : kept)
        Put(Path(n), "not a stale temporary file of this user");
    Put(Path(staleToo), "another killed run's");
    const std::string folderLike = name("d.wav", dead, tag, "00c0de");
    ASSERT_EQ(mkdir(Path(folderLike).c_str(), 0700), 0);
    std::set<std::string> expected = kept;
    expected.insert(folderLike);
    if (geteuid() == 0) {
        // Another user's runs are theirs to clean up.
        const std::string theirs = name("u.wav", dead, tag, "00c0de");
        Put(Path(theirs), "another user's");
        ASSERT_EQ(chown(Path(theirs).c_str(), kOtherUser, kOtherGroup), 0);
        expected.insert(theirs);
    }

    const Result r = RunTool("process --no-progress " + in + " " + Path("out.wav"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::vector<std::string> left = Leftovers();
    EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), expected);
    EXPECT_EQ(Samples(Path("out.wav")), Samples(in));
}

namespace {

// The bytes of a WAV file's "data" chunk.
std::string DataChunk(const std::string& wav) {
    for (size_t at = 12; at + 8 <= wav.size();) {
        const uint32_t size = static_cast<uint8_t>(wav[at + 4]) |
                              static_cast<uint8_t>(wav[at + 5]) << 8 |
                              static_cast<uint8_t>(wav[at + 6]) << 16 |
                              static_cast<uint32_t>(static_cast<uint8_t>(wav[at + 7])) << 24;
        if (wav.compare(at, 4, "data") == 0)
            return wav.substr(at + 8, size);
        at += 8 + size + (size & 1);
    }
    return {};
}

} // namespace

// A FIFO named .wav gets a WAV stream: the header first with the sizes unknown (0xFFFFFFFF, as
// velomix.exe writes into a pipe), then exactly the samples.
TEST_F(OutputFileTest, AWavOutputIntoAFifoIsAStreamOfUnknownLength) {
    const std::string unknown = Le(0xFFFFFFFF, 4);
    struct {
        int format;
        int channels;
        size_t bytesPerSample;
        std::string fmt; // the "fmt " chunk and, for float, the "fact" chunk
    } cases[] = {
        {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 2,
         "fmt " + Le(16, 4) + Le(1, 2) + Le(2, 2) + Le(44100, 4) + Le(176400, 4) + Le(4, 2) +
             Le(16, 2)},
        {SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 1,
         "fmt " + Le(16, 4) + Le(1, 2) + Le(1, 2) + Le(44100, 4) + Le(44100, 4) + Le(1, 2) +
             Le(8, 2)},
        {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 4,
         "fmt " + Le(18, 4) + Le(3, 2) + Le(2, 2) + Le(44100, 4) + Le(352800, 4) + Le(8, 2) +
             Le(32, 2) + Le(0, 2) + "fact" + Le(4, 4) + unknown},
    };
    const std::string fifo = Path("fifo.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& c : cases) {
        const std::string in = Tone("in.wav", c.channels, c.format);
        std::string received;
        std::thread reader([&] {
            const int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
            char buffer[4096];
            ssize_t n;
            while (fd >= 0 && ((n = read(fd, buffer, sizeof buffer)) > 0 || errno == EINTR))
                if (n > 0)
                    received.append(buffer, static_cast<size_t>(n));
            if (fd >= 0)
                close(fd);
        });
        const Result r = RunTool("process --no-progress " + in + " " + fifo);
        // A run that failed before opening the FIFO leaves the reader waiting for a writer.
        const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (unblock >= 0)
            close(unblock);
        reader.join();
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const std::string data = DataChunk(Contents(in));
        ASSERT_EQ(data.size(), 22050u * c.channels * c.bytesPerSample);
        EXPECT_EQ(received, "RIFF" + unknown + "WAVE" + c.fmt + "data" + unknown + data)
            << std::hex << c.format;
    }
}
