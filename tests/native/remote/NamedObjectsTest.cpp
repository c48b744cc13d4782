// Named mutex, events and shared memory: opened twice in one process and in two, lifetime
// with the last handle (also of a killed process), abandonment, wake-ups, permissions.
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "NamedObjects.h"
#include "RemoteTestSupport.h"

namespace {

// Sets ping and waits for pong, rounds times: the rounds answered. A failure ends the rounds
// without returning from the test, so that its consumer threads are still joined.
int PingPong(CQNamedEvent& ping, CQNamedEvent& pong, int rounds) {
    int answered = 0;
    for (int i = 0; i < rounds; ++i) {
        const bool bSet = ping.Set();
        EXPECT_TRUE(bSet) << "round " << i;
        if (!bSet || !pong.Wait(kHangMs)) {
            break;
        }
        ++answered;
    }
    return answered;
}

bool LockFromOtherThread(const char* pszName) {
    bool bLocked = false;
    std::thread([&] {
        CQNamedMutex mutex(pszName);
        bLocked = mutex.Lock(0);
    }).join();
    return bLocked;
}

// Handles open on a named object, counted from the kernel's list of file locks (each process
// holds one lock per open handle of a mutex, one per handle of other objects).
int Holders(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return 0;
    }
    std::ifstream locks("/proc/locks");
    std::string line;
    int holders = 0;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, type, advisory, mode, pid, device;
        fields >> id >> type;
        if (type == "->") {
            continue; // a blocked request, not a holder
        }
        fields >> advisory >> mode >> pid >> device;
        const size_t colon = device.rfind(':');
        if (type == "FLOCK" && colon != std::string::npos &&
            device.substr(colon + 1) == std::to_string(st.st_ino)) {
            ++holders;
        }
    }
    return holders;
}

bool WaitForHolders(const std::string& path, int count) {
    for (int waited = 0; waited < kHangMs; ++waited) {
        if (Holders(path) >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool Exists(const std::string& dir, const char* pszName) {
    struct stat st {};
    return lstat((dir + "/" + pszName).c_str(), &st) == 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Mutex

using NamedMutexTest = IpcTest;

TEST_F(NamedMutexTest, RefusesBadNames) {
    CQNamedMutex unnamed;
    EXPECT_FALSE(unnamed.Lock(0));
    for (const std::string& name : {std::string(), std::string(".hidden"), std::string("a/b"),
                                    std::string(".."), std::string(201, 'n')}) {
        CQNamedMutex mutex(name.c_str());
        EXPECT_FALSE(mutex.Lock(0)) << "'" << name << "'";
    }
    CQNamedMutex longest(std::string(200, 'n').c_str());
    EXPECT_TRUE(longest.Lock(0));
}

TEST_F(NamedMutexTest, RecursivePerThreadAndExclusiveAcrossThreads) {
    CQNamedMutex outer("M");
    CQNamedMutex inner("M");
    ASSERT_TRUE(outer.Lock());
    EXPECT_FALSE(outer.Lock(0)) << "one lock per object";
    ASSERT_TRUE(inner.Lock(0)) << "a second lock on the owning thread must not block";
    EXPECT_FALSE(LockFromOtherThread("M"));
    // Released out of order: still held until both are.
    outer.Unlock();
    EXPECT_FALSE(LockFromOtherThread("M"));
    inner.Unlock();
    EXPECT_TRUE(LockFromOtherThread("M"));
}

TEST_F(NamedMutexTest, GuardHoldsForItsScope) {
    CQNamedMutex mutex("M");
    {
        CQNamedMutex::Guard guard = mutex.Acquire();
        ASSERT_TRUE(guard);
        EXPECT_FALSE(guard.Abandoned());
        CQNamedMutex::Guard moved = std::move(guard);
        EXPECT_FALSE(guard);
        EXPECT_TRUE(moved);
        EXPECT_FALSE(LockFromOtherThread("M"));
    }
    EXPECT_FALSE(mutex.IsLocked());
    EXPECT_TRUE(LockFromOtherThread("M"));
    // An empty name yields an empty guard.
    CQNamedMutex unnamed;
    EXPECT_FALSE(unnamed.Acquire(0));
}

TEST_F(NamedMutexTest, ExcludesAnotherProcessUntilItUnlocks) {
    auto holder = ChildProcess::StartRole("hold-mutex", {"M"});
    ASSERT_TRUE(holder && holder->WaitForLine("locked"));
    CQNamedMutex mutex("M");
    EXPECT_FALSE(mutex.Lock(50));
    EXPECT_FALSE(mutex.Lock(0));
    holder->CloseStdin(); // it unlocks and ends
    bool bAbandoned = true;
    EXPECT_TRUE(mutex.Lock(kHangMs, &bAbandoned));
    EXPECT_FALSE(bAbandoned);
    EXPECT_EQ(holder->Wait(), 0);
}

TEST_F(NamedMutexTest, WaiterTakesOverFromAKilledHolder) {
    auto holder = ChildProcess::StartRole("hold-mutex", {"M"});
    ASSERT_TRUE(holder && holder->WaitForLine("locked"));
    std::atomic<int> result{-1};
    std::atomic<bool> bAbandoned{false};
    std::thread waiter([&] {
        CQNamedMutex mutex("M");
        bool b = false;
        result = mutex.Lock(kInfinite, &b) ? 1 : 0;
        bAbandoned = b;
    });
    // Killed only once the waiter holds a handle: otherwise the mutex would simply end.
    ASSERT_TRUE(WaitForHolders(IpcDir() + "/M", 2));
    holder->Signal(SIGKILL);
    EXPECT_EQ(holder->Wait(), 128 + SIGKILL);
    waiter.join();
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(bAbandoned);
    // Consistent again: the next owner is told nothing.
    CQNamedMutex mutex("M");
    bool bAgain = true;
    EXPECT_TRUE(mutex.Lock(0, &bAgain));
    EXPECT_FALSE(bAgain);
}

TEST_F(NamedMutexTest, KilledSoleHolderLeavesAFreshMutex) {
    auto holder = ChildProcess::StartRole("hold-mutex", {"M"});
    ASSERT_TRUE(holder && holder->WaitForLine("locked"));
    holder->Signal(SIGKILL);
    holder->Wait();
    CQNamedMutex mutex("M");
    bool bAbandoned = true;
    EXPECT_TRUE(mutex.Lock(0, &bAbandoned)) << "no handle was left: the mutex ended";
    EXPECT_FALSE(bAbandoned);
}

TEST_F(NamedMutexTest, OpenKeepsTheMutexBetweenLocksUntilClose) {
    const std::string file = IpcDir() + "/M";
    CQNamedMutex unnamed;
    EXPECT_FALSE(unnamed.Open(0));
    CQNamedMutex kept("M");
    ASSERT_TRUE(kept.Open(0));
    EXPECT_TRUE(kept.Open(0)) << "open already";
    EXPECT_EQ(Holders(file), 1) << "one handle, however often opened";
    // Locks through the kept handle exclude as any other.
    ASSERT_TRUE(kept.Lock(0));
    EXPECT_FALSE(LockFromOtherThread("M"));
    kept.Unlock();
    EXPECT_TRUE(Exists(IpcDir(), "M")) << "unlocked, still kept";
    EXPECT_TRUE(LockFromOtherThread("M"));
    // A lock outlives Close; the object ends with the last handle.
    ASSERT_TRUE(kept.Lock(0));
    kept.Close();
    EXPECT_FALSE(kept.IsOpen());
    EXPECT_FALSE(LockFromOtherThread("M"));
    kept.Unlock();
    EXPECT_FALSE(Exists(IpcDir(), "M"));
    // Renaming closes the kept handle.
    ASSERT_TRUE(kept.Open(0));
    kept.SetName("N");
    EXPECT_FALSE(kept.IsOpen());
    EXPECT_FALSE(Exists(IpcDir(), "M"));
}

TEST_F(NamedMutexTest, LockThroughAKeptHandleTakesOverFromAKilledHolder) {
    CQNamedMutex kept("M");
    ASSERT_TRUE(kept.Open(0));
    auto holder = ChildProcess::StartRole("hold-mutex", {"M"});
    ASSERT_TRUE(holder && holder->WaitForLine("locked"));
    EXPECT_FALSE(kept.Lock(0));
    holder->Signal(SIGKILL);
    EXPECT_EQ(holder->Wait(), 128 + SIGKILL);
    bool bAbandoned = false;
    EXPECT_TRUE(kept.Lock(kHangMs, &bAbandoned));
    EXPECT_TRUE(bAbandoned);
}

TEST_F(NamedMutexTest, HandleKeptInAStaticClosesAtExit) {
    auto child = ChildProcess::StartRole("keep-mutex-at-exit", {"M"});
    ASSERT_TRUE(child);
    EXPECT_EQ(child->Wait(), 0);
}

// ---------------------------------------------------------------------------------------------
// Events

using NamedEventTest = IpcTest;

TEST_F(NamedEventTest, CreateNewAndOpenExisting) {
    CQNamedEvent a;
    CQNamedEvent b;
    EXPECT_FALSE(a.OpenExisting("E", false, false));
    EXPECT_FALSE(Exists(IpcDir(), "E")) << "open-existing must create nothing";
    EXPECT_FALSE(a.OpenExisting("E", false, false));

    ASSERT_TRUE(a.CreateNew("E", false, false));
    EXPECT_FALSE(b.CreateNew("E", false, false));
    EXPECT_FALSE(b.IsOpen());
    ASSERT_TRUE(b.OpenExisting("E", false, false));
    bool bExisted = false;
    CQNamedEvent c;
    ASSERT_TRUE(c.Create("E", false, false, &bExisted));
    EXPECT_TRUE(bExisted);
    CQNamedEvent d;
    ASSERT_TRUE(d.Create("F", false, false, &bExisted));
    EXPECT_FALSE(bExisted);

    // One handle signals, another is released.
    ASSERT_TRUE(a.Set());
    EXPECT_TRUE(c.Wait(0));
    EXPECT_FALSE(b.Wait(0));
}

TEST_F(NamedEventTest, EndsWithItsLastHandle) {
    CQNamedEvent a;
    CQNamedEvent b;
    ASSERT_TRUE(a.CreateNew("E", false, false));
    ASSERT_TRUE(b.OpenExisting("E", false, false));
    ASSERT_TRUE(a.Set());
    a.Close();
    CQNamedEvent c;
    EXPECT_TRUE(c.OpenExisting("E", false, false)) << "b keeps it alive";
    c.Close();
    b.Close();
    EXPECT_FALSE(c.OpenExisting("E", false, false));
    EXPECT_FALSE(Exists(IpcDir(), "E"));
    ASSERT_TRUE(c.CreateNew("E", false, false));
    EXPECT_FALSE(c.Wait(0)) << "a new event must not inherit the old one's state";
}

TEST_F(NamedEventTest, SharedWithAnotherProcessAndEndsWhenItIsKilled) {
    auto holder = ChildProcess::StartRole("hold-event", {"E", "new"});
    ASSERT_TRUE(holder && holder->WaitForLine("holding"));
    CQNamedEvent event;
    EXPECT_FALSE(event.CreateNew("E", false, false));
    ASSERT_TRUE(event.OpenExisting("E", false, false));
    event.Close();
    holder->Signal(SIGKILL);
    EXPECT_EQ(holder->Wait(), 128 + SIGKILL);
    EXPECT_FALSE(event.OpenExisting("E", false, false)) << "a killed holder left it alive";
    EXPECT_TRUE(event.CreateNew("E", false, false));
}

TEST_F(NamedEventTest, OurHandleOutlivesAKilledCreator) {
    auto holder = ChildProcess::StartRole("hold-event", {"E", "new"});
    ASSERT_TRUE(holder && holder->WaitForLine("holding"));
    CQNamedEvent event;
    ASSERT_TRUE(event.OpenExisting("E", false, false));
    holder->Signal(SIGKILL);
    holder->Wait();
    CQNamedEvent again;
    EXPECT_FALSE(again.CreateNew("E", false, false));
    EXPECT_TRUE(again.OpenExisting("E", false, false));
    ASSERT_TRUE(again.Set());
    EXPECT_TRUE(event.Wait(0));
}

TEST_F(NamedEventTest, AutoResetReleasesOneWaiterPerSet) {
    CQNamedEvent event;
    ASSERT_TRUE(event.Create("E", false, false));
    EXPECT_FALSE(event.Wait(0));
    // Signalled until someone waits; a second Set adds nothing.
    ASSERT_TRUE(event.Set());
    ASSERT_TRUE(event.Set());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));

    std::atomic<int> released{0};
    CQNamedEvent ack;
    ASSERT_TRUE(ack.Create(nullptr, false, false));
    auto waiter = [&] {
        CQNamedEvent mine;
        if (mine.OpenExisting("E", false, false) && mine.Wait(kHangMs)) {
            ++released;
            ack.Set();
        }
    };
    std::thread w1(waiter);
    std::thread w2(waiter);
    ASSERT_TRUE(event.Set());
    ASSERT_TRUE(ack.Wait(kHangMs));
    EXPECT_EQ(released, 1);
    EXPECT_FALSE(event.Wait(0)) << "the released waiter must have reset it";
    ASSERT_TRUE(event.Set());
    ASSERT_TRUE(ack.Wait(kHangMs));
    w1.join();
    w2.join();
    EXPECT_EQ(released, 2);
}

TEST_F(NamedEventTest, ManualResetStaysSignalledUntilReset) {
    CQNamedEvent creator;
    ASSERT_TRUE(creator.Create("E", true, true));
    // The mode and initial state are the creator's; an opener's flags do not change them.
    CQNamedEvent opener;
    ASSERT_TRUE(opener.OpenExisting("E", false, false));
    EXPECT_TRUE(opener.Wait(0));
    EXPECT_TRUE(opener.Wait(0));
    std::thread([&] {
        CQNamedEvent mine;
        EXPECT_TRUE(mine.OpenExisting("E", false, false) && mine.Wait(0));
    }).join();
    ASSERT_TRUE(opener.Reset());
    EXPECT_FALSE(creator.Wait(0));
    ASSERT_TRUE(creator.Set());
    EXPECT_TRUE(opener.Wait(kHangMs));
}

TEST_F(NamedEventTest, WaitAnyPrefersTheLowestIndex) {
    CQNamedEvent stop;
    CQNamedEvent request;
    ASSERT_TRUE(stop.Create(nullptr, false, false));
    ASSERT_TRUE(request.CreateNew("R", false, false));
    EXPECT_EQ(CQNamedEvent::WaitAny({&stop, &request}, 0), kWaitTimeout);
    ASSERT_TRUE(request.Set());
    ASSERT_TRUE(stop.Set());
    EXPECT_EQ(CQNamedEvent::WaitAny({&stop, &request}, kInfinite), 0);
    EXPECT_EQ(CQNamedEvent::WaitAny({&stop, &request}, kInfinite), 1) << "request kept";
    EXPECT_EQ(CQNamedEvent::WaitAny({&stop, &request}, 1), kWaitTimeout);

    // Woken while blocked, by another process's handle.
    std::thread setter([] {
        CQNamedEvent mine;
        if (mine.OpenExisting("R", false, false)) {
            mine.Set();
        }
    });
    EXPECT_EQ(CQNamedEvent::WaitAny({&stop, &request}, kHangMs), 1);
    setter.join();

    CQNamedEvent closed;
    EXPECT_EQ(CQNamedEvent::WaitAny({&stop, &closed}, 0), kWaitFailed);
    EXPECT_FALSE(closed.Set());
    EXPECT_FALSE(closed.Wait(0));
}

TEST_F(NamedEventTest, NoLostWakeUpsBetweenThreads) {
    CQNamedEvent ping;
    CQNamedEvent pong;
    ASSERT_TRUE(ping.Create("PING", false, false));
    ASSERT_TRUE(pong.Create(nullptr, false, false));
    constexpr int kRounds = 5000;
    constexpr int kConsumers = 3;
    std::atomic<int> consumed{0};
    CQNamedEvent quit;
    ASSERT_TRUE(quit.Create(nullptr, true, false));
    std::vector<std::thread> consumers;
    for (int i = 0; i < kConsumers; ++i) {
        consumers.emplace_back([&] {
            CQNamedEvent mine;
            if (!mine.OpenExisting("PING", false, false)) {
                return;
            }
            while (CQNamedEvent::WaitAny({&quit, &mine}, kHangMs) == 1) {
                ++consumed;
                pong.Set();
            }
        });
    }
    const int answered = PingPong(ping, pong, kRounds);
    quit.Set();
    for (std::thread& t : consumers) {
        t.join();
    }
    EXPECT_EQ(answered, kRounds);
    EXPECT_EQ(consumed, kRounds);
}

TEST_F(NamedEventTest, NoLostWakeUpsBetweenProcesses) {
    CQNamedEvent ping;
    CQNamedEvent pong;
    ASSERT_TRUE(ping.CreateNew("PING", false, false));
    ASSERT_TRUE(pong.CreateNew("PONG", false, false));
    constexpr int kRounds = 2000;
    auto peer = ChildProcess::StartRole("ping-pong", {"PING", "PONG", std::to_string(kRounds)});
    ASSERT_TRUE(peer && peer->WaitForLine("ready"));
    const int answered = PingPong(ping, pong, kRounds);
    EXPECT_EQ(answered, kRounds);
    EXPECT_EQ(peer->Wait(), 0) << peer->Stderr();
}

TEST_F(NamedEventTest, NameOfAnotherKindIsRefused) {
    CQShareMemory block;
    ASSERT_TRUE(block.Create("SHARED", 20));
    CQNamedEvent event;
    EXPECT_FALSE(event.Create("SHARED", false, false));
    EXPECT_FALSE(event.OpenExisting("SHARED", false, false));
    CQNamedMutex mutex("SHARED");
    EXPECT_FALSE(mutex.Lock(0));
    ASSERT_TRUE(event.CreateNew("EVENT", false, false));
    CQShareMemory other;
    EXPECT_FALSE(other.Create("EVENT", 20));
    EXPECT_TRUE(block.IsMapped()) << "the existing object is untouched";
}

// ---------------------------------------------------------------------------------------------
// Shared memory

using ShareMemoryTest = IpcTest;

TEST_F(ShareMemoryTest, FreshBlockReadsZeroWithTheHeaderSet) {
    CQShareMemory block;
    ASSERT_TRUE(block.Create("B", 20));
    EXPECT_EQ(block.StoredDataSize(), 20u);
    unsigned char data[20];
    std::memset(data, 0xAB, sizeof data);
    ASSERT_EQ(block.Read(data, 0, 20), 20u);
    for (unsigned char byte : data) {
        EXPECT_EQ(byte, 0);
    }
}

TEST_F(ShareMemoryTest, AccessIsBoundedByTheDataSize) {
    CQShareMemory block;
    const uint32_t value = 0x11223344u;
    uint32_t out = 0;
    EXPECT_EQ(block.Write(&value, 0, 4), 0u) << "unmapped";
    EXPECT_EQ(block.Read(&out, 0, 4), 0u);
    EXPECT_EQ(block.StoredDataSize(), 0u);
    ASSERT_TRUE(block.Create("B", 20));
    EXPECT_EQ(block.Write(&value, 16, 4), 4u);
    EXPECT_EQ(block.Write(&value, 17, 4), 0u);
    EXPECT_EQ(block.Write(&value, 21, 0), 0u);
    EXPECT_EQ(block.Write(&value, 0xFFFFFFFFu, 2), 0u);
    EXPECT_EQ(block.Read(&out, 0xFFFFFFFEu, 4), 0u);
    EXPECT_EQ(out, 0u) << "a refused read copies nothing";
    EXPECT_EQ(block.Read(&out, 16, 4), 4u);
    EXPECT_EQ(out, value);
    EXPECT_EQ(block.StoredDataSize(), 20u) << "data writes never reach the header";
}

TEST_F(ShareMemoryTest, SharedBetweenHandlesAndLostWithTheLast) {
    CQShareMemory missing;
    EXPECT_FALSE(missing.Open("B", 20));
    EXPECT_FALSE(Exists(IpcDir(), "B"));

    CQShareMemory a;
    CQShareMemory b;
    ASSERT_TRUE(a.Create("B", 20));
    const double dTempo = 1.5;
    ASSERT_EQ(a.Write(&dTempo, 0, 8), 8u);
    ASSERT_TRUE(b.Open("B", 20));
    a.Close();
    double dRead = 0.0;
    ASSERT_EQ(b.Read(&dRead, 0, 8), 8u);
    EXPECT_EQ(dRead, 1.5);
    b.Close();
    EXPECT_FALSE(b.Open("B", 20)) << "the last handle closed: the block is gone";
    ASSERT_TRUE(b.Create("B", 20));
    ASSERT_EQ(b.Read(&dRead, 0, 8), 8u);
    EXPECT_EQ(dRead, 0.0);
}

TEST_F(ShareMemoryTest, SharedWithAnotherProcessAndLostWhenItIsKilled) {
    auto writer = ChildProcess::StartRole("block", {"B", "1.25"});
    ASSERT_TRUE(writer && writer->WaitForLine("written"));
    {
        CQShareMemory block;
        ASSERT_TRUE(block.Open("B", 20));
        double dRead = 0.0;
        ASSERT_EQ(block.Read(&dRead, 0, 8), 8u);
        EXPECT_EQ(dRead, 1.25);
        EXPECT_EQ(block.StoredDataSize(), 20u);
    }
    writer->Signal(SIGKILL);
    writer->Wait();
    CQShareMemory block;
    EXPECT_FALSE(block.Open("B", 20));
    ASSERT_TRUE(block.Create("B", 20));
    double dRead = -1.0;
    ASSERT_EQ(block.Read(&dRead, 0, 8), 8u);
    EXPECT_EQ(dRead, 0.0);
}

TEST_F(ShareMemoryTest, ExistingSmallerBlockIsRefused) {
    CQShareMemory small;
    ASSERT_TRUE(small.Create("B", 4));
    CQShareMemory large;
    EXPECT_FALSE(large.Create("B", 20));
    EXPECT_FALSE(large.Open("B", 20));
    EXPECT_TRUE(large.Open("B", 2));
}

// ---------------------------------------------------------------------------------------------
// The per-user directory

using ObjectDirectoryTest = IpcTest;

TEST_F(ObjectDirectoryTest, ObjectsAreReadableByTheirUserOnly) {
    CQNamedEvent event;
    ASSERT_TRUE(event.CreateNew("E", false, false));
    CQShareMemory block;
    ASSERT_TRUE(block.Create("B", 20));
    struct stat st {};
    ASSERT_EQ(stat(IpcDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
    for (const char* name : {"E", ".E.fifo", "B"}) {
        ASSERT_EQ(lstat((IpcDir() + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
        EXPECT_EQ(st.st_uid, geteuid()) << name;
    }
}

TEST_F(ObjectDirectoryTest, MissingDirectoryIsCreatedPrivate) {
    const std::string sub = IpcDir() + "/sub";
    setenv("VELOMIX_IPC_DIR", sub.c_str(), 1);
    CQNamedEvent event;
    EXPECT_TRUE(event.CreateNew("E", false, false));
    struct stat st {};
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(ObjectDirectoryTest, DirectoryOthersCouldReachIsRefused) {
    ASSERT_EQ(chmod(IpcDir().c_str(), 0755), 0);
    CQNamedEvent event;
    EXPECT_FALSE(event.Create("E", false, false));
    CQNamedMutex mutex("M");
    EXPECT_FALSE(mutex.Lock(0));
    ASSERT_EQ(chmod(IpcDir().c_str(), 0700), 0);
    EXPECT_TRUE(event.Create("E", false, false));

    const std::string link = IpcDir() + "-link";
    ASSERT_EQ(symlink(IpcDir().c_str(), link.c_str()), 0);
    setenv("VELOMIX_IPC_DIR", link.c_str(), 1);
    CQNamedEvent viaLink;
    EXPECT_FALSE(viaLink.OpenExisting("E", false, false)) << "a symlink could be swapped";
    unlink(link.c_str());
}

TEST_F(ObjectDirectoryTest, OnlyAFolderOfMode0700IsAccepted) {
    for (const char* mode : {"0701", "0705", "0710", "0750"}) {
        ASSERT_EQ(chmod(IpcDir().c_str(), static_cast<mode_t>(std::stoul(mode, nullptr, 8))), 0);
        CQNamedEvent event;
        EXPECT_FALSE(event.Create("E", false, false)) << mode;
        EXPECT_EQ(VelomixNamedObjectsProblem(), "the folder of the control channel's objects, " +
                                                    IpcDir() + ", is open to other users (mode " +
                                                    mode + "); it must be 0700");
    }
    ASSERT_EQ(chmod(IpcDir().c_str(), 0700), 0);
    CQNamedEvent event;
    EXPECT_TRUE(event.Create("E", false, false));
    EXPECT_EQ(VelomixNamedObjectsProblem(), "");
}

TEST_F(ObjectDirectoryTest, RelativeFolderIsRefused) {
    // Processes started in different folders would each make their own.
    const std::string cwd = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(IpcDir().c_str()), 0);
    setenv("VELOMIX_IPC_DIR", "objects", 1);
    CQNamedEvent event;
    EXPECT_FALSE(event.Create("E", false, false));
    EXPECT_EQ(VelomixNamedObjectsProblem(),
              "the folder of the control channel's objects, objects, "
              "is a relative path; it must be named from the root (/)");
    struct stat st {};
    EXPECT_NE(lstat("objects", &st), 0) << "made in the current folder";
    ASSERT_EQ(chdir(cwd.c_str()), 0);
}

// Without VELOMIX_IPC_DIR, a default folder someone else made first (or one left open to
// others) gives way to the next default folder: every process of the user settles on the same
// one and says so once. Only when all are refused does the channel go.
TEST_F(ObjectDirectoryTest, RefusedDefaultFolderGivesWayToTheNext) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a user's default folder as another user";
    }
    struct stat st {};
    if (stat("/dev/shm", &st) != 0 || !S_ISDIR(st.st_mode)) {
        GTEST_SKIP() << "without /dev/shm the /tmp folder is the first default";
    }
    // A user id of this test alone, so that its default folders are private to the test.
    const uid_t uid = 3000000000u + static_cast<uid_t>(getpid());
    const std::string id = std::to_string(uid);
    const std::string first = "/dev/shm/velomix-" + id;
    const std::string next = "/tmp/velomix-" + id;
    auto removeBoth = [&] {
        std::error_code ec;
        std::filesystem::remove_all(first, ec);
        std::filesystem::remove_all(next, ec);
    };
    struct Cleanup {
        std::function<void()> f;
        ~Cleanup() { f(); }
    } cleanup{removeBoth};
    const std::string prefix = "the folder of the control channel's objects, ";
    const std::string whyFirst[] = {first + ", belongs to user id 0, not to this user (" + id + ")",
                                    first +
                                        ", is open to other users (mode 0755); it must be 0700"};
    for (int squat = 0; squat < 2; ++squat) {
        SCOPED_TRACE(whyFirst[squat]);
        removeBoth();
        ASSERT_EQ(mkdir(first.c_str(), 0700), 0);
        if (squat == 1) {
            ASSERT_EQ(chown(first.c_str(), uid, uid), 0);
            ASSERT_EQ(chmod(first.c_str(), 0755), 0);
        }
        auto a = ChildProcess::StartRole("default-folder", {id});
        ASSERT_TRUE(a && a->WaitForLine("created")) << (a ? a->Stdout() + a->Stderr() : "");
        auto b = ChildProcess::StartRole("default-folder", {id});
        ASSERT_TRUE(b && b->WaitForLine("opened")) << "the processes went separate ways";
        ASSERT_EQ(stat(next.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, uid);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_TRUE(Exists(next, "E"));
        EXPECT_FALSE(Exists(first, "E"));
        a->CloseStdin();
        b->CloseStdin();
        EXPECT_EQ(a->Wait(), 0);
        EXPECT_EQ(b->Wait(), 0);
        const std::string notice = "Velomix warning: " + prefix + whyFirst[squat] +
                                   "; the control channel uses " + next + " instead\n";
        EXPECT_EQ(a->Stderr(), notice) << "said once per process, of three opens";
        EXPECT_EQ(b->Stderr(), notice);
    }

    // Both taken: nothing is left to fall back on.
    removeBoth();
    ASSERT_EQ(mkdir(first.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(next.c_str(), 0700), 0);
    auto c = ChildProcess::StartRole("default-folder", {id});
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Wait(), 3);
    EXPECT_EQ(c->Stdout(), "refused: " + prefix + whyFirst[0] + "; " + prefix + next +
                               ", belongs to user id 0, not to this user (" + id + ")\n");
}

TEST_F(ObjectDirectoryTest, StalledLockHolderDelaysCallsOnlyForTheirBound) {
    CQNamedEvent event;
    ASSERT_TRUE(event.Create("E", false, false));
    auto holder = ChildProcess::StartRole("hold-dir-lock", {IpcDir()});
    ASSERT_TRUE(holder && holder->WaitForLine("locked"));
    {
        // A caller that must not be held up bounds the wait itself.
        CQWaitBound bound(5);
        CQNamedEvent other;
        EXPECT_FALSE(other.OpenExisting("E", false, false));
        EXPECT_TRUE(bound.TimedOut());
        CQNamedMutex mutex("M");
        EXPECT_FALSE(mutex.Lock(kInfinite)) << "the bound holds for a lock without time-out too";
    }
    // Otherwise the call gives up after its own bound.
    CQNamedEvent other;
    EXPECT_FALSE(other.OpenExisting("E", false, false));
    CQNamedMutex mutex("M");
    EXPECT_FALSE(mutex.Lock(50));
    holder->CloseStdin();
    EXPECT_EQ(holder->Wait(), 0);
    EXPECT_TRUE(other.OpenExisting("E", false, false));
    EXPECT_TRUE(mutex.Lock(0));
}

TEST_F(ObjectDirectoryTest, AnotherUserCannotReachTheObjects) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a process as another user";
    }
    constexpr uid_t kOther = 65534;
    // The objects exist and would be reachable by this user.
    CQNamedEvent event;
    ASSERT_TRUE(event.CreateNew("VELFilter_CLI", false, false));
    CQShareMemory block;
    ASSERT_TRUE(block.Create("VELFilter_MEM", 20));
    auto other = ChildProcess::StartRole("foreign", {std::to_string(kOther)});
    ASSERT_TRUE(other);
    EXPECT_EQ(other->Wait(), 0) << "reached: " << other->Stdout() << other->Stderr();
    EXPECT_EQ(other->Stdout(), "");

    // Nor can the other user plant a directory for us: ours must be owned by us.
    ASSERT_EQ(chown(IpcDir().c_str(), kOther, kOther), 0);
    CQNamedEvent planted;
    EXPECT_FALSE(planted.OpenExisting("VELFilter_CLI", false, false));
    ASSERT_EQ(chown(IpcDir().c_str(), 0, 0), 0);
}
