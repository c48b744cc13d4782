// The settings file in the local application-data (low integrity) folder, as a player's filter
// finds it: the folder is made with the filter, and each "INIT" key and the "SPEED" tuning
// change what the engine produces.
#include "Graphs.h"
#include "Harness.h"

#include <fstream>
#include <string>
#include <vector>

namespace {

// Runs the file through a new filter at the given tempo and rate; returns what it delivered.
std::vector<uint8_t> Process(const CModule& module, const std::wstring& wav, double tempo,
                             double rate) {
    CaptureGraph g = BuildCaptureGraph(module, wav);
    REQUIRE_HR(S_OK, g.prop->SetTempo(tempo));
    REQUIRE_HR(S_OK, g.prop->SetRate(rate));
    RunToCompletion(g);
    std::vector<uint8_t> bytes = g.sink->Log().bytes;
    TearDown(g);
    return bytes;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

VMX_TEST(settings, settings_file_tunes_the_engine) {
    CComScope com;
    CModule module;
    REQUIRE(module.Loaded(), "Velomix.ax loads");
    const std::wstring folder = SettingsFolder();
    REQUIRE(!folder.empty(), "the local application-data (low integrity) folder is known");
    const std::wstring ini = folder + L"\\VELO.INI";
    DeleteFileW(ini.c_str());
    RemoveDirectoryW(folder.c_str());
    REQUIRE(!IsFolder(folder), "no settings folder before the filter");
    RequireFilter(module);
    CHECK(IsFolder(folder), "the settings folder is made with the filter, without a settings file");

    CTempFolder temp;
    const std::wstring wav =
        RequireWav(temp, L"tone.wav", SineSignal(2 * 44100, 440.0, 1250.0, 44100));
    auto with = [&](const char* text, double tempo, double rate) {
        if (text) {
            std::ofstream(ini.c_str(), std::ios::binary) << text;
        } else {
            DeleteFileW(ini.c_str());
        }
        return Process(module, wav, tempo, rate);
    };

    // Tempo 1.5 runs with quick seek and the "1.6" tuning.
    const std::vector<uint8_t> fast = with(nullptr, 1.5, 1.0);
    REQUIRE(!fast.empty(), "output at tempo 1.5");
    CHECK(with(nullptr, 1.5, 1.0) == fast, "the same settings give the same output");
    CHECK(with("[INIT]\r\nFAST=1\r\n", 1.5, 1.0) == fast,
          "the defaults written out change nothing");
    CHECK(with("[INIT]\r\nFAST=0\r\n", 1.5, 1.0) != fast, "FAST=0 turns quick seek off");
    CHECK(with("[SPEED]\r\n1.6=40,10,8\r\n", 1.5, 1.0) != fast, "the \"1.6\" tuning is read");
    CHECK(with("[SPEED]\r\n1.2=40,10,8\r\n", 1.5, 1.0) == fast,
          "another band's tuning does not apply");

    // Rate 1.25 runs through the anti-alias filter.
    const std::vector<uint8_t> rated = with(nullptr, 1.0, 1.25);
    const std::vector<uint8_t> noFilter = with("[INIT]\r\nHIGH_EFFECT=0\r\n", 1.0, 1.25);
    CHECK(noFilter != rated, "HIGH_EFFECT=0 turns the anti-alias filter off");
    CHECK(with("[INIT]\r\nHIGH_EFFECT_LEN=64\r\n", 1.0, 1.25) != rated,
          "HIGH_EFFECT_LEN sets its length");
    CHECK(with("[INIT]\r\nHIGH_EFFECT=0\r\nHIGH_EFFECT_LEN=64\r\n", 1.0, 1.25) == noFilter,
          "the length does not matter with the filter off");
    CHECK(with("[INIT]\r\nHIGH_EFFECT_LEN=33\r\n", 1.0, 1.25) == rated,
          "a length the engine refuses falls back to 32");

    DeleteFileW(ini.c_str());
    CHECK_HR(S_OK, module.CanUnloadNow());
}
