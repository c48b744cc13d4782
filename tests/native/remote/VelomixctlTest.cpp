// velomixctl end to end against a control server in the test process.
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CommServer.h"
#include "RemoteTestSupport.h"
#include "SharedBlock.h"

namespace {

class VelomixctlTest : public IpcTest {
protected:
    void TearDown() override {
        m_server.Stop();
        m_filter.Attach(nullptr);
        IpcTest::TearDown();
    }

    // Starts the server and (unless a watcher is to see the arrival) waits until it serves.
    void StartServer(bool bWaitUntilServing = true) {
        CQNamedEvent evArrival;
        if (bWaitUntilServing) {
            ASSERT_TRUE(evArrival.Create(kVelomixArrivalEventName, false, false));
        }
        m_filter.Attach(&m_server);
        ASSERT_TRUE(m_server.Start(&m_filter));
        if (bWaitUntilServing) {
            ASSERT_TRUE(evArrival.Wait(kHangMs));
        }
    }

    // Runs velomixctl to its end; the exit code.
    int Run(const std::vector<std::string>& args) {
        m_ctl = ChildProcess::StartCtl(args);
        return m_ctl ? m_ctl->Wait() : -1;
    }
    const std::string& Out() const { return m_ctl->Stdout(); }
    const std::string& Err() const { return m_ctl->Stderr(); }

    FakeFilter m_filter;
    CVelomixCommServer m_server;
    std::unique_ptr<ChildProcess> m_ctl;
};

} // namespace

TEST_F(VelomixctlTest, HelpAndVersion) {
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_NE(Out().find("Usage: velomixctl"), std::string::npos);
    EXPECT_NE(Out().find("Exit status"), std::string::npos);
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(Out().rfind("velomixctl ", 0), 0u) << Out();
}

TEST_F(VelomixctlTest, UsageErrorsExitWithTwoAndSendNothing) {
    StartServer();
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"set"},
        {"set", "--tempo"},
        {"set", "--tempo", "1.5x"},
        {"set", "--tempo", "nan"},
        {"set", "--tempo", "inf"},
        {"set", "--tempo", "0x1p0"},
        {"set", "--tempo", " 1.5"},
        {"set", "--tempo", "0.01"},
        {"set", "--rate", "51"},
        {"set", "--pitch", "1.5"},
        {"set", "--pitch", "61"},
        {"set", "--pitch", "--1"},
        {"set", "--tempo", "1.5", "--bogus"},
        {"set", "--tempo", "1.5", "--timeout", "0"},
        {"get", "--tempo", "2"},
        {"watch", "--timeout", "5"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const std::string& a : args) {
            joined += a + " ";
        }
        EXPECT_EQ(Run(args), 2) << joined;
        EXPECT_NE(Err(), "") << joined;
        EXPECT_EQ(Out(), "") << joined;
    }
    EXPECT_EQ(m_filter.SetterCalls(), 0);
}

TEST_F(VelomixctlTest, WithoutAFilterItSaysSoAndFails) {
    EXPECT_EQ(Run({"get"}), 1);
    EXPECT_NE(Err().find("no filter is running"), std::string::npos) << Err();
    EXPECT_EQ(Run({"set", "--tempo", "2"}), 1);
    EXPECT_EQ(Run({"reset"}), 1);

    // A block without a serving filter: the request is not even written.
    auto holder = ChildProcess::StartRole("block", {kVelomixBlockName, "1.25"});
    ASSERT_TRUE(holder && holder->WaitForLine("written"));
    EXPECT_EQ(Run({"set", "--tempo", "2"}), 1);
    EXPECT_NE(Err().find("no filter serves requests"), std::string::npos) << Err();
    BlockValues block;
    ASSERT_TRUE(ReadBlock(block));
    EXPECT_EQ(block.dTempo, 1.25);
}

TEST_F(VelomixctlTest, GetSetAndReset) {
    StartServer();
    EXPECT_EQ(Run({"get", "--json"}), 0) << Err();
    EXPECT_EQ(Out(), "{\"tempo\":1,\"rate\":1,\"pitch\":0}\n");

    EXPECT_EQ(Run({"set", "--tempo", "1.5"}), 0) << Err();
    EXPECT_EQ(Out(), "tempo 1.5 rate 1 pitch 0\n");
    EXPECT_EQ(m_filter.Tempo(), 1.5);

    EXPECT_EQ(Run({"set", "--rate", "8e-1", "--pitch", "-2", "--json"}), 0) << Err();
    EXPECT_EQ(Out(), "{\"tempo\":1.5,\"rate\":0.8,\"pitch\":-2}\n");
    EXPECT_EQ(m_filter.Rate(), 0.8);
    EXPECT_EQ(m_filter.Pitch(), -2);

    EXPECT_EQ(Run({"get"}), 0) << Err();
    EXPECT_EQ(Out(), "tempo 1.5 rate 0.8 pitch -2\n");

    EXPECT_EQ(Run({"reset"}), 0) << Err();
    EXPECT_EQ(Out(), "tempo 1 rate 1 pitch 0\n");
    EXPECT_EQ(m_filter.Tempo(), 1.0);
    EXPECT_EQ(m_filter.Rate(), 1.0);
    EXPECT_EQ(m_filter.Pitch(), 0);

    // Nothing to change: no notification will come, and none is waited for.
    const int calls = m_filter.SetterCalls();
    EXPECT_EQ(Run({"set", "--tempo", "1", "--timeout", "3600000"}), 0) << Err();
    EXPECT_EQ(m_filter.SetterCalls(), calls);
}

TEST_F(VelomixctlTest, SignedFactorsAndPitchStepsMoveFromTheCurrentValues) {
    StartServer();
    EXPECT_EQ(Run({"set", "--tempo", "+0.1"}), 0) << Err();
    EXPECT_EQ(Out(), "tempo 1.1 rate 1 pitch 0\n");
    EXPECT_EQ(Err(), "");
    EXPECT_EQ(Run({"set", "--tempo", "+0.1", "--rate", "-0.25", "--pitch-step", "-2"}), 0) << Err();
    EXPECT_EQ(Out(), "tempo 1.2 rate 0.75 pitch -2\n");
    EXPECT_EQ(m_filter.Tempo(), 1.2);
    EXPECT_EQ(m_filter.Rate(), 0.75);
    EXPECT_EQ(m_filter.Pitch(), -2);
    // An absolute negative pitch keeps its meaning; the step goes from there.
    EXPECT_EQ(Run({"set", "--pitch", "-3"}), 0) << Err();
    EXPECT_EQ(Run({"set", "--pitch-step", "+1"}), 0) << Err();
    EXPECT_EQ(m_filter.Pitch(), -2);

    // Past the accepted range: clamped, and said so.
    EXPECT_EQ(Run({"set", "--tempo", "-5", "--pitch-step", "2147483647"}), 0) << Err();
    EXPECT_EQ(Out(), "tempo 0.05 rate 0.75 pitch 60\n");
    EXPECT_NE(Err().find("tempo -3.8 is outside 0.05 to 50; clamped to 0.05"), std::string::npos)
        << Err();
    EXPECT_NE(Err().find("pitch 2147483645 is outside -60 to 60; clamped to 60"), std::string::npos)
        << Err();
    EXPECT_EQ(Run({"set", "--rate", "+100", "--pitch-step", "-2147483648"}), 0) << Err();
    EXPECT_EQ(Out(), "tempo 0.05 rate 50 pitch -60\n");
    EXPECT_NE(Err().find("clamped to 50"), std::string::npos) << Err();
    EXPECT_NE(Err().find("clamped to -60"), std::string::npos) << Err();

    // Steps that are not numbers are usage errors; nothing is sent.
    const int calls = m_filter.SetterCalls();
    for (const char* bad : {"+", "-x", "+inf", "+nan"}) {
        EXPECT_EQ(Run({"set", "--tempo", bad}), 2) << bad;
    }
    EXPECT_EQ(Run({"set", "--pitch-step", "+1.5"}), 2);
    EXPECT_EQ(Run({"get", "--pitch-step", "1"}), 2);
    EXPECT_EQ(m_filter.SetterCalls(), calls);
}

TEST_F(VelomixctlTest, SetReportsATimeOutWhenNobodyApplies) {
    StartServer();
    // The serving thread is stopped, but its request event is kept by this handle.
    CQNamedEvent evRequest;
    ASSERT_TRUE(evRequest.OpenExisting(kVelomixRequestEventName, false, false));
    m_server.Stop();
    EXPECT_EQ(Run({"set", "--tempo", "2", "--timeout", "100"}), 1);
    EXPECT_NE(Err().find("did not take the request within 100 ms"), std::string::npos) << Err();
    EXPECT_EQ(m_filter.Tempo(), 1.0);
}

TEST_F(VelomixctlTest, HeldMutexGivesATimeOutNotAHang) {
    StartServer();
    auto holder = ChildProcess::StartRole("hold-mutex", {kVelomixMutexName});
    ASSERT_TRUE(holder && holder->WaitForLine("locked"));
    EXPECT_EQ(Run({"get", "--timeout", "50"}), 1);
    EXPECT_NE(Err().find("timed out waiting for the channel's mutex"), std::string::npos) << Err();
    EXPECT_EQ(Run({"set", "--tempo", "2", "--timeout", "50"}), 1);
    EXPECT_EQ(m_filter.SetterCalls(), 0);
}

TEST_F(VelomixctlTest, WatchReportsChangesArrivalsAndDepartures) {
    auto watch = ChildProcess::StartCtl({"watch", "--json"});
    ASSERT_TRUE(watch && watch->WaitForLine("{\"event\":\"watching\"}"));
    StartServer(false);
    // The start publishes, then the thread starts serving; the two may come in one wake-up.
    std::vector<std::string> lines(2);
    ASSERT_TRUE(watch->ReadLine(lines[0]));
    ASSERT_TRUE(watch->ReadLine(lines[1]));
    EXPECT_EQ(lines[0], "{\"event\":\"change\",\"tempo\":1,\"rate\":1,\"pitch\":0}");
    EXPECT_EQ(lines[1], "{\"event\":\"arrival\"}");

    m_filter.SetTempo(1.25);
    std::string line;
    ASSERT_TRUE(watch->ReadLine(line));
    EXPECT_EQ(line, "{\"event\":\"change\",\"tempo\":1.25,\"rate\":1,\"pitch\":0}");
    { CVelomixCommServer other; }
    ASSERT_TRUE(watch->ReadLine(line));
    EXPECT_EQ(line, "{\"event\":\"departure\"}");

    watch->Signal(SIGTERM);
    EXPECT_EQ(watch->Wait(), 0) << watch->Stderr();
}

TEST_F(VelomixctlTest, WatchEndsCleanlyOnInterrupt) {
    auto watch = ChildProcess::StartCtl({"watch"});
    ASSERT_TRUE(watch && watch->WaitForLine("watching"));
    StartServer(false);
    ASSERT_TRUE(watch->WaitForLine("change: tempo 1 rate 1 pitch 0"));
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(), 0) << watch->Stderr();
}
