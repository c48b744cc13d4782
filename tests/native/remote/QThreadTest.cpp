// CQThread: callback order, Stop semantics and restart.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "NamedObjects.h"
#include "QThread.h"
#include "RemoteTestSupport.h"

namespace {

// Records the calls; the run callback can be told to block until SignalStop.
class RecordingThread : public CQThread {
public:
    ~RecordingThread() override { Stop(); }

    int SignalStops() const { return m_nSignalStops; }

    std::mutex m_lock;
    std::string m_calls;
    int m_nStartResult = 1;
    int m_nRunResult = 1;
    bool m_bBlockInRun = false;
    CQNamedEvent m_evStop;
    CQNamedEvent m_evRunning;
    std::atomic<int> m_nSignalStops{0};
    std::atomic<int>* m_pOutsideCount = nullptr;

    RecordingThread() {
        m_evStop.Create(nullptr, true, false);
        m_evRunning.Create(nullptr, false, false);
    }

    void Record(char c) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_calls += c;
    }
    std::string Calls() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls;
    }

    static int OnStart(void* p) {
        auto* self = static_cast<RecordingThread*>(p);
        self->Record('s');
        return self->m_nStartResult;
    }
    static int OnRun(void* p) {
        auto* self = static_cast<RecordingThread*>(p);
        self->Record('r');
        self->m_evRunning.Set();
        if (self->m_bBlockInRun) {
            self->m_evStop.Wait(kInfinite);
        }
        return self->m_nRunResult;
    }
    static int OnEnd(void* p) {
        static_cast<RecordingThread*>(p)->Record('e');
        return 0;
    }

protected:
    void SignalStop() noexcept override {
        ++m_nSignalStops;
        if (m_pOutsideCount != nullptr) {
            ++*m_pOutsideCount;
        }
        m_evStop.Set();
    }
};

} // namespace

TEST(QThreadTest, StopWithoutAThreadDoesNothing) {
    RecordingThread thread;
    thread.Stop();
    thread.Stop();
    EXPECT_EQ(thread.SignalStops(), 0);
    EXPECT_FALSE(thread.HasThread());
}

TEST(QThreadTest, CallbacksRunInOrderWithTheParameter) {
    RecordingThread thread;
    ASSERT_TRUE(thread.Start(&thread, &RecordingThread::OnRun, &RecordingThread::OnStart,
                             &RecordingThread::OnEnd));
    EXPECT_TRUE(thread.HasThread());
    // Already finished by itself, still joined and signalled by Stop.
    ASSERT_TRUE(thread.m_evRunning.Wait(kHangMs));
    thread.Stop();
    EXPECT_EQ(thread.Calls(), "sre");
    EXPECT_EQ(thread.SignalStops(), 1);
    EXPECT_FALSE(thread.HasThread());
    thread.Stop();
    EXPECT_EQ(thread.SignalStops(), 1) << "a second Stop does nothing";
}

TEST(QThreadTest, ZeroFromStartOrRunEndsTheThread) {
    RecordingThread thread;
    thread.m_nStartResult = 0;
    ASSERT_TRUE(thread.Start(&thread, &RecordingThread::OnRun, &RecordingThread::OnStart,
                             &RecordingThread::OnEnd));
    thread.Stop();
    EXPECT_EQ(thread.Calls(), "s");

    thread.m_calls.clear();
    thread.m_nStartResult = 1;
    thread.m_nRunResult = 0;
    ASSERT_TRUE(thread.Start(&thread, &RecordingThread::OnRun, &RecordingThread::OnStart,
                             &RecordingThread::OnEnd));
    thread.Stop();
    EXPECT_EQ(thread.Calls(), "sr");

    thread.m_calls.clear();
    ASSERT_TRUE(thread.Start(&thread, nullptr, nullptr, &RecordingThread::OnEnd));
    thread.Stop();
    EXPECT_EQ(thread.Calls(), "e") << "missing callbacks are skipped";
}

TEST(QThreadTest, StartWhileRunningStopsTheRunningThreadFirst) {
    RecordingThread thread;
    thread.m_bBlockInRun = true;
    ASSERT_TRUE(thread.Start(&thread, &RecordingThread::OnRun));
    ASSERT_TRUE(thread.m_evRunning.Wait(kHangMs));
    // Blocks in its run callback until SignalStop: only Start's own Stop can end it.
    ASSERT_TRUE(thread.Start(&thread, &RecordingThread::OnRun));
    EXPECT_EQ(thread.SignalStops(), 1);
    ASSERT_TRUE(thread.m_evRunning.Wait(kHangMs));
    EXPECT_EQ(thread.Calls(), "rr");
    thread.Stop();
    EXPECT_EQ(thread.SignalStops(), 2);
}

TEST(QThreadTest, StopFromTheWorkerItselfReturns) {
    struct SelfStopping : CQThread {
        std::atomic<bool> bReturned{false};
        ~SelfStopping() override { Stop(); }
        static int Run(void* p) {
            auto* self = static_cast<SelfStopping*>(p);
            self->Stop(); // would wait for its own end
            self->bReturned = true;
            return 1;
        }
    } thread;
    ASSERT_TRUE(thread.Start(&thread, &SelfStopping::Run));
    thread.Stop();
    EXPECT_TRUE(thread.bReturned);
}

TEST(QThreadTest, DestructorStopsTheThread) {
    std::atomic<int> stops{0};
    {
        RecordingThread thread;
        thread.m_pOutsideCount = &stops;
        thread.m_bBlockInRun = true;
        ASSERT_TRUE(thread.Start(&thread, &RecordingThread::OnRun));
        ASSERT_TRUE(thread.m_evRunning.Wait(kHangMs));
    } // would hang if the derived SignalStop were not called
    EXPECT_EQ(stops, 1);
}
