#include "ControlChannelTest.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "SharedBlock.h"

std::ostream& operator<<(std::ostream& os, const VelomixValues& v) {
    return os << "tempo " << v.dTempo << " rate " << v.dRate << " pitch " << v.nPitch;
}

// ---------------------------------------------------------------------------------------------
// Watchdog

Watchdog::Watchdog(std::string what, int limitMs) {
    m_thread = std::thread([this, what = std::move(what), limitMs] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, std::chrono::milliseconds(limitMs), [this] { return m_bDone; })) {
            std::fprintf(stderr, "watchdog: %s did not finish within %d ms (deadlock?)\n",
                         what.c_str(), limitMs);
            std::fflush(stderr);
            std::abort();
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bDone = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

// ---------------------------------------------------------------------------------------------
// ToneLoop

class ToneLoop::CLoopProvider final : public CSampleProvider {
public:
    explicit CLoopProvider(ToneLoop& loop) : m_Loop(loop) {}

    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override {
        if (m_Loop.m_bFinish) {
            return S_FALSE;
        }
        const WAVEFORMATEX& wfx = m_Loop.m_wfx;
        const LONG cb = std::min(m_Loop.m_cbChunk, cbBuffer - cbBuffer % wfx.nBlockAlign);
        const std::vector<uint8_t>& tone = m_Loop.m_Tone;
        for (LONG i = 0; i < cb; ++i) {
            pBuffer[i] = tone[(m_Offset + static_cast<size_t>(i)) % tone.size()];
        }
        m_Offset = (m_Offset + static_cast<size_t>(cb)) % tone.size();
        const LONGLONG frames = cb / wfx.nBlockAlign;
        pChunk->cbData = cb;
        pChunk->bTimeValid = true;
        pChunk->tStart = CPcmProvider::FrameTime(m_Frame, wfx.nSamplesPerSec);
        pChunk->tStop = CPcmProvider::FrameTime(m_Frame + frames, wfx.nSamplesPerSec);
        pChunk->bSyncPoint = true;
        pChunk->bDiscontinuity = m_Frame == 0;
        m_Frame += frames;
        return S_OK;
    }

private:
    ToneLoop& m_Loop;
    size_t m_Offset = 0;
    LONGLONG m_Frame = 0;
};

ToneLoop::ToneLoop(const WAVEFORMATEX& wfx, LONG cbChunk)
    : m_wfx(wfx), m_cbChunk(cbChunk - cbChunk % wfx.nBlockAlign),
      m_Tone(Sine16(wfx.nChannels, static_cast<int>(wfx.nSamplesPerSec), 440, 1.0)) {}

std::unique_ptr<CSampleProvider> ToneLoop::Provider() {
    return std::make_unique<CLoopProvider>(*this);
}

CCollectingSink::Options ToneLoop::SinkOptions() {
    CCollectingSink::Options options;
    options.bStoreSamples = false;
    options.onSample = [this](IMediaSample*, const ReceivedSample& s) -> HRESULT {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_Sizes.push_back(s.lActual);
        }
        m_cv.notify_all();
        return S_OK;
    };
    return options;
}

size_t ToneLoop::Received() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_Sizes.size();
}

bool ToneLoop::WaitForReceived(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return m_Sizes.size() >= n; });
}

double ToneLoop::Ratio(size_t first, size_t last) {
    std::lock_guard<std::mutex> lock(m_mutex);
    double bytes = 0;
    for (size_t i = first; i < last && i < m_Sizes.size(); ++i) {
        bytes += m_Sizes[i];
    }
    return last > first ? bytes / (double(last - first) * m_cbChunk) : 0.0;
}

bool ToneLoop::AllWholeChunks(size_t first, size_t last) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = first; i < last; ++i) {
        if (i >= m_Sizes.size() || m_Sizes[i] != m_cbChunk) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// ControlChannelTest

void ControlChannelTest::SetUp() {
    // First, so that the filters of this test and every process it starts use it.
    m_ipc = std::make_unique<ScopedIpcDir>();
    ASSERT_FALSE(m_ipc->Path().empty());
    FilterTest::SetUp();
}

void ControlChannelTest::TearDown() {
    FilterTest::TearDown();
    m_last.reset();
    m_ipc.reset();
}

ComPtr<IBaseFilter> ControlChannelTest::CreateServingFilter() {
    CQNamedEvent evArrival;
    EXPECT_TRUE(evArrival.Create(kVelomixArrivalEventName, false, false));
    ComPtr<IBaseFilter> filter = CreateFilter();
    EXPECT_TRUE(filter && evArrival.Wait(kHangMs)) << "the filter does not serve requests";
    return filter;
}

FilterTest::Chain ControlChannelTest::BuildToneChain(ToneLoop& tone) {
    return BuildChain(AudioType(tone.Format()), tone.Provider(), 4 * tone.ChunkBytes(), 4,
                      tone.SinkOptions());
}

void ControlChannelTest::FinishTone(ToneLoop& tone, Chain& c) {
    tone.Finish();
    LONG event = 0;
    EXPECT_HR(S_OK, c.graph->WaitForCompletion(30000, &event));
    EXPECT_HR(S_OK, c.graph->Stop());
}

VelomixValues ControlChannelTest::ValuesOf(IVelomixProp* pProp) {
    VelomixValues v;
    EXPECT_HR(S_OK, pProp->GetTempo(&v.dTempo));
    EXPECT_HR(S_OK, pProp->GetRate(&v.dRate));
    EXPECT_HR(S_OK, pProp->GetPitch(&v.nPitch));
    return v;
}

VelomixValues ControlChannelTest::SharedBlockValues() {
    BlockValues block;
    EXPECT_TRUE(ReadBlock(block)) << "no shared block";
    EXPECT_EQ(block.dwHeader, kVelomixBlockDataSize);
    return VelomixValues{block.dTempo, block.dRate, block.nPitch};
}

bool ControlChannelTest::WaitUntilInForce(CQNamedEvent& evChange, IVelomixProp* pProp,
                                          const VelomixValues& v) {
    // The block alone is not enough: a request that the filter takes whole shows the awaited
    // values before the filter has read it.
    while (ValuesOf(pProp) != v || SharedBlockValues() != v) {
        if (!evChange.Wait(kHangMs)) {
            return false;
        }
    }
    return true;
}

int ControlChannelTest::Finish(std::unique_ptr<ChildProcess> child, int timeoutMs) {
    m_last = child ? std::move(child) : std::make_unique<ChildProcess>(); // keeps Out() valid
    return m_last->Pid() > 0 ? m_last->Wait(timeoutMs) : -1;
}

int ControlChannelTest::Ctl(const std::vector<std::string>& args) {
    return Finish(ChildProcess::StartCtl(args));
}

int ControlChannelTest::RunRole(const std::string& role, const std::vector<std::string>& args,
                                int timeoutMs) {
    return Finish(ChildProcess::StartRole(role, args), timeoutMs);
}

std::string ControlChannelTest::Arg(double d) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", d);
    return text;
}
