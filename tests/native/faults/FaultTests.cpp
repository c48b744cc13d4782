// Faults brought to the loaded module from outside, as a misbehaving system brings them: a
// settings-file read that hangs (this binary puts its own open() in front of the C library's,
// and the module's calls reach it) and allocations that fail (FailingOperatorNew.h). Both are
// armed only inside the test that wants them.
#include "LogCapture.h"
#include "FailingOperatorNew.h"
#include "filter/FilterTest.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>

namespace {

// ---- a settings read that hangs ----------------------------------------------------------------

// While armed, the first open() of the settings file waits until Release (10 s at most, so that
// a failing test cannot hang the suite).
class SettingsReadHold {
public:
    void Arm() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bArmed = true;
        m_bHeld = m_bReleased = false;
    }
    bool WaitUntilHeld(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [this] { return m_bHeld; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bArmed = false;
        m_bReleased = true;
        m_cv.notify_all();
    }
    void OnOpen(const char* path) {
        const size_t n = path ? std::strlen(path) : 0;
        if (n < 8 || std::strcmp(path + n - 8, "VELO.INI") != 0)
            return;
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_bArmed || m_bHeld)
            return;
        m_bHeld = true;
        m_cv.notify_all();
        m_cv.wait_for(lock, std::chrono::seconds(10), [this] { return m_bReleased; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bArmed = false;
    bool m_bHeld = false;
    bool m_bReleased = false;
};

SettingsReadHold& ReadHold() {
    static SettingsReadHold s_hold;
    return s_hold;
}

} // namespace

extern "C" int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    ReadHold().OnOpen(path);
    using OpenFunction = int (*)(const char*, int, ...);
    static const auto real = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, "open"));
    return real(path, flags, mode);
}

namespace {

constexpr DWORD kRate = 44100;
constexpr LONG kBuffer100ms = 4410 * 4; // 100 ms of 16-bit stereo

// The streaming thread reads the tuning from the settings file when it applies a speed change;
// a setter on another thread must not wait for that read (a file on a share that hangs).
TEST_F(FilterTest, ASetterReturnsWhileATuningReadIsHeldUp) {
    const WAVEFORMATEX wfx = WaveFormat(2, kRate, 16);
    Chain c =
        BuildChain(AudioType(wfx),
                   std::make_unique<CChunkProvider>(wfx, Sine16(2, kRate, 440, 1.0), kBuffer100ms),
                   kBuffer100ms);
    ASSERT_HR(S_OK, c.prop->SetTempo(1.5));
    ReadHold().Arm();
    ASSERT_HR(S_OK, c.graph->Run());
    const bool held = ReadHold().WaitUntilHeld(std::chrono::seconds(5));
    EXPECT_TRUE(held) << "the first input's speed change reads the tuning";
    std::future<HRESULT> setter =
        std::async(std::launch::async, [&c] { return c.prop->SetTempo(2.0); });
    const bool returned = setter.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    ReadHold().Release();
    EXPECT_TRUE(returned) << "the setter waited for the settings file";
    EXPECT_HR(S_OK, setter.get());

    LONG code = 0;
    EXPECT_HR(S_OK, c.graph->WaitForCompletion(30000, &code));
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_HR(S_OK, c.graph->Stop());
    double tempo = 0;
    EXPECT_HR(S_OK, c.prop->GetTempo(&tempo));
    EXPECT_EQ(tempo, 2.0);
}

// An engine that fails (here: its input buffer cannot grow to the seconds of input that tempo 50
// wants for each sequence at 192 kHz) stops the stream with an error the graph hears, instead of
// going on without the audio.
TEST_F(FilterTest, AFailingEngineStopsTheStreamWithAnError) {
    constexpr DWORD kHighRate = 192000;
    const WAVEFORMATEX wfx = WaveFormat(2, kHighRate, 16);
    CCollectingSink::Options countOnly;
    countOnly.bStoreSamples = false;
    constexpr LONG kHighBuffer100ms = kHighRate / 10 * 4;
    Chain c = BuildChain(
        AudioType(wfx),
        std::make_unique<CChunkProvider>(wfx, Sine16(2, kHighRate, 440, 4.0), kHighBuffer100ms),
        kHighBuffer100ms, 4, countOnly);
    ASSERT_HR(S_OK, c.prop->SetTempo(50.0));
    LONG code = 0;
    LONG_PTR param = 0;
    std::vector<std::string> lines;
    {
        // The chain's buffers are made by Pause. The filter's own stay within 1 MiB; the engine's
        // input buffer wants about 3 MiB.
        ASSERT_HR(S_OK, c.graph->Pause());
        LogCapture log;
        {
            failingnew::FailAllocationsAbove failure(1 << 20);
            ASSERT_HR(S_OK, c.graph->Run());
            EXPECT_HR(S_OK, c.graph->WaitForCompletion(30000, &code, &param));
        }
        EXPECT_HR(S_OK, c.graph->Stop());
        lines = log.Lines();
    }
    EXPECT_EQ(code, EC_ERRORABORT);
    EXPECT_EQ(static_cast<HRESULT>(param), VFW_E_RUNTIME_ERROR);
    // One stream error, one line: the samples refused after it say nothing more.
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Velomix error: the engine took no input", 0), 0u) << lines[0];
}

} // namespace
