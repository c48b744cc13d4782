// The other side in cross-process tests: this test binary started with
// VELOMIX_TEST_CHILD_ROLE set runs that role before main and exits (see RunGroupRole).
// Roles report progress as lines on stdout and, where they hold something, keep it until stdin
// ends (or they are killed).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <grp.h>
#include <unistd.h>

#include "NamedObjects.h"
#include "RemoteTestSupport.h"
#include "SharedBlock.h"
#include "VelomixClient.h"

namespace {

void Say(const char* pszLine) {
    std::printf("%s\n", pszLine);
    std::fflush(stdout);
}

void WaitForStdinEnd() {
    char buffer[64];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
}

// hold-mutex NAME: locks the mutex and keeps it.
int HoldMutex(const std::vector<std::string>& args) {
    CQNamedMutex mutex(args.at(0).c_str());
    if (!mutex.Lock()) {
        return 3;
    }
    Say("locked");
    WaitForStdinEnd();
    mutex.Unlock();
    return 0;
}

// keep-mutex-at-exit NAME: keeps the mutex open in a static made before the first lock, and
// ends through exit(), which closes it after the later statics are gone.
int KeepMutexAtExit(const std::vector<std::string>& args) {
    static CQNamedMutex kept(args.at(0).c_str());
    if (!kept.Open(1000) || !kept.Lock(1000)) {
        return 3;
    }
    kept.Unlock();
    std::fflush(stdout);
    std::exit(0);
}

// hold-mutex-stopped NAME: locks the mutex, says "locked" and stops itself (SIGSTOP), as a
// control program stopped by Ctrl-Z or a debugger; once continued it unlocks, says "released"
// and waits for the end of stdin.
int HoldMutexStopped(const std::vector<std::string>& args) {
    CQNamedMutex mutex(args.at(0).c_str());
    if (!mutex.Lock()) {
        return 3;
    }
    Say("locked");
    raise(SIGSTOP);
    mutex.Unlock();
    Say("released");
    WaitForStdinEnd();
    return 0;
}

// hold-dir-lock DIR: takes the object directory's lock, as a process stopped in the middle of
// creating or opening an object would hold it, until the end of stdin.
int HoldDirLock(const std::vector<std::string>& args) {
    const int fd = open(args.at(0).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        return 3;
    }
    Say("locked");
    WaitForStdinEnd();
    close(fd);
    return 0;
}

// hold-event NAME new|any: creates (only as new, or new or existing) and keeps the event.
int HoldEvent(const std::vector<std::string>& args) {
    CQNamedEvent event;
    const bool ok = args.at(1) == "new" ? event.CreateNew(args.at(0).c_str(), false, false)
                                        : event.Create(args.at(0).c_str(), false, false);
    if (!ok) {
        return 3;
    }
    Say("holding");
    WaitForStdinEnd();
    return 0;
}

// ping-pong A B ROUNDS: waits for A and answers with B, ROUNDS times.
int PingPong(const std::vector<std::string>& args) {
    CQNamedEvent evPing;
    CQNamedEvent evPong;
    if (!evPing.OpenExisting(args.at(0).c_str(), false, false) ||
        !evPong.OpenExisting(args.at(1).c_str(), false, false)) {
        return 3;
    }
    Say("ready");
    const int rounds = std::atoi(args.at(2).c_str());
    for (int i = 0; i < rounds; ++i) {
        if (!evPing.Wait(kHangMs) || !evPong.Set()) {
            return 4;
        }
    }
    return 0;
}

// block NAME TEMPO: maps the block, writes the tempo field and keeps the block.
int HoldBlock(const std::vector<std::string>& args) {
    CQShareMemory block;
    const double dTempo = std::atof(args.at(1).c_str());
    if (!block.Create(args.at(0).c_str(), kVelomixBlockDataSize) ||
        block.Write(&dTempo, kVelomixTempoOffset, sizeof dTempo) != sizeof dTempo) {
        return 3;
    }
    Say("written");
    WaitForStdinEnd();
    return 0;
}

// server TEMPO: a filter with that tempo and its control server. Commands on stdin:
// "tempo" prints the filter's tempo, "set T" sets it; end of input destroys the server.
int Server(const std::vector<std::string>& args) {
    FakeFilter filter(std::atof(args.at(0).c_str()));
    {
        CVelomixCommServer server;
        filter.Attach(&server);
        if (!server.Start(&filter)) {
            return 3;
        }
        Say("started");
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line == "tempo") {
                std::printf("%.17g\n", filter.Tempo());
                std::fflush(stdout);
            } else if (line.rfind("set ", 0) == 0) {
                filter.SetTempo(std::atof(line.c_str() + 4));
                Say("ok");
            }
        }
        server.Stop();
        filter.Attach(nullptr);
    }
    return 0;
}

// requester MS: a control program writing requests as fast as it can for MS milliseconds.
int Requester(const std::vector<std::string>& args) {
    CQShareMemory block;
    CQNamedEvent evRequest;
    if (!block.Open(kVelomixBlockName, kVelomixBlockDataSize) ||
        !evRequest.OpenExisting(kVelomixRequestEventName, false, false)) {
        return 3;
    }
    auto request = [&](double dTempo, double dRate, int32_t nPitch) {
        CQNamedMutex mutex(kVelomixMutexName);
        if (CQNamedMutex::Guard guard = mutex.Acquire()) {
            PlaceRequest(block, evRequest, VelomixValues{dTempo, dRate, nPitch});
        }
    };
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(args.at(0).c_str()));
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
        request(0.5 + (i % 7) * 0.25, 0.75 + (i % 3) * 0.25, (i % 5) - 2);
    }
    Say("burst done");
    return 0;
}

// foreign UID: becomes that user and tries to reach the objects of the directory given in
// VELOMIX_IPC_DIR. Prints what it could reach; the exit code counts them.
int Foreign(const std::vector<std::string>& args) {
    const uid_t uid = static_cast<uid_t>(std::atoi(args.at(0).c_str()));
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
        std::fprintf(stderr, "cannot become uid %u: %s\n", static_cast<unsigned>(uid),
                     std::strerror(errno));
        return 100;
    }
    int reached = 0;
    CQNamedEvent event;
    if (event.OpenExisting(kVelomixChangeEventName, false, false)) {
        Say("event");
        ++reached;
    }
    CQShareMemory block;
    if (block.Open(kVelomixBlockName, kVelomixBlockDataSize)) {
        Say("block");
        ++reached;
    }
    CQNamedMutex mutex(kVelomixMutexName);
    if (mutex.Lock(0)) {
        Say("mutex");
        ++reached;
    }
    const char* dir = std::getenv("VELOMIX_IPC_DIR");
    const std::string file = std::string(dir != nullptr ? dir : "") + "/" + kVelomixBlockName;
    const int fd = open(file.c_str(), O_RDONLY);
    if (fd >= 0) {
        Say("file");
        close(fd);
        ++reached;
    }
    return reached;
}

// controller MS SEED: a control program asking for random values (tempo and rate 0.5 to 2 in
// steps of 0.05, pitch -12 to 12) ten times a second for MS milliseconds, each with a time-out
// of 2 s. One line per request: "ok TEMPO RATE PITCH NS" (NS: the monotonic clock when it was
// confirmed), or "superseded", "overridden", "refused", "timeout", "status N". Then "done".
int Controller(const std::vector<std::string>& args) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(args.at(0).c_str()));
    std::mt19937 gen(static_cast<unsigned>(std::atoi(args.at(1).c_str())));
    std::uniform_int_distribution<int> step(10, 40);
    std::uniform_int_distribution<int> semitones(-12, 12);
    CVelomixClient client;
    for (auto next = std::chrono::steady_clock::now(); next < end;
         next += std::chrono::milliseconds(100)) {
        const VelomixValues request{step(gen) * 0.05, step(gen) * 0.05, semitones(gen)};
        const VelomixStatus status = client.Request(request, 2000);
        char line[128];
        switch (status) {
        case VelomixStatus::Ok:
            std::snprintf(
                line, sizeof line, "ok %.17g %.17g %d %lld", request.dTempo, request.dRate,
                static_cast<int>(request.nPitch),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           std::chrono::steady_clock::now().time_since_epoch())
                                           .count()));
            break;
        case VelomixStatus::Superseded:
            std::snprintf(line, sizeof line, "superseded");
            break;
        case VelomixStatus::Overridden:
            std::snprintf(line, sizeof line, "overridden");
            break;
        case VelomixStatus::Refused:
            std::snprintf(line, sizeof line, "refused");
            break;
        case VelomixStatus::Timeout:
            std::snprintf(line, sizeof line, "timeout");
            break;
        default:
            std::snprintf(line, sizeof line, "status %d", static_cast<int>(status));
            break;
        }
        Say(line);
        std::this_thread::sleep_until(next + std::chrono::milliseconds(100));
    }
    Say("done");
    return 0;
}

// default-folder UID: becomes that user, with neither VELOMIX_IPC_DIR nor XDG_RUNTIME_DIR,
// so that the objects go to the default folders; creates the event "E" (or opens it when it
// exists) three times over, says whether it reached it, and keeps it until stdin ends.
int DefaultFolder(const std::vector<std::string>& args) {
    const uid_t uid = static_cast<uid_t>(std::strtoul(args.at(0).c_str(), nullptr, 10));
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
        std::fprintf(stderr, "cannot become uid %u: %s\n", static_cast<unsigned>(uid),
                     std::strerror(errno));
        return 100;
    }
    unsetenv("VELOMIX_IPC_DIR");
    unsetenv("XDG_RUNTIME_DIR");
    CQNamedEvent events[3];
    bool bExisted = false;
    for (CQNamedEvent& event : events) {
        if (!event.Create("E", false, false, &event == events ? &bExisted : nullptr)) {
            std::printf("refused: %s\n", VelomixNamedObjectsProblem().c_str());
            std::fflush(stdout);
            return 3;
        }
    }
    Say(bExisted ? "opened" : "created");
    WaitForStdinEnd();
    return 0;
}

} // namespace

int RunRemoteRole(const std::string& name, const std::vector<std::string>& args) {
    if (name == "hold-mutex") {
        return HoldMutex(args);
    }
    if (name == "keep-mutex-at-exit") {
        return KeepMutexAtExit(args);
    }
    if (name == "hold-mutex-stopped") {
        return HoldMutexStopped(args);
    }
    if (name == "hold-dir-lock") {
        return HoldDirLock(args);
    }
    if (name == "hold-event") {
        return HoldEvent(args);
    }
    if (name == "ping-pong") {
        return PingPong(args);
    }
    if (name == "block") {
        return HoldBlock(args);
    }
    if (name == "server") {
        return Server(args);
    }
    if (name == "requester") {
        return Requester(args);
    }
    if (name == "foreign") {
        return Foreign(args);
    }
    if (name == "controller") {
        return Controller(args);
    }
    if (name == "default-folder") {
        return DefaultFolder(args);
    }
    return kUnknownRole;
}
