// The velomix host from the outside: files in, files out, messages and exit codes; and the
// reading of numbers that velomix and velomixctl share.
#include "NumberText.h"
#include "ToolTestSupport.h"
#include "WavHeader.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace tooltest;

namespace {

// A tone in StreamHeader's format: 16-bit stereo at 44.1 kHz.
std::string StreamTone(double seconds) {
    std::string bytes;
    const size_t frames = static_cast<size_t>(seconds * 44100);
    bytes.reserve(frames * 4);
    for (size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * double(i) / 44100));
        for (int channel = 0; channel < 2; ++channel) {
            bytes.push_back(static_cast<char>(v & 0xFF));
            bytes.push_back(static_cast<char>((v >> 8) & 0xFF));
        }
    }
    return bytes;
}

// velomix started without waiting for it, its stdout and stderr in a file; killed if it still
// runs when the object goes. Its end can be waited for through a process file descriptor.
class CRunningTool {
public:
    CRunningTool(const std::vector<std::string>& args, const std::string& outputPath) {
        std::vector<char*> argv{const_cast<char*>(VELOMIX_TOOL_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        m_Pid = fork();
        if (m_Pid == 0) {
            const int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        m_PidFd = m_Pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, m_Pid, 0)) : -1;
    }
    ~CRunningTool() {
        if (m_Pid > 0 && !m_bReaped) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
        if (m_PidFd >= 0)
            close(m_PidFd);
    }
    CRunningTool(const CRunningTool&) = delete;
    CRunningTool& operator=(const CRunningTool&) = delete;

    bool Started() const { return m_Pid > 0 && m_PidFd >= 0; }
    pid_t Pid() const { return m_Pid; }
    int EndFd() const { return m_PidFd; }
    // The wait status once the tool has ended within ms; false if it still runs.
    bool Wait(int ms, int* status) {
        pollfd p{m_PidFd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1 || waitpid(m_Pid, status, 0) != m_Pid)
            return false;
        m_bReaped = true;
        return true;
    }

private:
    pid_t m_Pid = -1;
    int m_PidFd = -1;
    bool m_bReaped = false;
};

// The writing end of a FIFO that velomix reads as IN, opened without waiting for the reader.
// A write returns once velomix has taken all but a pipe's worth of the bytes.
class CFifoWriter {
public:
    explicit CFifoWriter(const std::string& path)
        : m_Fd(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    ~CFifoWriter() { Close(); }
    CFifoWriter(const CFifoWriter&) = delete;
    CFifoWriter& operator=(const CFifoWriter&) = delete;

    bool IsOpen() const { return m_Fd >= 0; }
    // False when the tool ended first, or took nothing for 30 s.
    bool Write(const std::string& bytes, const CRunningTool& reader) {
        size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = write(m_Fd, bytes.data() + at, bytes.size() - at);
            if (n > 0) {
                at += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN)
                return false;
            pollfd p[2] = {{m_Fd, POLLOUT, 0}, {reader.EndFd(), POLLIN, 0}};
            if (poll(p, 2, 30000) <= 0 || (p[1].revents & POLLIN))
                return false;
        }
        // The reader has taken the bytes beyond what the pipe itself holds.
        return true;
    }
    // The end of IN for the reader.
    void Close() {
        if (m_Fd >= 0)
            close(m_Fd);
        m_Fd = -1;
    }
    // How much the pipe holds: a write of more than this has been partly read.
    size_t Capacity() const { return static_cast<size_t>(fcntl(m_Fd, F_GETPIPE_SZ)); }

private:
    int m_Fd;
};

} // namespace

TEST_F(ToolTest, NormalSpeedCopiesTheAudioExactly) {
    for (int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_PCM_U8,
                       SF_FORMAT_FLAC | SF_FORMAT_PCM_24, SF_FORMAT_WAV | SF_FORMAT_PCM_32,
                       SF_FORMAT_WAV | SF_FORMAT_FLOAT}) {
        const std::string in = WriteTone("in.wav", format);
        const std::string out =
            Path((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC ? "out.flac" : "out.wav");
        const Result r = RunTool("process --no-progress " + in + " " + out);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find("2.00 s in, 2.00 s out"), std::string::npos) << r.output;
        EXPECT_EQ(Info(out).format, Info(in).format) << "the input's sample format is kept";
        EXPECT_EQ(Samples(out), Samples(in)) << std::hex << format;
    }
}

// The summary names the values as set when nothing changed them: 1.15 and 0.55 run at exactly
// +15 % and -45 %, nothing to tell apart.
TEST_F(ToolTest, SpeedOptionsChangeTheLength) {
    const std::string in = WriteTone("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    struct {
        const char* args;
        double seconds;
        const char* summary;
    } cases[] = {
        {"--tempo 1.5", 2 / 1.5, "(tempo 1.5, rate 1, pitch +0)"},
        {"--rate 0.8", 2 / 0.8, "(tempo 1, rate 0.8, pitch +0)"},
        {"--pitch -7", 2.0, "(tempo 1, rate 1, pitch -7)"},
        {"--tempo 0.5 --rate 2", 2.0, "(tempo 0.5, rate 2, pitch +0)"},
        {"--tempo 1.15 --rate 0.55", 2 / (1.15 * 0.55), "(tempo 1.15, rate 0.55, pitch +0)"}};
    for (const auto& c : cases) {
        const Result r = RunTool(std::string("process --no-progress ") + c.args + " " + in + " " +
                                 Path("out.ogg"));
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find(c.summary), std::string::npos) << r.output;
        const SF_INFO info = Info(Path("out.ogg"));
        EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_OGG);
        EXPECT_NEAR(double(info.frames) / info.samplerate, c.seconds, 0.02) << c.args;
    }
}

TEST_F(ToolTest, ErrorsHaveMessagesAndExitCodes) {
    const std::string in = WriteTone("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    struct {
        std::string args;
        int exitCode;
        const char* message;
    } cases[] = {
        {"--help", 0, "Usage: velomix process"},
        {"--version", 0, "velomix 3.0.0.1"},
        {"", 2, "no command"},
        {"mix", 2, "unknown command mix"},
        {"process " + in, 2, "needs an input and an output"},
        {"process --tempo 1.5x " + in + " o.wav", 2, "--tempo: not a number: 1.5x"},
        {"process --tempo nan " + in + " o.wav", 2, "not a number"},
        {"process --pitch 1.5 " + in + " o.wav", 2, "--pitch: not a whole number"},
        {"process --tempo 0.01 " + in + " " + Path("o.wav"), 2,
         "--tempo 0.01 refused by the filter (E_INVALIDARG"},
        {"process --pitch 61 " + in + " " + Path("o.wav"), 2, "refused by the filter"},
        {"process --frobnicate " + in + " o.wav", 2, "unknown option --frobnicate"},
        {"process " + Path("missing.wav") + " " + Path("o.wav"), 1, "cannot read"},
        {"process " + std::string(VELOMIX_TOOL_PATH) + " " + Path("o.wav"), 1, "cannot read"},
        {"process " + in + " " + Path("no/such/folder/o.wav"), 1, "cannot write"},
        {"process --module /nonexistent.ax " + in + " " + Path("o.wav"), 1, "/nonexistent.ax"},
    };
    for (const auto& c : cases) {
        const Result r = RunTool(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
    }
}

TEST_F(ToolTest, FormatsTheFilterRefusesAreReported) {
    // 17 channels: more than the engine takes.
    const std::string in = WriteTone("wide.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 17);
    const Result r = RunTool("process --no-progress " + in + " " + Path("o.wav"));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("does not take this format (17 channels"), std::string::npos)
        << r.output;
}

// Damaged input is not passed off as whole. A WAV cut short against its header is written as far
// as it goes, with a warning of what is missing; an Ogg stream with a hole that the decoder
// skips over fails, naming what was lost, and leaves no output.
TEST_F(ToolTest, DamagedInputSaysWhatIsLost) {
    const std::string wav = Contents(WriteTone("whole.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    const size_t data = wav.find("data");
    ASSERT_NE(data, std::string::npos);
    // 2 s of 16-bit stereo announced; 1 s (44100 frames of 4 bytes) there.
    Put(Path("short.wav"), wav.substr(0, data + 8 + 44100 * 4));
    Result r = RunTool("process --no-progress " + Path("short.wav") + " " + Path("out.wav"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("velomix: warning: " + Path("short.wav") +
                            " is cut short: 44100 frames (1.00 s) of the 88200 it announces are "
                            "missing\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(Info(Path("out.wav")).frames, 44100);
    // A whole file says nothing of the kind.
    r = RunTool("process --no-progress " + Path("whole.wav") + " " + Path("out.wav"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("warning"), std::string::npos) << r.output;

    std::string ogg = Contents(WriteTone("whole.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS));
    ASSERT_GT(ogg.size(), 4000u);
    for (size_t i = ogg.size() / 2; i < ogg.size() / 2 + 200; ++i)
        ogg[i] = static_cast<char>(ogg[i] ^ 0x5A);
    Put(Path("damaged.ogg"), ogg);
    r = RunTool("process --no-progress " + Path("damaged.ogg") + " " + Path("out.ogg"));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("velomix: cannot read " + Path("damaged.ogg") +
                            ": the decoder reports a damaged stream (Ogg : "),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(" s) of the 88200 it announces are missing\n"), std::string::npos)
        << r.output;
    struct stat st {};
    EXPECT_NE(stat(Path("out.ogg").c_str(), &st), 0) << "no output from a damaged stream";
    EXPECT_TRUE(Leftovers().empty());
}

// The speaker layout of the input (a WAVE_FORMAT_EXTENSIBLE channel mask) is kept wherever the
// output's container can hold it; a plain WAV stays plain.
TEST_F(ToolTest, TheInputsSpeakerLayoutIsKept) {
    // The format tag and (extensible) channel mask of a WAV file's "fmt " chunk; 0 for none.
    auto fmtOf = [](const std::string& bytes, uint32_t* mask) -> unsigned {
        const size_t at = bytes.find("fmt ");
        if (at == std::string::npos || bytes.size() < at + 32)
            return 0;
        auto le = [&](size_t i, int n) {
            uint32_t v = 0;
            for (int k = n - 1; k >= 0; --k)
                v = v << 8 | static_cast<uint8_t>(bytes[i + size_t(k)]);
            return v;
        };
        *mask = le(at + 4, 4) >= 40 ? le(at + 28, 4) : 0;
        return le(at + 8, 2);
    };
    // libsndfile's CAF and AIFF writers know a fixed set of layouts, 5.1 with side speakers
    // not among them.
    const struct {
        WORD channels;
        uint32_t mask;
        bool bLayoutTag;
    } layouts[] = {{6, 0x3F, true}, {6, 0x60F, false}, {3, 0x103, true}};
    for (const auto& l : layouts) {
        // 0.5 s of 16-bit audio in an extensible WAV, the header the Windows job writes.
        WAVEFORMATEXTENSIBLE wfxe{};
        wfxe.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        wfxe.Format.nChannels = l.channels;
        wfxe.Format.nSamplesPerSec = 44100;
        wfxe.Format.wBitsPerSample = 16;
        wfxe.Format.nBlockAlign = static_cast<WORD>(2 * l.channels);
        wfxe.Format.nAvgBytesPerSec = 44100u * wfxe.Format.nBlockAlign;
        wfxe.Format.cbSize = 22;
        wfxe.Samples.wValidBitsPerSample = 16;
        wfxe.dwChannelMask = l.mask;
        wfxe.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        const std::string audio = StreamTone(0.5).substr(0, 22050 * 4);
        std::string samples;
        for (size_t i = 0; i + 4 <= audio.size(); i += 4)
            for (WORD c = 0; c < l.channels; ++c)
                samples.append(audio, i, 2);
        WavHeaderPlan plan;
        plan.bReserveDs64 = false;
        plan.cbData = samples.size();
        std::vector<uint8_t> header;
        std::string error;
        ASSERT_TRUE(BuildWavHeader(&wfxe.Format, sizeof wfxe, plan, &header, &error)) << error;
        Put(Path("in.wav"), std::string(header.begin(), header.end()) + samples);

        for (const char* out : {"out.wav", "out.rf64"}) {
            const Result r =
                RunTool("process --no-progress --tempo 1.5 " + Path("in.wav") + " " + Path(out));
            ASSERT_EQ(r.exitCode, 0) << r.output;
            uint32_t mask = 0;
            EXPECT_EQ(fmtOf(Contents(Path(out)), &mask), 0xFFFEu) << out;
            EXPECT_EQ(mask, l.mask) << out;
        }
        // CAF and AIFF keep it as a channel layout: read back as the map of the same mask.
        if (!l.bLayoutTag)
            continue;
        auto mapOf = [&](const std::string& name) {
            std::vector<int> map(l.channels);
            SF_INFO info{};
            SNDFILE* f = sf_open(Path(name).c_str(), SFM_READ, &info);
            EXPECT_NE(f, nullptr) << name;
            if (f && sf_command(f, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                                int(map.size() * sizeof(int))) != SF_TRUE)
                map.clear();
            if (f)
                sf_close(f);
            return map;
        };
        const std::vector<int> in = mapOf("in.wav");
        ASSERT_EQ(in.size(), l.channels);
        for (const char* out : {"out.caf", "out.aiff"}) {
            const Result r = RunTool("process --no-progress " + Path("in.wav") + " " + Path(out));
            ASSERT_EQ(r.exitCode, 0) << r.output;
            EXPECT_EQ(mapOf(out), in) << out << " " << std::hex << l.mask;
        }
    }

    const std::string stereo = WriteTone("stereo.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const Result r = RunTool("process --no-progress --tempo 1.5 " + stereo + " " + Path("out.wav"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    uint32_t mask = 0;
    EXPECT_EQ(fmtOf(Contents(Path("out.wav")), &mask), 1u) << "plain PCM stays plain";
    EXPECT_EQ(mask, 0u);
}

TEST(NumberText, DecimalsAndWholeNumbersAreReadStrictly) {
    const struct {
        const char* text;
        bool ok;
        double value;
    } decimals[] = {
        {"1.5", true, 1.5},  {"-0.25", true, -0.25}, {"+2", true, 2.0},    {".5", true, 0.5},
        {"5.", true, 5.0},   {"1e-1", true, 0.1},    {"2E+1", true, 20.0}, {"0050", true, 50.0},
        {" 1.5", false, 0},  {"1.5 ", false, 0},     {"\t1", false, 0},    {"", false, 0},
        {".", false, 0},     {"+", false, 0},        {"1e", false, 0},     {"1e+", false, 0},
        {"0x1p0", false, 0}, {"0x10", false, 0},     {"inf", false, 0},    {"-nan", false, 0},
        {"1,5", false, 0},   {"1.5x", false, 0},     {"--1", false, 0},    {"+-1", false, 0},
        {"1e400", false, 0}, {"1.2.3", false, 0},
    };
    for (const auto& d : decimals) {
        double value = -7.0;
        EXPECT_EQ(ParseDecimal(d.text, &value), d.ok) << '"' << d.text << '"';
        EXPECT_EQ(value, d.ok ? d.value : -7.0)
            << '"' << d.text << "\": nothing stored when refused";
    }
    const struct {
        const char* text;
        bool ok;
        int32_t value;
    } wholes[] = {
        {"60", true, 60},
        {"-60", true, -60},
        {"+5", true, 5},
        {"007", true, 7},
        {"2147483647", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"1.0", false, 0},
        {"1e1", false, 0},
        {"0x10", false, 0},
        {"+-5", false, 0},
        {"-", false, 0},
        {"", false, 0},
        {"2147483648", false, 0},
    };
    for (const auto& w : wholes) {
        int32_t value = -7;
        EXPECT_EQ(ParseWholeNumber(w.text, &value), w.ok) << '"' << w.text << '"';
        EXPECT_EQ(value, w.ok ? w.value : -7) << '"' << w.text << '"';
    }
    uint32_t u = 7;
    EXPECT_TRUE(ParseWholeNumber("4294967295", &u) && u == UINT32_MAX);
    EXPECT_FALSE(ParseWholeNumber("4294967296", &u));
    EXPECT_FALSE(ParseWholeNumber("-1", &u));
}

// The two tools take and refuse the same texts: a text one refuses, the other refuses too.
TEST_F(ToolTest, VelomixAndVelomixctlReadNumbersAlike) {
    const std::string in = WriteTone("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    for (const char* text : {" 1.5", "1.5 ", "0x1.8p0", "inf", "1,5", "1e400"}) {
        const std::string quoted = std::string("'") + text + "'";
        const Result tool =
            RunTool("process --no-progress --tempo " + quoted + " " + in + " " + Path("o.wav"));
        EXPECT_EQ(tool.exitCode, 2) << text << "\n" << tool.output;
        EXPECT_NE(tool.output.find("--tempo: not a number"), std::string::npos) << tool.output;
        const Result ctl = RunProgram(VELOMIXCTL_TOOL_PATH, "set --tempo " + quoted);
        EXPECT_EQ(ctl.exitCode, 2) << text << "\n" << ctl.output;
        const Result pitch =
            RunTool("process --no-progress --pitch " + quoted + " " + in + " " + Path("o.wav"));
        EXPECT_EQ(pitch.exitCode, 2) << text << "\n" << pitch.output;
    }
    // Taken by both: velomix runs; velomixctl gets as far as looking for a filter (none here).
    for (const char* text : {"+1.5", ".75", "15e-1"}) {
        const Result tool = RunTool(std::string("process --no-progress --tempo ") + text + " " +
                                    in + " " + Path("o.wav"));
        EXPECT_EQ(tool.exitCode, 0) << text << "\n" << tool.output;
        const Result ctl = RunProgram(VELOMIXCTL_TOOL_PATH, std::string("set --tempo ") + text);
        EXPECT_EQ(ctl.exitCode, 1) << text << "\n" << ctl.output;
        EXPECT_NE(ctl.output.find("no filter"), std::string::npos) << ctl.output;
    }
}

TEST_F(ToolTest, AnOutputThatIsTheInputIsRefused) {
    const std::string in = WriteTone("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const std::string original = Contents(in);
    ASSERT_EQ(link(in.c_str(), Path("hard.wav").c_str()), 0);
    ASSERT_EQ(symlink("in.wav", Path("soft.wav").c_str()), 0);
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
    for (const std::string& out :
         {in, Path("./in.wav"), Path("sub/../in.wav"), Path("hard.wav"), Path("soft.wav")}) {
        for (const char* speed : {"", "--tempo 1.5 "}) {
            const Result r =
                RunTool(std::string("process --no-progress ") + speed + in + " " + out);
            EXPECT_EQ(r.exitCode, 2) << out << "\n" << r.output;
            EXPECT_NE(r.output.find("the same file"), std::string::npos) << r.output;
            EXPECT_EQ(Contents(in), original) << out << ": the input is untouched";
        }
    }
    // The input named through a link, the output by its own name.
    const Result r = RunTool("process --no-progress " + Path("soft.wav") + " " + in);
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(Contents(in), original);
    EXPECT_TRUE(Leftovers().empty());
}

// OUT is replaced only by a finished run: a refused format, a folder, or a folder that takes no
// new file leave an existing OUT as it was and no temporary file behind.
TEST_F(ToolTest, OnlyAFinishedRunReplacesTheOutput) {
    const std::string in = WriteTone("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const std::string wide = WriteTone("wide.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 17);
    const std::string out = Path("keep.wav");
    Put(out, "an existing file that a failed run must not touch");
    const std::string before = Contents(out);

    Result r = RunTool("process --no-progress " + wide + " " + out);
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("does not take this format"), std::string::npos) << r.output;
    EXPECT_EQ(Contents(out), before) << "a refused format leaves OUT as it was";

    ASSERT_EQ(mkdir(Path("folder").c_str(), 0755), 0);
    r = RunTool("process --no-progress " + in + " " + Path("folder"));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("cannot write " + Path("folder") + ": it is a folder"),
              std::string::npos)
        << r.output;

    r = RunTool("process --no-progress --tempo 2 " + in + " " + Path("no/such/folder/o.wav"));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("cannot write"), std::string::npos) << r.output;
    EXPECT_TRUE(Leftovers().empty());

    // A folder that takes no new files (not for root, who may write anyway).
    ASSERT_EQ(mkdir(Path("locked").c_str(), 0755), 0);
    const std::string locked = Path("locked/keep.wav");
    Put(locked, before);
    ASSERT_EQ(chmod(Path("locked").c_str(), 0555), 0);
    if (access(Path("locked").c_str(), W_OK) != 0) {
        r = RunTool("process --no-progress " + in + " " + locked);
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_NE(r.output.find("cannot write " + locked + ": cannot create a file in"),
                  std::string::npos)
            << r.output;
        EXPECT_EQ(Contents(locked), before);
        // Nor is a file that may not be written replaced through its folder.
        const std::string readOnly = Path("read-only.wav");
        Put(readOnly, before);
        ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
        r = RunTool("process --no-progress " + in + " " + readOnly);
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_EQ(Contents(readOnly), before);
    }

    // A finished run replaces OUT, keeping its permissions and a link to it; pipes and devices
    // are written where they are.
    Put(out, "old");
    ASSERT_EQ(chmod(out.c_str(), 0640), 0);
    ASSERT_EQ(symlink("keep.wav", Path("link.wav").c_str()), 0);
    r = RunTool("process --no-progress " + in + " " + Path("link.wav"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    struct stat st {};
    ASSERT_EQ(lstat(Path("link.wav").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Samples(out), Samples(in));
    EXPECT_TRUE(Leftovers().empty());

    r = RunTool("process --no-progress " + in + " /dev/null");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/null is still the device";
}

// IN a stream that the test feeds: velomix is still running while the test acts.
class StreamToolTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        ASSERT_EQ(mkfifo(Path("stream.wav").c_str(), 0600), 0);
        m_Fifo = std::make_unique<CFifoWriter>(Path("stream.wav"));
        ASSERT_TRUE(m_Fifo->IsOpen());
    }
    void TearDown() override {
        m_Fifo.reset();
        ToolTest::TearDown();
    }

    // Starts velomix on the stream and feeds it the header and `seconds` of tone; returns once
    // velomix has read well into the audio, so that its graph runs and OUT is open.
    std::unique_ptr<CRunningTool> Start(const std::vector<std::string>& args,
                                        uint32_t declaredBytes, double seconds) {
        std::vector<std::string> all{"process", "--no-progress"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back(Path("stream.wav"));
        all.push_back(Path("out.wav"));
        auto tool = std::make_unique<CRunningTool>(all, Path("tool-output.txt"));
        EXPECT_TRUE(tool->Started());
        const std::string head = StreamHeader(declaredBytes) + StreamTone(seconds);
        EXPECT_GT(head.size(), m_Fifo->Capacity() + 65536);
        EXPECT_TRUE(m_Fifo->Write(head, *tool)) << Contents(Path("tool-output.txt"));
        return tool;
    }
    CFifoWriter& Fifo() { return *m_Fifo; }

private:
    std::unique_ptr<CFifoWriter> m_Fifo;
};

TEST_F(StreamToolTest, AnInterruptedRunLeavesTheOutputAsItWas) {
    Put(Path("out.wav"), "an existing file that an interrupted run must not touch");
    const std::string before = Contents(Path("out.wav"));
    auto tool = Start({}, 60 * 44100 * 4, 2.0);
    EXPECT_EQ(Leftovers().size(), 1u) << "the run writes a temporary file beside OUT";
    ASSERT_EQ(kill(tool->Pid(), SIGINT), 0);
    // Fed on until it ends: a read it waits in is no place to be stuck.
    Fifo().Write(StreamTone(30.0), *tool);
    Fifo().Close();
    int status = 0;
    ASSERT_TRUE(tool->Wait(60000, &status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT)
        << "ends as an interrupted program does; status " << status << "\n"
        << Contents(Path("tool-output.txt"));
    EXPECT_EQ(Contents(Path("out.wav")), before);
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_NE(Contents(Path("tool-output.txt"))
                  .find("interrupted; " + Path("out.wav") + " is left as it was"),
              std::string::npos);
}

// The summary names the speed in force at the end, as the filter gives it back, and the
// settings velomixctl replaced.
TEST_F(StreamToolTest, TheSummaryNamesTheSpeedInForceAtTheEnd) {
    auto tool = Start({"--steerable", "--tempo", "0.5"}, 4 * 44100 * 4, 2.0);
    const Result ctl = RunProgram(VELOMIXCTL_TOOL_PATH, "set --tempo 1.15 --rate 0.55 --pitch 3");
    ASSERT_EQ(ctl.exitCode, 0) << ctl.output;
    ASSERT_TRUE(Fifo().Write(StreamTone(2.0), *tool));
    Fifo().Close();
    int status = 0;
    ASSERT_TRUE(tool->Wait(60000, &status));
    const std::string output = Contents(Path("tool-output.txt"));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("4.00 s in, "), std::string::npos) << output;
    EXPECT_NE(output.find("(tempo 1.15 from 0.5, rate 0.55 from 1, pitch +3 from +0)"),
              std::string::npos)
        << output;
    // One request, but the filter takes its three values one by one: a look between them counts.
    EXPECT_NE(output.find("speed changed by a controller during the run ("), std::string::npos)
        << output;
    EXPECT_NE(output.find("seen): ended at tempo 1.15, rate 0.55, pitch +3\n"), std::string::npos)
        << output;
}

// A batch job keeps off the user's control channel unless asked: a controller finds no filter
// in it, and its set goes to a player that joined (--steerable) while the batch job runs at
// the speed of its command line to the frame.
TEST_F(StreamToolTest, OnlyASteerableRunJoinsTheControlChannel) {
    auto batch = Start({"--rate", "0.5"}, 4 * 44100 * 4, 2.0);
    // Nothing published: the channel's object folder was not even made.
    struct stat st {};
    EXPECT_NE(stat(Path("ipc").c_str(), &st), 0);
    Result ctl = RunProgram(VELOMIXCTL_TOOL_PATH, "get");
    EXPECT_EQ(ctl.exitCode, 1) << ctl.output;
    EXPECT_NE(ctl.output.find("no filter"), std::string::npos) << ctl.output;
    ctl = RunProgram(VELOMIXCTL_TOOL_PATH, "set --tempo 1.5");
    EXPECT_EQ(ctl.exitCode, 1) << ctl.output;

    // A player of the same user, steerable, on a stream of its own.
    ASSERT_EQ(mkfifo(Path("player.wav").c_str(), 0600), 0);
    CFifoWriter playerFifo(Path("player.wav"));
    ASSERT_TRUE(playerFifo.IsOpen());
    CRunningTool player(
        {"process", "--no-progress", "--steerable", Path("player.wav"), Path("player-out.wav")},
        Path("player-output.txt"));
    ASSERT_TRUE(player.Started());
    ASSERT_TRUE(playerFifo.Write(StreamHeader(4 * 44100 * 4) + StreamTone(2.0), player))
        << Contents(Path("player-output.txt"));
    ctl = RunProgram(VELOMIXCTL_TOOL_PATH, "set --tempo 1.5 --rate 1");
    ASSERT_EQ(ctl.exitCode, 0) << ctl.output;

    for (const auto& run :
         {std::make_pair(&Fifo(), batch.get()), std::make_pair(&playerFifo, &player)}) {
        ASSERT_TRUE(run.first->Write(StreamTone(2.0), *run.second));
        run.first->Close();
    }
    int status = 0;
    ASSERT_TRUE(batch->Wait(60000, &status));
    std::string output = Contents(Path("tool-output.txt"));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("4.00 s in, 8.00 s out (tempo 1, rate 0.5, pitch +0)"), std::string::npos)
        << output;
    EXPECT_EQ(output.find("changed by a controller"), std::string::npos) << output;
    EXPECT_EQ(Info(Path("out.wav")).frames, 2 * 4 * 44100) << "the command line's speed exactly";

    ASSERT_TRUE(player.Wait(60000, &status));
    output = Contents(Path("player-output.txt"));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("(tempo 1.5 from 1, rate 1, pitch +0)"), std::string::npos) << output;
    EXPECT_NE(output.find("changed by a controller during the run (1 change seen)"),
              std::string::npos)
        << output;
}

// A WAV whose audio will not fit the 32-bit sizes of RIFF is written as RF64; the length
// comes from the stream's header (a stream of unknown length announces 0xFFFFFFF0 bytes).
TEST_F(StreamToolTest, AWavOutputThatWillOutgrowRiffIsWrittenAsRf64) {
    auto tool = Start({"--tempo", "0.5"}, 0xFFFFFFF0u, 2.0);
    Fifo().Close();
    int status = 0;
    ASSERT_TRUE(tool->Wait(60000, &status));
    const std::string output = Contents(Path("tool-output.txt"));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("2.00 s in, "), std::string::npos) << "what was read: " << output;
    const SF_INFO info = Info(Path("out.wav"));
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64) << std::hex << info.format;
    EXPECT_NEAR(double(info.frames) / 44100, 4.0, 0.05);
}

// The Windows job's WAV header, read by libsndfile over a sparse file of the announced length:
// plain WAV up to the 32-bit limit, RF64 past it, never a wrapped size.
TEST(WavHeader, SizesPast4GiBMakeAnRf64Header) {
    char folder[] = "/tmp/velomix-wav-header-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/big.wav";
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    pcm.nChannels = 2;
    pcm.nSamplesPerSec = 44100;
    pcm.wBitsPerSample = 16;
    pcm.nBlockAlign = 4;
    pcm.nAvgBytesPerSec = 44100 * 4;
    WAVEFORMATEX flt = pcm;
    flt.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    flt.wBitsPerSample = 32;
    flt.nBlockAlign = 8;
    flt.nAvgBytesPerSec = 44100 * 8;
    const uint64_t k4GiB = uint64_t(1) << 32;
    for (const WAVEFORMATEX* wfx : {&pcm, &flt}) {
        const uint64_t block = wfx->nBlockAlign;
        for (const uint64_t cbData : {block * 44100, (k4GiB - 1024) / block * block, k4GiB - block,
                                      k4GiB + 8 * block, 5 * k4GiB}) {
            WavHeaderPlan plan;
            plan.cbData = cbData;
            std::vector<uint8_t> header;
            std::string error;
            ASSERT_TRUE(BuildWavHeader(wfx, sizeof(WAVEFORMATEX), plan, &header, &error)) << error;
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, header.data(), header.size()), ssize_t(header.size()));
            ASSERT_EQ(ftruncate(fd, off_t(header.size() + cbData + (cbData & 1))), 0);
            close(fd);
            const bool bRf64 = header.size() - 8 + cbData >= 0xFFFFFFFFu;
            SF_INFO info{};
            SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
            ASSERT_NE(f, nullptr) << cbData << ": " << sf_strerror(nullptr);
            sf_close(f);
            EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, bRf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV)
                << std::hex << info.format << std::dec << " for " << cbData << " bytes";
            EXPECT_EQ(uint64_t(info.frames), cbData / block) << cbData << " bytes";
            EXPECT_EQ(info.channels, 2);
            EXPECT_EQ(header.size() % 2, 0u);
        }
    }
    std::system(("rm -rf '" + std::string(folder) + "'").c_str());
}
