// CVelomixCommServer against a fake filter: publication, requests from other processes,
// who serves, departure, refused values, a killed control program, lock order under load.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <csignal>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CommServer.h"
#include "LogCapture.h"
#include "NamedObjects.h"
#include "RemoteTestSupport.h"
#include "SharedBlock.h"
#include "VelomixClient.h"

namespace {

class CommServerTest : public IpcTest {
protected:
    // A server bound to its filter the way the real filter binds it.
    struct Bound {
        FakeFilter filter;
        CVelomixCommServer server;
        explicit Bound(double dTempo = 1.0, double dRate = 1.0, int nPitch = 0)
            : filter(dTempo, dRate, nPitch) {
            filter.Attach(&server);
        }
        ~Bound() {
            server.Stop();
            filter.Attach(nullptr);
        }
        bool Start() { return server.Start(&filter); }
        // Start, and wait until its thread serves requests.
        bool StartServing() {
            CQNamedEvent evArrival;
            return evArrival.Create(kVelomixArrivalEventName, false, false) && Start() &&
                   evArrival.Wait(kHangMs);
        }
    };
};

} // namespace

// Creates (or opens) an auto-reset event as a control program does.
#define NAMED_EVENT(var, name)                                                                     \
    CQNamedEvent var;                                                                              \
    ASSERT_TRUE(var.Create(name, false, false))

TEST_F(CommServerTest, PublishesTheFilterValuesAtStart) {
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    Bound first;
    ASSERT_TRUE(first.Start());
    BlockValues block;
    ASSERT_TRUE(ReadBlock(block));
    EXPECT_EQ(block.dwHeader, 20u);
    EXPECT_EQ(block.dTempo, 1.0);
    EXPECT_EQ(block.dRate, 1.0);
    EXPECT_EQ(block.nPitch, 0);
    EXPECT_TRUE(evChange.Wait(0));
    EXPECT_EQ(first.filter.References(), 0) << "the server must not hold a reference";
}

TEST_F(CommServerTest, EffectiveLocalChangeIsPublishedAndAnnouncedOnce) {
    Bound bound;
    ASSERT_TRUE(bound.Start());
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    ASSERT_EQ(bound.filter.SetTempo(1.5), S_OK);
    EXPECT_TRUE(evChange.Wait(0));
    EXPECT_FALSE(evChange.Wait(0));
    // Seen from another process.
    auto ctl = ChildProcess::StartCtl({"get", "--json"});
    ASSERT_TRUE(ctl);
    EXPECT_EQ(ctl->Wait(), 0) << ctl->Stderr();
    EXPECT_EQ(ctl->Stdout(), "{\"tempo\":1.5,\"rate\":1,\"pitch\":0}\n");
    // The same value again is no change.
    ASSERT_EQ(bound.filter.SetTempo(1.5), S_OK);
    EXPECT_FALSE(evChange.Wait(0));
}

TEST_F(CommServerTest, RequestFromAnotherProcessChangesTheFilter) {
    Bound bound;
    ASSERT_TRUE(bound.StartServing());
    auto ctl = ChildProcess::StartCtl({"set", "--tempo", "2", "--pitch", "-4"});
    ASSERT_TRUE(ctl);
    EXPECT_EQ(ctl->Wait(), 0) << ctl->Stderr();
    EXPECT_EQ(ctl->Stdout(), "tempo 2 rate 1 pitch -4\n");
    EXPECT_EQ(bound.filter.Tempo(), 2.0);
    EXPECT_EQ(bound.filter.Rate(), 1.0);
    EXPECT_EQ(bound.filter.Pitch(), -4);
    // One request, one combination: one change.
    EXPECT_EQ(bound.filter.Changes(), 1);
    EXPECT_EQ(bound.filter.Requests(), 1);
}

TEST_F(CommServerTest, RequestWithTheCurrentValuesChangesAndAnnouncesNothing) {
    Bound bound(1.25, 0.5, 7);
    ASSERT_TRUE(bound.StartServing());
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    ASSERT_TRUE(SendRequest(1.25, 0.5, 7));
    ASSERT_TRUE(bound.filter.WaitUntil([&] { return bound.filter.Requests() == 1; }));
    EXPECT_EQ(bound.filter.Changes(), 0);
    EXPECT_FALSE(evChange.Wait(0));
}

TEST_F(CommServerTest, TwoRequestsBeforeTheThreadReadsApplyAsOne) {
    Bound bound;
    ASSERT_TRUE(bound.StartServing());
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    {
        // Holding the mutex keeps the server from reading between the two requests.
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire();
        ASSERT_TRUE(guard);
        CQShareMemory block;
        CQNamedEvent evRequest;
        ASSERT_TRUE(block.Open(kVelomixBlockName, kVelomixBlockDataSize));
        ASSERT_TRUE(evRequest.OpenExisting(kVelomixRequestEventName, false, false));
        for (double dTempo : {1.5, 2.5}) {
            ASSERT_EQ(block.Write(&dTempo, kVelomixTempoOffset, 8), 8u);
            ASSERT_TRUE(evRequest.Set());
        }
    }
    ASSERT_TRUE(bound.filter.WaitUntil([&] { return bound.filter.Tempo() == 2.5; }));
    EXPECT_EQ(bound.filter.TempoHistory(), std::vector<double>{2.5});
    EXPECT_TRUE(evChange.Wait(kHangMs));
}

TEST_F(CommServerTest, SecondServerPublishesButDoesNotServe) {
    NAMED_EVENT(evArrival, kVelomixArrivalEventName);
    Bound serving;
    ASSERT_TRUE(serving.Start());
    ASSERT_TRUE(evArrival.Wait(kHangMs));
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    Bound second(0.75);
    ASSERT_TRUE(second.Start());
    BlockValues block;
    ASSERT_TRUE(ReadBlock(block));
    EXPECT_EQ(block.dTempo, 0.75) << "every server publishes its own values";
    EXPECT_TRUE(evChange.Wait(0));
    second.server.Stop(); // joins its thread, which ended at once
    EXPECT_FALSE(evArrival.Wait(0)) << "only the serving thread announces itself";

    ASSERT_TRUE(SendRequest(2.0, 1.0, 0));
    ASSERT_TRUE(serving.filter.WaitUntil([&] { return serving.filter.Tempo() == 2.0; }));
    EXPECT_EQ(second.filter.Tempo(), 0.75);
    EXPECT_EQ(second.filter.SetterCalls(), 0);
}

TEST_F(CommServerTest, ServerInAnotherProcessPublishesButDoesNotServe) {
    Bound serving;
    ASSERT_TRUE(serving.StartServing());
    auto other = ChildProcess::StartRole("server", {"0.75"});
    ASSERT_TRUE(other && other->WaitForLine("started"));
    BlockValues block;
    ASSERT_TRUE(ReadBlock(block));
    EXPECT_EQ(block.dTempo, 0.75);

    auto ctl = ChildProcess::StartCtl({"set", "--tempo", "3"});
    ASSERT_TRUE(ctl);
    EXPECT_EQ(ctl->Wait(), 0) << ctl->Stderr();
    EXPECT_EQ(serving.filter.Tempo(), 3.0);
    other->WriteLine("tempo");
    std::string line;
    ASSERT_TRUE(other->ReadLine(line));
    EXPECT_EQ(line, "0.75");
    // Its local change is published into the one shared block.
    other->WriteLine("set 0.5");
    ASSERT_TRUE(other->WaitForLine("ok"));
    ASSERT_TRUE(ReadBlock(block));
    EXPECT_EQ(block.dTempo, 0.5);
    other->CloseStdin();
    EXPECT_EQ(other->Wait(), 0) << other->Stderr();
}

TEST_F(CommServerTest, EveryServerAnnouncesItsDeparture) {
    NAMED_EVENT(evDeparture, kVelomixDepartureEventName);
    { CVelomixCommServer neverStarted; }
    EXPECT_TRUE(evDeparture.Wait(0));
    {
        Bound serving;
        ASSERT_TRUE(serving.Start());
        {
            Bound publishingOnly;
            ASSERT_TRUE(publishingOnly.Start());
        }
        EXPECT_TRUE(evDeparture.Wait(0));
    }
    EXPECT_TRUE(evDeparture.Wait(0));
    EXPECT_FALSE(evDeparture.Wait(0));
}

TEST_F(CommServerTest, ServesAgainOnceTheRequestEventIsGone) {
    NAMED_EVENT(evArrival, kVelomixArrivalEventName);
    {
        Bound first;
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(evArrival.Wait(kHangMs));
    }
    // The first server's event ended with it.
    Bound second;
    ASSERT_TRUE(second.Start());
    EXPECT_TRUE(evArrival.Wait(kHangMs));
    ASSERT_TRUE(SendRequest(1.5, 1.0, 0));
    EXPECT_TRUE(second.filter.WaitUntil([&] { return second.filter.Tempo() == 1.5; }));
}

TEST_F(CommServerTest, ControlProgramHoldingTheRequestEventKeepsServersOffUntilKilled) {
    NAMED_EVENT(evArrival, kVelomixArrivalEventName);
    auto holder = ChildProcess::StartRole("hold-event", {kVelomixRequestEventName, "any"});
    ASSERT_TRUE(holder && holder->WaitForLine("holding"));
    {
        Bound blocked;
        ASSERT_TRUE(blocked.Start());
        blocked.server.Stop(); // its thread has ended without serving
        EXPECT_FALSE(evArrival.Wait(0));
    }
    holder->Signal(SIGKILL);
    EXPECT_EQ(holder->Wait(), 128 + SIGKILL);
    Bound serving;
    ASSERT_TRUE(serving.Start());
    EXPECT_TRUE(evArrival.Wait(kHangMs)) << "the killed holder kept the request event alive";
    auto ctl = ChildProcess::StartCtl({"set", "--rate", "1.5"});
    ASSERT_TRUE(ctl);
    EXPECT_EQ(ctl->Wait(), 0) << ctl->Stderr();
    EXPECT_EQ(serving.filter.Rate(), 1.5);
}

TEST_F(CommServerTest, SetterAfterStopPublishesNothing) {
    Bound bound;
    ASSERT_TRUE(bound.Start());
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    bound.server.Stop();
    EXPECT_FALSE(bound.server.Publish());
    ASSERT_EQ(bound.filter.SetTempo(2.0), S_OK);
    EXPECT_FALSE(evChange.Wait(0));
    BlockValues block;
    ASSERT_TRUE(ReadBlock(block)) << "the block stays mapped after Stop";
    EXPECT_EQ(block.dTempo, 1.0);
}

// A block file cut short by a process of this user, anywhere in the block's 24 bytes: what is
// left is not taken for values (a field is read only whole), the block is still found, and the
// filter's next publication makes it whole again.
TEST_F(CommServerTest, TruncatedBlockReadsAsDamagedUntilTheNextPublication) {
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    Bound bound(1.5, 0.75, 3);
    ASSERT_TRUE(bound.Start());
    const std::string file = IpcDir() + "/" + kVelomixBlockName;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    const off_t blockStart = st.st_size - 24; // the block ends the file
    double dTempo = 1.5;
    for (const off_t kept : {4, 12, 20, 23}) {
        SCOPED_TRACE("bytes of the block kept: " + std::to_string(kept));
        ASSERT_EQ(truncate(file.c_str(), blockStart + kept), 0);
        CQShareMemory block;
        ASSERT_TRUE(block.Open(kVelomixBlockName, kVelomixBlockDataSize));
        uint8_t data[kVelomixBlockDataSize];
        EXPECT_EQ(block.Read(data, 0, kVelomixBlockDataSize), 0u);
        double dField = 0.0;
        int32_t nField = 0;
        EXPECT_EQ(block.Read(&dField, kVelomixTempoOffset, 8), kept >= 12 ? 8u : 0u);
        EXPECT_EQ(block.Read(&dField, kVelomixRateOffset, 8), kept >= 20 ? 8u : 0u);
        EXPECT_EQ(block.Read(&nField, kVelomixPitchOffset, 4), 0u);
        CVelomixClient client;
        VelomixValues values;
        EXPECT_EQ(client.Read(values, kHangMs), VelomixStatus::Damaged);

        dTempo += 0.25;
        ASSERT_EQ(bound.filter.SetTempo(dTempo), S_OK);
        ASSERT_TRUE(WaitForBlock(evChange, dTempo, 0.75, 3));
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, blockStart + 24);
        EXPECT_EQ(client.Read(values, kHangMs), VelomixStatus::Ok);
        EXPECT_EQ(values, (VelomixValues{dTempo, 0.75, 3}));
    }
}

TEST_F(CommServerTest, RefusedRequestChangesNothingAndTheBlockShowsTheFilterValues) {
    Bound bound(1.0, 1.5, 0);
    ASSERT_TRUE(bound.StartServing());
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    // One value refused refuses the request whole: the rate asked for beside it is not taken.
    for (const BlockValues& refused :
         {BlockValues{0, std::nan(""), 2.0, 0}, BlockValues{0, 1.0, 2.0, 61},
          BlockValues{0, std::numeric_limits<double>::infinity(), 0.01, -61}}) {
        ASSERT_TRUE(SendRequest(refused.dTempo, refused.dRate, refused.nPitch));
        ASSERT_TRUE(WaitForBlock(evChange, 1.0, 1.5, 0));
    }
    EXPECT_EQ(bound.filter.Requests(), 3);
    EXPECT_EQ(bound.filter.Changes(), 0);
    EXPECT_EQ(bound.filter.Rate(), 1.5);
}

TEST_F(CommServerTest, ControlProgramKilledHoldingTheMutexDoesNotHangTheFilter) {
    Bound bound;
    ASSERT_TRUE(bound.StartServing());
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    auto holder = ChildProcess::StartRole("hold-mutex", {kVelomixMutexName});
    ASSERT_TRUE(holder && holder->WaitForLine("locked"));
    // A setter leaves its publication to the server thread while the holder lives.
    std::thread setter([&] { bound.filter.SetTempo(1.5); });
    holder->Signal(SIGKILL);
    EXPECT_EQ(holder->Wait(), 128 + SIGKILL);
    setter.join();
    EXPECT_TRUE(WaitForBlock(evChange, 1.5, 1.0, 0));
    ASSERT_TRUE(SendRequest(1.5, 1.0, 5));
    EXPECT_TRUE(bound.filter.WaitUntil([&] { return bound.filter.Pitch() == 5; }));
}

TEST_F(CommServerTest, LockOrderHoldsUnderLoad) {
    Bound bound;
    ASSERT_TRUE(bound.StartServing());
    auto requester = ChildProcess::StartRole("requester", {"2000"});
    ASSERT_TRUE(requester);
    std::atomic<bool> bStop{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; !bStop; ++i) {
                double dValue = 0.0;
                int nValue = 0;
                bound.filter.SetTempo(0.5 + ((i + t) % 4) * 0.5);
                bound.filter.GetRate(&dValue);
                bound.filter.SetPitch((i % 9) - 4);
                bound.filter.GetTempo(&dValue);
                bound.filter.SetRate(1.0 + (i % 3) * 0.25);
                bound.filter.GetPitch(&nValue);
            }
        });
    }
    const bool bBurstDone = requester->WaitForLine("burst done");
    bStop = true;
    for (std::thread& t : clients) {
        t.join();
    }
    ASSERT_TRUE(bBurstDone) << requester->Stderr();
    EXPECT_EQ(requester->Wait(), 0);
    NAMED_EVENT(evChange, kVelomixChangeEventName);

    // The server still serves. A request still being applied may publish over a new one
    // (the protocol has no reply for that), so the request is repeated until it is in force.
    bool bApplied = false;
    for (int attempt = 0; attempt < 5 && !bApplied; ++attempt) {
        ASSERT_TRUE(SendRequest(0.875, 1.125, -1));
        bApplied = bound.filter.WaitUntil(
            [&] {
                return bound.filter.Tempo() == 0.875 && bound.filter.Rate() == 1.125 &&
                       bound.filter.Pitch() == -1;
            },
            kHangMs / 5);
    }
    EXPECT_TRUE(bApplied);
    EXPECT_TRUE(WaitForBlock(evChange, 0.875, 1.125, -1));

    // Quiet now: the block shows the last local change.
    std::thread([&] {
        bound.filter.SetTempo(1.75);
        bound.filter.SetRate(1.25);
        bound.filter.SetPitch(3);
    }).join();
    BlockValues block;
    ASSERT_TRUE(ReadBlock(block));
    EXPECT_EQ(block.dTempo, 1.75);
    EXPECT_EQ(block.dRate, 1.25);
    EXPECT_EQ(block.nPitch, 3);
}

namespace {

// Waits (bounded) until the block shows this tempo.
bool WaitForBlockTempo(double dTempo) {
    for (int i = 0; i < kHangMs; ++i) {
        BlockValues block;
        if (ReadBlock(block) && block.dTempo == dTempo) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace

// A filter that starts (or changes) while a request waits publishes its values, but never over
// the request: the serving filter takes it, and it is what both the filter and the block end at.
TEST_F(CommServerTest, NoPublicationWritesOverAPendingRequest) {
    Bound serving;
    ASSERT_TRUE(serving.StartServing());
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    Bound standby(0.75, 1.25, 2);
    {
        // The serving filter takes a request under its speed lock: held, the request waits.
        auto hold = serving.filter.Hold();
        ASSERT_TRUE(SendRequest(1.5, 0.8, -3));
        ASSERT_TRUE(standby.Start());
        ASSERT_EQ(standby.filter.SetTempo(0.5), S_OK);
        BlockValues block;
        ASSERT_TRUE(ReadBlock(block));
        EXPECT_EQ((VelomixValues{block.dTempo, block.dRate, block.nPitch}),
                  (VelomixValues{1.5, 0.8, -3}));
    }
    ASSERT_TRUE(serving.filter.WaitUntil([&] { return serving.filter.Requests() == 1; }));
    ASSERT_TRUE(WaitForBlock(evChange, 1.5, 0.8, -3));
    EXPECT_EQ(serving.filter.History(),
              (std::vector<VelomixValues>{{1.0, 1.0, 0}, {1.5, 0.8, -3}}));
    EXPECT_EQ(serving.filter.Requests(), 1);
}

// Last writer wins, and the loser hears it at once: its request was replaced before the filter
// could take it, which the client tells while the filter still cannot take anything.
TEST_F(CommServerTest, ARequestReplacedBeforeItIsTakenIsToldSupersededAtOnce) {
    Bound serving;
    ASSERT_TRUE(serving.StartServing());
    VelomixStatus first = VelomixStatus::Failed;
    {
        auto hold = serving.filter.Hold();
        std::thread loser([&] {
            CVelomixClient client;
            first = client.Request(VelomixValues{1.5, 1.0, 0}, 60000);
        });
        ASSERT_TRUE(WaitForBlockTempo(1.5));
        ASSERT_TRUE(SendRequest(2.0, 1.0, 0));
        loser.join();
        EXPECT_EQ(first, VelomixStatus::Superseded);
    }
    CVelomixClient client;
    VelomixValues now;
    EXPECT_EQ(client.Request(VelomixValues{2.0, 1.0, 0}, kHangMs, &now), VelomixStatus::Ok);
    EXPECT_EQ(now, (VelomixValues{2.0, 1.0, 0}));
    EXPECT_EQ(serving.filter.History(), (std::vector<VelomixValues>{{1.0, 1.0, 0}, {2.0, 1.0, 0}}));
}

// A request nobody takes before the deadline is withdrawn: the block shows what it showed, and
// the filter never applies it afterwards.
TEST_F(CommServerTest, ARequestNobodyTakesIsWithdrawn) {
    Bound serving(1.25, 1.0, 0);
    ASSERT_TRUE(serving.StartServing());
    {
        auto hold = serving.filter.Hold();
        CVelomixClient client;
        VelomixValues now;
        EXPECT_EQ(client.Request(VelomixValues{2.0, 1.0, 0}, 300, &now), VelomixStatus::Timeout);
        EXPECT_EQ(now, (VelomixValues{1.25, 1.0, 0}));
        BlockValues block;
        ASSERT_TRUE(ReadBlock(block));
        EXPECT_EQ(block.dTempo, 1.25);
    }
    CVelomixClient client;
    EXPECT_EQ(client.Request(VelomixValues{1.5, 1.0, 0}, kHangMs), VelomixStatus::Ok);
    EXPECT_EQ(serving.filter.History(),
              (std::vector<VelomixValues>{{1.25, 1.0, 0}, {1.5, 1.0, 0}}));
    EXPECT_EQ(serving.filter.Requests(), 1);
}

// Three controllers asking for random values ten times a second each: none times out, each
// success was in force, and the filter ends at the last one confirmed. VELOMIX_CONTROLLER_MS
// sets how long (a minute: 60000).
TEST_F(CommServerTest, ThreeControllersNeverTimeOutNorHearAFalseSuccess) {
    Bound serving;
    ASSERT_TRUE(serving.StartServing());
    const char* pszMs = std::getenv("VELOMIX_CONTROLLER_MS");
    const int ms = pszMs != nullptr ? std::atoi(pszMs) : 3000;
    std::vector<std::unique_ptr<ChildProcess>> controllers;
    for (int seed = 1; seed <= 3; ++seed) {
        controllers.push_back(
            ChildProcess::StartRole("controller", {std::to_string(ms), std::to_string(seed)}));
        ASSERT_TRUE(controllers.back());
    }
    struct Confirmed {
        VelomixValues values;
        long long ns = 0;
    };
    std::vector<Confirmed> confirmed;
    int superseded = 0;
    for (auto& controller : controllers) {
        std::string line;
        while (controller->ReadLine(line, ms + kHangMs) && line != "done") {
            Confirmed c;
            int pitch = 0;
            if (std::sscanf(line.c_str(), "ok %lf %lf %d %lld", &c.values.dTempo, &c.values.dRate,
                            &pitch, &c.ns) == 4) {
                c.values.nPitch = pitch;
                confirmed.push_back(c);
            } else if (line == "superseded" || line == "overridden") {
                ++superseded;
            } else {
                ADD_FAILURE() << "a controller heard: " << line;
            }
        }
        EXPECT_EQ(line, "done");
        EXPECT_EQ(controller->Wait(), 0) << controller->Stderr();
    }
    ASSERT_FALSE(confirmed.empty());
    const std::vector<VelomixValues> history = serving.filter.History();
    for (const Confirmed& c : confirmed) {
        EXPECT_NE(std::find(history.begin(), history.end(), c.values), history.end())
            << "confirmed but never in force: " << c.values.dTempo << " " << c.values.dRate << " "
            << c.values.nPitch;
    }
    const Confirmed& last =
        *std::max_element(confirmed.begin(), confirmed.end(),
                          [](const Confirmed& a, const Confirmed& b) { return a.ns < b.ns; });
    EXPECT_EQ(serving.filter.SpeedInForce(), last.values);
    std::printf("[ measure ] %zu confirmed, %d superseded, %zu in force in turn\n",
                confirmed.size(), superseded, history.size());
}

// A publication left to the server thread reads the values before it takes the mutex. A setter
// that publishes in between wrote newer values: the thread's older ones must not land over them.
TEST_F(CommServerTest, AnOlderPublicationNeverOverwritesANewerOne) {
    Bound bound;
    ASSERT_TRUE(bound.Start());
    std::atomic<bool> bRelease{false};
    std::atomic<bool> bLocked{false};
    std::thread holder([&] {
        CQNamedMutex mutex(kVelomixMutexName);
        CQNamedMutex::Guard guard = mutex.Acquire(kHangMs);
        bLocked = static_cast<bool>(guard);
        while (!bRelease) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (!bLocked) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The setter cannot publish: its publication goes to the server thread, which reads 1.5 and
    // then, before it locks, the mutex comes free and a setter publishes 2.0 itself.
    ASSERT_EQ(bound.filter.SetTempo(1.5), S_OK);
    std::atomic<bool> bNewer{false};
    bound.filter.OnNextRead([&] {
        bRelease = true;
        holder.join();
        std::thread setter([&] { bNewer = bound.filter.SetTempo(2.0) == S_OK; });
        setter.join();
    });
    ASSERT_TRUE(bound.filter.WaitUntil([&] { return bNewer.load(); }));
    // Whatever the thread does now, it does within a retry or two.
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * CVelomixCommServer::kRetryMs));
    BlockValues block;
    ASSERT_TRUE(ReadBlock(block));
    EXPECT_EQ(block.dTempo, 2.0);
}

// A refused request leaves exactly one line in the log, and nothing else does.
TEST_F(CommServerTest, ARefusedRequestIsLoggedOnce) {
    Bound bound;
    ASSERT_TRUE(bound.StartServing());
    NAMED_EVENT(evChange, kVelomixChangeEventName);
    std::vector<std::string> lines;
    {
        LogCapture log("3");
        ASSERT_TRUE(SendRequest(std::nan(""), 1.0, 0));
        ASSERT_TRUE(bound.filter.WaitUntil([&] { return bound.filter.Requests() == 1; }));
        ASSERT_TRUE(SendRequest(1.5, 1.0, 0));
        ASSERT_TRUE(bound.filter.WaitUntil([&] { return bound.filter.Requests() == 2; }));
        lines = log.Lines();
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("request refused whole"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("in force: tempo 1 rate 1 pitch 0"), std::string::npos) << lines[0];
}
