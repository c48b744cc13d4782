// The hosts from the outside, as a user runs them in processes of their own: velomix.exe over
// WAV files (exit codes, messages, the file it writes, registration), and velomixctl.exe
// changing the filter of a velomix.exe graph that is still running in another process.
//
// CMake puts velomix.exe and velomixctl.exe beside the test program, with Velomix.ax: there
// velomix.exe finds the module as an installed host does.
#include "GuidText.h"
#include "Harness.h"
#include "Registry.h"
#include "Support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kChildTimeoutMs = 60000;

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

std::vector<uint8_t> ReadAll(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    const CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
        return bytes;
    uint8_t buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    return bytes;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A host program beside the test program, started with its stdout and stderr going to files
// of the folder; killed if it still runs when the object goes.
class CChild {
public:
    CChild(const CTempFolder& folder, const wchar_t* program, const std::wstring& arguments) {
        static int s_nChild = 0;
        const std::wstring tag = std::to_wstring(++s_nChild);
        m_OutPath = folder.File((L"stdout-" + tag + L".txt").c_str());
        m_ErrPath = folder.File((L"stderr-" + tag + L".txt").c_str());
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        const CHandle out(CreateFileW(m_OutPath.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        const CHandle err(CreateFileW(m_ErrPath.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (out.Get() == INVALID_HANDLE_VALUE || err.Get() == INVALID_HANDLE_VALUE)
            return;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out.Get();
        si.hStdError = err.Get();
        std::wstring command = Quoted(ProgramFolder() + program) + L" " + arguments;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                            &pi))
            return;
        CloseHandle(pi.hThread);
        m_hProcess = pi.hProcess;
    }
    ~CChild() {
        if (!m_hProcess)
            return;
        if (Running()) {
            TerminateProcess(m_hProcess, 0xDEAD);
            WaitForSingleObject(m_hProcess, 10000);
        }
        CloseHandle(m_hProcess);
    }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    bool Started() const noexcept { return m_hProcess != nullptr; }
    bool Running() const noexcept {
        return m_hProcess && WaitForSingleObject(m_hProcess, 0) == WAIT_TIMEOUT;
    }
    HANDLE Process() const noexcept { return m_hProcess; }
    // The exit code once the child has ended within ms; kStillRunning otherwise.
    DWORD Wait(DWORD ms = kChildTimeoutMs) const {
        DWORD code = kStillRunning;
        if (m_hProcess && WaitForSingleObject(m_hProcess, ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(m_hProcess, &code);
        return code;
    }
    std::string Out() const { return Text(m_OutPath); }
    std::string Err() const { return Text(m_ErrPath); }

    static constexpr DWORD kStillRunning = 0xFFFFFFFF;

private:
    static std::string Text(const std::wstring& path) {
        const std::vector<uint8_t> bytes = ReadAll(path);
        return std::string(bytes.begin(), bytes.end());
    }

    HANDLE m_hProcess = nullptr; // owned
    std::wstring m_OutPath;
    std::wstring m_ErrPath;
};

struct ToolRun {
    DWORD exitCode;
    std::string out;
    std::string err;
};

// Runs a host to its end.
ToolRun Run(const CTempFolder& folder, const wchar_t* program, const std::wstring& arguments) {
    const CChild child(folder, program, arguments);
    REQUIRE(child.Started(), "%s starts beside the test program", vmxtest::Narrow(program).c_str());
    const DWORD code = child.Wait();
    REQUIRE(code != CChild::kStillRunning, "%s %s ends within %lu s",
            vmxtest::Narrow(program).c_str(), vmxtest::Narrow(arguments.c_str()).c_str(),
            kChildTimeoutMs / 1000);
    return {code, child.Out(), child.Err()};
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A RIFF/WAVE file taken apart chunk by chunk.
struct ParsedWav {
    std::string problem; // empty when the file parses
    uint32_t riffSize = 0;
    std::vector<uint8_t> fmt;
    bool hasFact = false;
    uint32_t factFrames = 0;
    uint32_t dataSize = 0; // as declared
    std::vector<uint8_t> data;
};

constexpr uint32_t kUnknownSize = 0xFFFFFFFF;

// A declared data size of 0xFFFFFFFF (a stream of unknown length) takes the rest of the bytes.
ParsedWav ParseWav(const std::vector<uint8_t>& bytes) {
    ParsedWav w;
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(&bytes[8], "WAVE", 4) != 0) {
        w.problem = "no RIFF/WAVE header";
        return w;
    }
    w.riffSize = Get32(&bytes[4]);
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const uint8_t* chunk = &bytes[at];
        const uint32_t size = Get32(chunk + 4);
        at += 8;
        if (std::memcmp(chunk, "data", 4) == 0) {
            w.dataSize = size;
            const size_t n = size == kUnknownSize ? bytes.size() - at : size;
            if (at + n > bytes.size()) {
                w.problem = "data chunk beyond the end of the file";
                return w;
            }
            w.data.assign(bytes.begin() + at, bytes.begin() + at + n);
            return w;
        }
        if (at + size > bytes.size()) {
            w.problem = "a chunk beyond the end of the file";
            return w;
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0)
            w.fmt.assign(chunk + 8, chunk + 8 + size);
        if (std::memcmp(chunk, "fact", 4) == 0 && size >= 4) {
            w.hasFact = true;
            w.factFrames = Get32(chunk + 8);
        }
        at += size + (size & 1);
    }
    w.problem = "no data chunk";
    return w;
}

// "OUT: 2.00 s in, 2.00 s out (tempo 1, rate 1, pitch +0)": the seconds out, or -1.
double SummarySecondsOut(const std::string& out) {
    const size_t at = out.find(" s in, ");
    double seconds = -1;
    if (at == std::string::npos || std::sscanf(out.c_str() + at, " s in, %lf s out", &seconds) != 1)
        return -1;
    return seconds;
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", s);
    return text;
}

} // namespace

VMX_TEST(host, process_at_normal_speed_copies_the_wav) {
    CTempFolder folder;
    // Stereo frames that spell their index; 8-bit mono of odd length, whose data needs a pad
    // byte; float, whose format is no plain PCM and so takes a "fact" chunk.
    PcmAudio mono8 = Silence(WAVE_FORMAT_PCM, 1, 22050, 8, 22050 + 1);
    for (size_t i = 0; i < mono8.data.size(); ++i)
        mono8.data[i] = static_cast<uint8_t>(i * 7);
    PcmAudio float32 = Silence(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32, 44100 / 2);
    for (size_t i = 0; i < float32.Frames() * 2; ++i) {
        const float v = static_cast<float>(0.5 * std::sin(static_cast<double>(i / 2) * 0.0627));
        std::memcpy(&float32.data[i * 4], &v, 4);
    }
    const struct {
        const char* name;
        PcmAudio audio;
    } cases[] = {{"16-bit stereo", IndexSignal(2 * 44100 + 123)},
                 {"8-bit mono", mono8},
                 {"32-bit float", float32}};

    for (const auto& c : cases) {
        const PcmAudio& in = c.audio;
        const std::wstring inPath = folder.File(L"in.wav");
        const std::wstring outPath = folder.File(L"out.wav");
        REQUIRE(WriteWav(inPath, in), "%s: the input is written", c.name);
        DeleteFileW(outPath.c_str());
        const ToolRun r =
            Run(folder, L"velomix.exe", L"process " + Quoted(inPath) + L" " + Quoted(outPath));
        CHECK(r.exitCode == 0, "%s: exit code 0, got %lu; stderr: %s", c.name, r.exitCode,
              r.err.c_str());
        const double seconds = static_cast<double>(in.Frames()) / in.wfx.nSamplesPerSec;
        const std::string summary = Utf8(outPath) + ": " + Seconds(seconds) + " s in, " +
                                    Seconds(seconds) + " s out (tempo 1, rate 1, pitch +0)";
        CHECK(Contains(r.out, summary), "%s: the summary \"%s\" on stdout, got: %s", c.name,
              summary.c_str(), r.out.c_str());
        // stderr is a file here, not a console: no progress bar, and nothing went wrong.
        CHECK(r.err.empty(), "%s: nothing on stderr, got: %s", c.name, r.err.c_str());

        const std::vector<uint8_t> file = ReadAll(outPath);
        const ParsedWav w = ParseWav(file);
        REQUIRE(w.problem.empty(), "%s: the output parses as WAV: %s", c.name, w.problem.c_str());
        CHECK(w.riffSize == file.size() - 8, "%s: RIFF size %lu for a file of %u bytes", c.name,
              static_cast<unsigned long>(w.riffSize), static_cast<unsigned>(file.size()));
        CHECK(file.size() % 2 == 0, "%s: chunks padded to even length: %u bytes", c.name,
              static_cast<unsigned>(file.size()));
        CHECK(w.dataSize == in.data.size(), "%s: data size %lu, the input has %u", c.name,
              static_cast<unsigned long>(w.dataSize), static_cast<unsigned>(in.data.size()));
        CHECK(w.data == in.data, "%s: the data chunk equals the input's (%u bytes against %u)",
              c.name, static_cast<unsigned>(w.data.size()), static_cast<unsigned>(in.data.size()));
        // The connection's format, which describes the input's samples; the platform's parser may
        // describe float as WAVE_FORMAT_EXTENSIBLE with the float sub-format.
        REQUIRE(w.fmt.size() >= 16, "%s: a format chunk", c.name);
        const unsigned tag = w.fmt[0] | (w.fmt[1] << 8);
        const unsigned subTag = w.fmt.size() >= 26 ? (w.fmt[24] | (w.fmt[25] << 8)) : 0;
        CHECK(tag == in.wfx.wFormatTag ||
                  (tag == WAVE_FORMAT_EXTENSIBLE && subTag == in.wfx.wFormatTag),
              "%s: format tag %u (sub-format %u) for the input's %u", c.name, tag, subTag,
              in.wfx.wFormatTag);
        CHECK(std::memcmp(&w.fmt[2], reinterpret_cast<const uint8_t*>(&in.wfx) + 2, 14) == 0,
              "%s: the input's channels, rate, block and sample size (%u channels, %lu Hz)", c.name,
              w.fmt[2] | (w.fmt[3] << 8), static_cast<unsigned long>(Get32(&w.fmt[4])));
        if (tag == WAVE_FORMAT_PCM) {
            CHECK(w.fmt.size() == 16 && !w.hasFact,
                  "%s: the plain 16-byte PCM format, no fact chunk", c.name);
        } else {
            CHECK(w.hasFact && w.factFrames == in.Frames(),
                  "%s: a fact chunk with %u frames, got %lu", c.name,
                  static_cast<unsigned>(in.Frames()), static_cast<unsigned long>(w.factFrames));
        }
    }
}

VMX_TEST(host, tempo_1_5_shortens_by_a_third) {
    CTempFolder folder;
    const PcmAudio in = SineSignal(3 * 44100, 440.0);
    const std::wstring inPath = folder.File(L"in.wav");
    const std::wstring outPath = folder.File(L"fast.wav");
    REQUIRE(WriteWav(inPath, in), "the input is written");
    const ToolRun r =
        Run(folder, L"velomix.exe",
            L"process --tempo 1.5 --no-progress " + Quoted(inPath) + L" " + Quoted(outPath));
    REQUIRE(r.exitCode == 0, "exit code 0, got %lu; stderr: %s", r.exitCode, r.err.c_str());

    const std::vector<uint8_t> file = ReadAll(outPath);
    const ParsedWav w = ParseWav(file);
    REQUIRE(w.problem.empty(), "the output parses as WAV: %s", w.problem.c_str());
    CHECK(w.riffSize == file.size() - 8 && w.dataSize == w.data.size(),
          "the header's sizes match the file");
    CHECK(w.data.size() % in.wfx.nBlockAlign == 0, "whole frames only");
    const double expected = static_cast<double>(in.data.size()) / 1.5;
    CHECK(std::fabs(static_cast<double>(w.data.size()) / expected - 1.0) <= 0.01,
          "output is input/1.5 within 1%%: %u bytes for %.0f expected",
          static_cast<unsigned>(w.data.size()), expected);
    // The summary tells what was written.
    const double written = static_cast<double>(w.data.size()) / in.wfx.nAvgBytesPerSec;
    CHECK(Contains(r.out, "3.00 s in, ") && std::fabs(SummarySecondsOut(r.out) - written) < 0.006,
          "the summary gives 3.00 s in and the %.3f s written: %s", written, r.out.c_str());
    CHECK(Contains(r.out, "(tempo 1.5, rate 1, pitch +0)"), "the summary names the settings: %s",
          r.out.c_str());
}

VMX_TEST(host, process_reads_and_writes_files_named_outside_the_code_page) {
    CTempFolder folder;
    // Greek, Latin-1 and superscript letters, and U+1D11E (a surrogate pair): a command line
    // read in the ANSI code page turns them into other names.
    const std::wstring inPath = folder.File(L"in \x03B4\xD834\xDD1E.wav");
    const std::wstring outPath = folder.File(L"Vel\x00F7 Mix \x207F.wav");
    const PcmAudio in = IndexSignal(44100 / 2 + 7);
    REQUIRE(WriteWav(inPath, in), "the input is written");
    const ToolRun r =
        Run(folder, L"velomix.exe", L"process " + Quoted(inPath) + L" " + Quoted(outPath));
    CHECK(r.exitCode == 0, "exit code 0, got %lu; stderr: %s", r.exitCode, r.err.c_str());
    const ParsedWav w = ParseWav(ReadAll(outPath));
    REQUIRE(w.problem.empty(), "the output, named as asked, parses as WAV: %s", w.problem.c_str());
    CHECK(w.data == in.data, "the data chunk equals the input's (%u bytes against %u)",
          static_cast<unsigned>(w.data.size()), static_cast<unsigned>(in.data.size()));
    // The summary names the output in UTF-8.
    CHECK(Contains(r.out, Utf8(outPath) + ": "), "the summary names %s: %s", Utf8(outPath).c_str(),
          r.out.c_str());
}

VMX_TEST(host, errors_have_messages_and_exit_codes) {
    CTempFolder folder;
    const std::wstring in = folder.File(L"in.wav");
    REQUIRE(WriteWav(in, SineSignal(44100 / 4, 440.0)), "the input is written");
    // A sample rate above what the engine takes, which the platform's parser offers.
    const std::wstring highPath = folder.File(L"high.wav");
    REQUIRE(WriteWav(highPath, Silence(WAVE_FORMAT_PCM, 2, 384000, 16, 38400)),
            "the 384 kHz input is written");
    const std::wstring out = folder.File(L"out.wav");
    const std::wstring q = Quoted(in) + L" " + Quoted(out);
    const struct {
        std::wstring args;
        DWORD exitCode;
        std::string message;
    } cases[] = {
        {L"process " + Quoted(folder.File(L"missing.wav")) + L" " + Quoted(out), 1,
         "velomix: cannot read " + Utf8(folder.File(L"missing.wav")) + ": "},
        {L"process " + Quoted(ProgramFolder() + L"velomix.exe") + L" " + Quoted(out), 1,
         "not a WAV file"},
        {L"process --tempo 0 " + q, 2, "velomix: --tempo 0 refused by the filter (E_INVALIDARG"},
        {L"process --pitch 61 " + q, 2, "velomix: --pitch 61 refused by the filter"},
        {L"process --rate 1.5x " + q, 2, "--rate: not a number: 1.5x"},
        {L"process --frobnicate " + q, 2, "unknown option --frobnicate"},
        {L"process " + Quoted(in), 2, "needs an input and an output"},
        {L"process " + Quoted(in) + L" " + Quoted(folder.File(L"no\\such\\folder\\o.wav")), 1,
         "cannot write"},
        {L"process --module " + Quoted(folder.File(L"nothere.ax")) + L" " + q, 1,
         "cannot load " + Utf8(folder.File(L"nothere.ax"))},
        {L"process " + Quoted(highPath) + L" " + Quoted(out), 1,
         "does not take this format (2 channels, 384000 Hz, 16-bit"},
    };
    for (const auto& c : cases) {
        const std::string args = vmxtest::Narrow(c.args.c_str());
        const ToolRun r = Run(folder, L"velomix.exe", c.args);
        CHECK(r.exitCode == c.exitCode, "%s: exit code %lu, got %lu", args.c_str(), c.exitCode,
              r.exitCode);
        CHECK(Contains(r.err, c.message), "%s: \"%s\" on stderr, got: %s", args.c_str(),
              c.message.c_str(), r.err.c_str());
        CHECK(r.out.empty(), "%s: nothing on stdout, got: %s", args.c_str(), r.out.c_str());
        // A job that cannot run stops before it creates OUT.
        CHECK(!FileExists(out), "%s: no output file", args.c_str());
        DeleteFileW(out.c_str());
    }
}

// Files of the folder that a run left behind under a temporary name.
size_t Leftovers(const CTempFolder& folder) {
    WIN32_FIND_DATAW found{};
    size_t n = 0;
    const HANDLE h = FindFirstFileW(folder.File(L"*.velomix-*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do
        ++n;
    while (FindNextFileW(h, &found));
    FindClose(h);
    return n;
}

VMX_TEST(host, an_output_that_is_the_input_is_refused_and_only_a_finished_run_replaces_one) {
    CTempFolder folder;
    const std::wstring in = folder.File(L"in.wav");
    REQUIRE(WriteWav(in, SineSignal(44100 / 2, 440.0)), "the input is written");
    const std::vector<uint8_t> original = ReadAll(in);
    const std::wstring hard = folder.File(L"hard.wav");
    REQUIRE(CreateHardLinkW(hard.c_str(), in.c_str(), nullptr), "a hard link to the input");
    // The folder removes its files, not its folders.
    struct CSubFolder {
        std::wstring path;
        ~CSubFolder() { RemoveDirectoryW(path.c_str()); }
    } sub{folder.File(L"sub")};
    REQUIRE(CreateDirectoryW(sub.path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS,
            "a sub-folder");
    // The same file by its name, another spelling of it, and another name of it.
    for (const std::wstring& out :
         {in, folder.File(L".\\in.wav"), folder.File(L"sub\\..\\IN.WAV"), hard}) {
        const std::string name = Utf8(out);
        const ToolRun r =
            Run(folder, L"velomix.exe", L"process --tempo 1.5 " + Quoted(in) + L" " + Quoted(out));
        CHECK(r.exitCode == 2, "%s: exit code 2, got %lu; stderr: %s", name.c_str(), r.exitCode,
              r.err.c_str());
        CHECK(Contains(r.err, "are the same file"), "%s: says why: %s", name.c_str(),
              r.err.c_str());
        CHECK(ReadAll(in) == original, "%s: the input is untouched", name.c_str());
    }

    // An existing OUT stays as it was when the filter refuses the format or OUT is a folder.
    const std::wstring out = folder.File(L"keep.wav");
    const std::string keep = "an existing file that a failed run must not touch";
    {
        const CHandle file(CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        REQUIRE(file.Get() != INVALID_HANDLE_VALUE &&
                    WriteFile(file.Get(), keep.data(), static_cast<DWORD>(keep.size()), &written,
                              nullptr),
                "OUT exists");
    }
    const std::wstring high = folder.File(L"high.wav");
    REQUIRE(WriteWav(high, Silence(WAVE_FORMAT_PCM, 2, 384000, 16, 38400)), "a 384 kHz input");
    ToolRun r = Run(folder, L"velomix.exe", L"process " + Quoted(high) + L" " + Quoted(out));
    CHECK(r.exitCode == 1 && Contains(r.err, "does not take this format"),
          "a refused format: exit code 1, got %lu; stderr: %s", r.exitCode, r.err.c_str());
    const std::vector<uint8_t> after = ReadAll(out);
    CHECK(std::string(after.begin(), after.end()) == keep, "OUT is as it was");
    r = Run(folder, L"velomix.exe", L"process " + Quoted(in) + L" " + Quoted(folder.File(L"sub")));
    CHECK(r.exitCode == 1 && Contains(r.err, "it is a folder"),
          "OUT a folder: exit code 1, got %lu; stderr: %s", r.exitCode, r.err.c_str());
    // Nor is a file marked read-only replaced.
    REQUIRE(SetFileAttributesW(out.c_str(), FILE_ATTRIBUTE_READONLY), "OUT is made read-only");
    r = Run(folder, L"velomix.exe", L"process " + Quoted(in) + L" " + Quoted(out));
    CHECK(r.exitCode == 1, "OUT read-only: exit code 1, got %lu; stderr: %s", r.exitCode,
          r.err.c_str());
    const std::vector<uint8_t> kept = ReadAll(out);
    CHECK(std::string(kept.begin(), kept.end()) == keep, "the read-only OUT is as it was");
    SetFileAttributesW(out.c_str(), FILE_ATTRIBUTE_NORMAL);
    CHECK(Leftovers(folder) == 0, "no temporary file is left");

    // A finished run replaces it.
    r = Run(folder, L"velomix.exe", L"process " + Quoted(in) + L" " + Quoted(out));
    CHECK(r.exitCode == 0, "exit code 0, got %lu; stderr: %s", r.exitCode, r.err.c_str());
    const ParsedWav w = ParseWav(ReadAll(out));
    CHECK(w.problem.empty() && w.data.size() == original.size() - 44,
          "OUT is the finished WAV: %s, %u bytes of data", w.problem.c_str(),
          static_cast<unsigned>(w.data.size()));
    CHECK(Leftovers(folder) == 0, "no temporary file is left");
}

VMX_TEST(host, register_and_unregister_through_the_module) {
    CTempFolder folder;
    const std::wstring module = ProgramFolder() + L"Velomix.ax";
    const std::string classKey = "CLSID\\" + GuidString(CLSID_Velomix);
    // The prefix as the case found it: unregistered, no installation record.
    struct CClean {
        const CTempFolder& folder;
        std::wstring module;
        ~CClean() {
            const CChild child(folder, L"velomix.exe", L"unregister --module " + Quoted(module));
            child.Wait();
            for (const RegHive hive : {RegHive::CurrentUser, RegHive::LocalMachine})
                RegDeleteKeyTree(hive, kInstallKey);
        }
    } clean{folder, module};

    const ToolRun reg = Run(folder, L"velomix.exe", L"register --module " + Quoted(module));
    REQUIRE(reg.exitCode == 0, "register: exit code 0, got %lu; stderr: %s", reg.exitCode,
            reg.err.c_str());
    CHECK(Contains(reg.out, "Registered ") &&
              Contains(reg.out, "filter-mapper entry \"Velomix\", merit 0xFFFFFFFF"),
          "register says what the registry now holds: %s", reg.out.c_str());
    CRegKey server;
    std::string path;
    CHECK(server.OpenForRead(RegHive::ClassesRoot, classKey + "\\InprocServer32") ==
                  ERROR_SUCCESS &&
              server.QueryString("", &path) == ERROR_SUCCESS &&
              lstrcmpiA(path.c_str(), Utf8(module).c_str()) == 0,
          "%s\\InprocServer32 names the module %s: got \"%s\"", classKey.c_str(),
          Utf8(module).c_str(), path.c_str());

    const ToolRun unreg = Run(folder, L"velomix.exe", L"unregister --module " + Quoted(module));
    CHECK(unreg.exitCode == 0, "unregister: exit code 0, got %lu; stderr: %s", unreg.exitCode,
          unreg.err.c_str());
    CHECK(Contains(unreg.out, "Unregistered "), "unregister reports it: %s", unreg.out.c_str());
    CRegKey gone;
    CHECK(gone.OpenForRead(RegHive::ClassesRoot, classKey) != ERROR_SUCCESS, "%s is gone",
          classKey.c_str());
}

// The pipe the test reads velomix.exe's output from. velomix.exe blocks in its writes while
// the pipe is full, so its graph keeps running for as long as the test holds back.
class CPipeReader {
public:
    explicit CPipeReader(const std::wstring& name)
        : m_hPipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0,
                                   kBufferSize, 0, nullptr)) {}

    bool Created() const noexcept { return m_hPipe.Get() != INVALID_HANDLE_VALUE; }

    // Waits for the writer to open the pipe; false when it has not within ms.
    bool Accept(DWORD ms) {
        OVERLAPPED o{};
        o.hEvent = m_evIo.Get();
        if (ConnectNamedPipe(m_hPipe.Get(), &o))
            return true;
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED)
            return true;
        return error == ERROR_IO_PENDING && Finish(&o, ms);
    }

    // Appends what arrives until `total` bytes have been read or the writer closed its end;
    // false when nothing came within ms.
    bool ReadUntil(std::vector<uint8_t>* bytes, size_t total, DWORD ms) {
        uint8_t buffer[kBufferSize];
        while (bytes->size() < total && !m_bClosed) {
            OVERLAPPED o{};
            o.hEvent = m_evIo.Get();
            DWORD got = 0;
            const DWORD want =
                static_cast<DWORD>(std::min<size_t>(sizeof(buffer), total - bytes->size()));
            if (!ReadFile(m_hPipe.Get(), buffer, want, &got, &o)) {
                const DWORD error = GetLastError();
                if (error == ERROR_BROKEN_PIPE) {
                    m_bClosed = true;
                    break;
                }
                if (error != ERROR_IO_PENDING || !Finish(&o, ms))
                    return false;
                if (!GetOverlappedResult(m_hPipe.Get(), &o, &got, FALSE)) {
                    m_bClosed = GetLastError() == ERROR_BROKEN_PIPE;
                    if (!m_bClosed)
                        return false;
                }
            }
            bytes->insert(bytes->end(), buffer, buffer + got);
        }
        return true;
    }
    bool Closed() const noexcept { return m_bClosed; }

private:
    static constexpr DWORD kBufferSize = 65536;

    bool Finish(OVERLAPPED* pO, DWORD ms) {
        if (WaitForSingleObject(pO->hEvent, ms) == WAIT_OBJECT_0)
            return true;
        CancelIo(m_hPipe.Get());
        DWORD ignored = 0;
        GetOverlappedResult(m_hPipe.Get(), pO, &ignored, TRUE);
        return false;
    }

    CHandle m_hPipe;
    CHandle m_evIo{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    bool m_bClosed = false;
};

// velomix.exe run on `seconds` of a tone with OUT a named pipe of this test, started and
// writing: the pipe holds little, so velomix.exe goes only as fast as the test reads.
struct PipedVelomix {
    PipedVelomix(const wchar_t* pipeTag, int seconds, const std::wstring& options)
        : in(SineSignal(seconds * 44100, 440.0)), pipe(PipeName(pipeTag)),
          velomix(folder, L"velomix.exe", Arguments(pipeTag, options)) {
        REQUIRE(velomix.Started(), "velomix.exe starts");
        REQUIRE(pipe.Accept(30000), "velomix.exe opens its output within 30 s; stderr: %s",
                velomix.Err().c_str());
    }

    CTempFolder folder; // first made, last gone: the child writes its stdout and stderr there
    PcmAudio in;
    CPipeReader pipe;
    CChild velomix;

private:
    static std::wstring PipeName(const wchar_t* pipeTag) {
        return L"\\\\.\\pipe\\velomix-" + std::wstring(pipeTag) + L"-test-" +
               std::to_wstring(GetCurrentProcessId());
    }
    // The input written and the pipe made, before velomix.exe starts.
    std::wstring Arguments(const wchar_t* pipeTag, const std::wstring& options) {
        const std::wstring inPath = folder.File(L"tone.wav");
        REQUIRE(WriteWav(inPath, in), "the input is written");
        REQUIRE(pipe.Created(), "the pipe %s is created",
                vmxtest::Narrow(PipeName(pipeTag).c_str()).c_str());
        return L"process --no-progress " + options + L" " + Quoted(inPath) + L" " +
               PipeName(pipeTag);
    }
};

VMX_TEST(host_control, velomixctl_changes_a_running_velomix_graph) {
    // A minute of tone: far more than the pipe and the graph's buffers hold at once.
    PipedVelomix run(L"host", 60, L"--steerable");
    auto& [folder, in, pipe, velomix] = run;

    // The header and the first second, at normal speed.
    const size_t header = 44;
    const size_t firstSecond = in.wfx.nAvgBytesPerSec;
    std::vector<uint8_t> bytes;
    REQUIRE(pipe.ReadUntil(&bytes, header + firstSecond, 30000) &&
                bytes.size() == header + firstSecond,
            "the first second arrives: %u bytes; stderr: %s", static_cast<unsigned>(bytes.size()),
            velomix.Err().c_str());
    REQUIRE(velomix.Running(), "velomix.exe still runs, held by the full pipe");

    const ToolRun ctl = Run(folder, L"velomixctl.exe", L"set --tempo 1.5");
    CHECK(ctl.exitCode == 0, "velomixctl set: exit code 0, got %lu; stderr: %s", ctl.exitCode,
          ctl.err.c_str());
    CHECK(Contains(ctl.out, "tempo 1.5 rate 1 pitch 0"),
          "velomixctl reports the value in force: %s", ctl.out.c_str());
    CHECK(velomix.Running(), "the graph was still running when the change came");

    REQUIRE(pipe.ReadUntil(&bytes, SIZE_MAX, 30000) && pipe.Closed(),
            "the rest arrives and velomix.exe closes its output");
    const DWORD code = velomix.Wait();
    CHECK(code == 0, "velomix.exe: exit code 0, got %lu; stderr: %s", code, velomix.Err().c_str());
    CHECK(Contains(velomix.Out(), "60.00 s in"), "velomix.exe's summary: %s",
          velomix.Out().c_str());
    CHECK(Contains(velomix.Out(), "(tempo 1.5 from 1, rate 1, pitch +0)"),
          "the summary names the speed in force at the end, set by velomixctl: %s",
          velomix.Out().c_str());
    CHECK(Contains(velomix.Out(), "speed changed by a controller during the run (1 change seen): "
                                  "ended at tempo 1.5, rate 1, pitch +0"),
          "the summary says a controller changed the speed: %s", velomix.Out().c_str());

    const ParsedWav w = ParseWav(bytes);
    REQUIRE(w.problem.empty(), "the stream parses as WAV: %s", w.problem.c_str());
    CHECK(w.riffSize == kUnknownSize && w.dataSize == kUnknownSize,
          "a pipe cannot seek back: the sizes say \"unknown\" (0x%08lX, 0x%08lX)",
          static_cast<unsigned long>(w.riffSize), static_cast<unsigned long>(w.dataSize));
    CHECK(w.data.size() >= firstSecond &&
              std::memcmp(w.data.data(), in.data.data(), firstSecond) == 0,
          "the first second is the input, unchanged");
    // Up to the change point c the audio passes at 1.0, after it at 1.5:
    // out = c + (60 - c) / 1.5. The change came after the first second and before the pipe and
    // the graph's buffers ran ahead by more than a few seconds.
    const double out = static_cast<double>(w.data.size()) / in.wfx.nAvgBytesPerSec;
    const double changedAt = 3 * (out - 40);
    CHECK(changedAt >= 1.0 && changedAt <= 10.0,
          "%.2f s out of 60 s in: the change took effect at %.2f s of input, expected between 1 "
          "and 10 s",
          out, changedAt);
}

// Without --steerable velomix.exe keeps off the control channel: a velomixctl set while it runs
// does not reach it, and the audio comes out at the command line's speed, to the byte.
VMX_TEST(host_control, velomix_without_steerable_is_out_of_reach) {
    PipedVelomix run(L"batch", 20, L"--rate 0.5");
    auto& [folder, in, pipe, velomix] = run;
    std::vector<uint8_t> bytes;
    REQUIRE(pipe.ReadUntil(&bytes, 44 + in.wfx.nAvgBytesPerSec, 30000),
            "the first second arrives; stderr: %s", velomix.Err().c_str());
    REQUIRE(velomix.Running(), "velomix.exe still runs, held by the full pipe");

    // No filter serves, or (another group's running in the same prefix) one that is not this.
    const ToolRun set = Run(folder, L"velomixctl.exe", L"set --tempo 1.5");
    CHECK(set.exitCode == 0 || Contains(set.err, "no filter"), "velomixctl set: exit %lu; %s%s",
          set.exitCode, set.out.c_str(), set.err.c_str());

    REQUIRE(pipe.ReadUntil(&bytes, SIZE_MAX, 60000) && pipe.Closed(),
            "the rest arrives and velomix.exe closes its output");
    const DWORD code = velomix.Wait();
    CHECK(code == 0, "velomix.exe: exit code 0, got %lu; stderr: %s", code, velomix.Err().c_str());
    CHECK(Contains(velomix.Out(), "(tempo 1, rate 0.5, pitch +0)") &&
              !Contains(velomix.Out(), "changed by a controller"),
          "the summary: %s", velomix.Out().c_str());
    const ParsedWav w = ParseWav(bytes);
    REQUIRE(w.problem.empty(), "the stream parses as WAV: %s", w.problem.c_str());
    CHECK(w.data.size() == 2 * in.data.size(), "%u bytes out of %u in at rate 0.5",
          static_cast<unsigned>(w.data.size()), static_cast<unsigned>(in.data.size()));
}
