// What the tests of the velomix host share: a program run as a user runs it, a private folder
// per test, tones written and samples read through libsndfile, files' bytes.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <dirent.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace tooltest {

struct Result {
    int exitCode = -1;
    std::string output; // stdout and stderr together
};

// Runs program with the arguments through the shell and waits for its end.
inline Result RunProgram(const std::string& program, const std::string& args) {
    Result r;
    const std::string command = program + " " + args + " 2>&1";
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

inline Result RunTool(const std::string& args) {
    return RunProgram(VELOMIX_TOOL_PATH, args);
}

inline SF_INFO Info(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f)
        sf_close(f);
    return info;
}

// Every sample of the file, interleaved; empty when it is no sound file.
inline std::vector<int> Samples(const std::string& path) {
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

// Through stdio: GCC 12 at -O3 warns of a null dereference inside istreambuf_iterator.
inline std::string Contents(const std::string& path) {
    std::string bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.append(buffer, n);
        std::fclose(f);
    }
    return bytes;
}

inline void Put(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// v in `bytes` little-endian bytes.
inline std::string Le(uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

// The 44-byte header of a 16-bit stereo 44.1 kHz WAV stream announcing dataBytes of audio.
inline std::string StreamHeader(uint32_t dataBytes) {
    const uint32_t riffBytes = dataBytes > 0xFFFFFFFFu - 36 ? 0xFFFFFFFFu : dataBytes + 36;
    return "RIFF" + Le(riffBytes, 4) + "WAVE" + "fmt " + Le(16, 4) + //
           Le(1, 2) +                                                // PCM
           Le(2, 2) +                                                // channels
           Le(44100, 4) +                                            // frames per second
           Le(44100 * 4, 4) +                                        // bytes per second
           Le(4, 2) +                                                // block
           Le(16, 2) +                                               // bits
           "data" + Le(dataBytes, 4);
}

// A folder of the test's own, removed at its end; the programs it runs keep their settings
// (XDG_CONFIG_HOME) and their control channel (VELOMIX_IPC_DIR) in it.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/velomix-tool-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_Dir = folder;
        setenv("XDG_CONFIG_HOME", m_Dir.c_str(), 1);
        setenv("VELOMIX_IPC_DIR", (m_Dir + "/ipc").c_str(), 1);
    }
    void TearDown() override {
        // Write permission back first: some tests lock folders.
        std::system(("chmod -R u+w '" + m_Dir + "'; rm -rf '" + m_Dir + "'").c_str());
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("VELOMIX_IPC_DIR");
    }
    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }

    // A 440 Hz tone at half of full scale in the given container and sub-format.
    std::string WriteTone(const std::string& name, int format, int channels = 2, int rate = 44100,
                          double seconds = 2) const {
        const std::string path = Path(name);
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
        if (!f)
            return path;
        const auto frames = static_cast<sf_count_t>(seconds * rate);
        std::vector<double> samples(static_cast<size_t>(frames * channels));
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = 0.5 * std::sin(2 * M_PI * 440.0 * double(i / channels) / rate);
        sf_writef_double(f, samples.data(), frames);
        sf_close(f);
        return path;
    }

    // The hidden temporary files a run left in the folder (or a folder below it).
    std::vector<std::string> Leftovers(const std::string& folder = "") const {
        std::vector<std::string> names;
        if (DIR* d = opendir(Path(folder).c_str())) {
            while (const dirent* e = readdir(d))
                if (std::strstr(e->d_name, ".velomix-"))
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }

private:
    std::string m_Dir;
};

} // namespace tooltest
