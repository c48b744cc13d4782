// The velomix host from the outside: files in, files out, messages and exit codes.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Result {
    int exitCode = -1;
    std::string output; // stdout and stderr together
};

Result RunTool(const std::string& args) {
    Result r;
    const std::string command = std::string(VELOMIX_TOOL_PATH) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return r;
    char buffer[512];
    while (std::fgets(buffer, sizeof(buffer), pipe))
        r.output += buffer;
    const int status = pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/velomix-tool-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_Dir = folder;
        setenv("XDG_CONFIG_HOME", m_Dir.c_str(), 1);
    }
    void TearDown() override {
        std::system(("rm -rf '" + m_Dir + "'").c_str());
        unsetenv("XDG_CONFIG_HOME");
    }
    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }

    // A 2 s tone in the given container and sub-format.
    std::string WriteTone(const std::string& name, int format, int channels = 2, int rate = 44100) {
        const std::string path = Path(name);
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
        if (!f)
            return path;
        std::vector<double> frames(static_cast<size_t>(rate * 2 * channels));
        for (size_t i = 0; i < frames.size(); ++i)
            frames[i] = 0.5 * std::sin(2 * M_PI * 440.0 * double(i / channels) / rate);
        sf_writef_double(f, frames.data(), rate * 2);
        sf_close(f);
        return path;
    }

    static SF_INFO Info(const std::string& path) {
        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        if (f)
            sf_close(f);
        return info;
    }

    static std::vector<int> Samples(const std::string& path) {
        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        std::vector<int> v;
        if (!f)
            return v;
        v.resize(static_cast<size_t>(info.frames * info.channels));
        sf_readf_int(f, v.data(), info.frames);
        sf_close(f);
        return v;
    }

private:
    std::string m_Dir;
};

} // namespace

TEST_F(ToolTest, NormalSpeedCopiesTheAudioExactly) {
    for (int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_PCM_U8, SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
                       SF_FORMAT_WAV | SF_FORMAT_PCM_32, SF_FORMAT_WAV | SF_FORMAT_FLOAT}) {
        const std::string in = WriteTone("in.wav", format);
        const std::string out = Path((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC ? "out.flac" : "out.wav");
        const Result r = RunTool("process --no-progress " + in + " " + out);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find("2.00 s in, 2.00 s out"), std::string::npos) << r.output;
        EXPECT_EQ(Info(out).format, Info(in).format) << "the input's sample format is kept";
        EXPECT_EQ(Samples(out), Samples(in)) << std::hex << format;
    }
}

TEST_F(ToolTest, SpeedOptionsChangeTheLength) {
    const std::string in = WriteTone("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    struct {
        const char* args;
        double seconds;
    } cases[] = {{"--tempo 1.5", 2 / 1.5}, {"--rate 0.8", 2 / 0.8}, {"--pitch -7", 2.0}, {"--tempo 0.5 --rate 2", 2.0}};
    for (const auto& c : cases) {
        const Result r = RunTool(std::string("process --no-progress ") + c.args + " " + in + " " + Path("out.ogg"));
        ASSERT_EQ(r.exitCode, 0) << r.output;
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
        {"process --tempo 0.01 " + in + " " + Path("o.wav"), 2, "--tempo 0.01 refused by the filter (E_INVALIDARG"},
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
    EXPECT_NE(r.output.find("does not take this format (17 channels"), std::string::npos) << r.output;
}
