// What a listener hears at each speed change of the closing notes' table, measured on the native
// module as the listening tests measure it (tests/native/listening), printed as a table.
//
// Usage: velomix_listen_measure [--format u8|s16|s24|s32|f32] [--channels N] [--rate HZ]
//                               [--samples MS] [--restamp]
// Defaults: s16, 2 channels, 44100 Hz, 100 ms input samples, RESTAMP=0. The module is the build
// tree's, or VELOMIX_MODULE. The settings file is a private one in a temporary folder.
#include "ListeningRun.h"

#include "IVelomixProp.h"
#include "ModuleLoader.h"
#include "Unknown.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

using namespace listening;

namespace {

struct Row {
    SpeedSetting from, to;
};

const Row kTable[] = {
    {{1, 1, 0}, {1.5, 1, 0}},  {{1, 1, 0}, {0.5, 1, 0}},  {{1.5, 1, 0}, {0.75, 1, 0}},
    {{2, 1, 0}, {0.75, 1, 0}}, {{1, 1, 0}, {1, 1.2, 0}},  {{1, 1, 0}, {1, 1, 3}},
    {{1.5, 1, 0}, {1, 1, 0}},  {{0.5, 1, 0}, {1, 1, 0}},  {{1, 1.2, 0}, {1, 1, 0}},
    {{1, 1, 3}, {1, 1, 0}},    {{0.75, 1, 0}, {2, 1, 0}}, {{1.25, 1, -2}, {0.8, 1.1, 0}},
};

// A private settings folder for the filters of this run, removed at the end.
class CConfigHome {
public:
    CConfigHome() {
        char folder[] = "/tmp/velomix-listen-XXXXXX";
        if (mkdtemp(folder)) {
            m_Path = folder;
            setenv("XDG_CONFIG_HOME", folder, 1);
        }
    }
    ~CConfigHome() {
        if (!m_Path.empty())
            nftw(
                m_Path.c_str(),
                [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); },
                16, FTW_DEPTH | FTW_PHYS);
    }
    CConfigHome(const CConfigHome&) = delete;
    CConfigHome& operator=(const CConfigHome&) = delete;
    bool Valid() const { return !m_Path.empty(); }
    void Write(const std::string& text) const {
        mkdir((m_Path + "/Korvane").c_str(), 0700);
        mkdir((m_Path + "/Korvane/Player").c_str(), 0700);
        std::ofstream(m_Path + "/Korvane/Player/VELO.INI") << text;
    }

private:
    std::string m_Path;
};

bool ParseType(const char* text, SampleType& type) {
    static const char* const names[] = {"u8", "s16", "s24", "s32", "f32"};
    for (int i = 0; i < 5; ++i) {
        if (std::strcmp(text, names[i]) == 0) {
            type = SampleType(i);
            return true;
        }
    }
    return false;
}

int Usage() {
    std::fprintf(stderr, "usage: velomix_listen_measure [--format u8|s16|s24|s32|f32] "
                         "[--channels N] [--rate HZ] [--samples MS] [--restamp]\n");
    return 2;
}

// "-" for a figure that does not apply.
std::string Figure(double v, bool bApplies = true) {
    if (!bApplies)
        return "-";
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", v);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    Format format{SampleType::S16, 2, 44100};
    double sampleMs = 100;
    bool bRestamp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool bValue = i + 1 < argc;
        if (a == "--restamp")
            bRestamp = true;
        else if (a == "--format" && bValue && ParseType(argv[i + 1], format.type))
            ++i;
        else if (a == "--channels" && bValue)
            format.channels = std::atoi(argv[++i]);
        else if (a == "--rate" && bValue)
            format.rate = std::atoi(argv[++i]);
        else if (a == "--samples" && bValue)
            sampleMs = std::atof(argv[++i]);
        else
            return Usage();
    }
    if (format.channels < 1 || format.channels > 16 || format.rate < 8000 || sampleMs <= 0 ||
        std::fmod(2000, sampleMs) != 0)
        return Usage(); // the change comes at 2 s, a whole number of input samples

    CConfigHome home;
    if (!home.Valid()) {
        std::fprintf(stderr, "velomix_listen_measure: no temporary folder\n");
        return 1;
    }
    if (bRestamp)
        home.Write("[INIT]\nRESTAMP=1\n");
    const char* modulePath = std::getenv("VELOMIX_MODULE");
    CModuleLoader module;
    if (!module.Load(modulePath ? modulePath : VELOMIX_MODULE_PATH)) {
        std::fprintf(stderr, "velomix_listen_measure: %s\n", module.Error().c_str());
        return 1;
    }
    const FilterMaker make = [&module]() {
        ComPtr<IClassFactory> factory;
        ComPtr<IBaseFilter> filter;
        if (SUCCEEDED(module.GetClassObject(CLSID_Velomix, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory))))
            factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
        return filter;
    };

    std::printf("%s, %g ms input samples, RESTAMP=%d; a change at 2 s of a 4 s chirp / tone\n\n",
                format.Name().c_str(), sampleMs, bRestamp ? 1 : 0);
    std::printf("| change | dropped ms | repeated ms | step ratio | length error ms (allowed) | "
                "bit-exact after ms |\n|---|---|---|---|---|---|\n");
    int failures = 0;
    for (const Row& row : kTable) {
        ChangeCase c;
        c.from = row.from;
        c.to = row.to;
        c.format = format;
        c.sampleSeconds = sampleMs / 1000;
        const ChangeFigures f = MeasureChange(make, c, bRestamp);
        const std::string name = row.from.Name() + " -> " + row.to.Name();
        if (!f.error.empty() || !f.splice.valid) {
            std::printf("| %s | %s |\n", name.c_str(),
                        (f.error.empty() ? f.splice.problem : f.error).c_str());
            ++failures;
            continue;
        }
        const double low = (f.length.low - f.length.nominal) * 1000;
        const double high = (f.length.high - f.length.nominal) * 1000;
        std::printf("| %s | %.1f | %.1f | %.2f | %+.1f (%+.0f..%+.0f) | %s |\n", name.c_str(),
                    f.splice.droppedMs, f.splice.repeatedMs, f.step.ratio, f.lengthErrorMs, low,
                    high, Figure(f.bitExactAfterMs, c.to.IsNormal()).c_str());
    }

    std::printf("\nruns of many changes (tones, s16 mono 44100 Hz unless said)\n\n"
                "| run | output s | expected s (allowed) | ends in silence ms | worst step ratio "
                "|\n|---|---|---|---|---|\n");
    struct Run {
        const char* name;
        RunCase run;
    };
    auto alternating = [](double samples, double seconds, int count, double a, double b) {
        RunCase c;
        c.format = Format{SampleType::S16, 1, 44100};
        c.sampleSeconds = samples;
        c.bSteps = false;
        for (int i = 0; i < count; ++i)
            c.stretches.push_back({seconds, {i % 2 ? b : a, 1, 0}});
        return c;
    };
    RunCase fiftyThenSlow = alternating(0.1, 5.0, 1, 50, 50);
    fiftyThenSlow.stretches.push_back({0.1, {0.05, 1, 0}});
    RunCase many;
    many.format = Format{SampleType::S16, 2, 44100};
    for (int i = 0; i <= 34; ++i)
        many.stretches.push_back(
            {i == 0 || i == 34 ? 1.2 : 0.3, {0.8 + 0.05 * ((i * 7) % 10), 1, 0}});
    const Run runs[] = {
        {"tempo 50 for 5 s, then 0.05 for 0.1 s", fiftyThenSlow},
        {"0.05 <-> 50 every 100 ms, 5 s", alternating(0.1, 0.1, 50, 0.05, 50)},
        {"5 s input samples, 50 <-> 0.05", alternating(5.0, 5.0, 4, 50, 0.05)},
        {"34 changes 0.8..1.25, 300 ms apart (s16 stereo)", many},
    };
    for (const Run& r : runs) {
        const RunFigures f = MeasureRun(make, r.run, bRestamp);
        if (!f.error.empty()) {
            std::printf("| %s | %s |\n", r.name, f.error.c_str());
            ++failures;
            continue;
        }
        std::printf("| %s | %.3f | %.3f (%.3f..%.3f) | %.0f | %s |\n", r.name, f.outputSeconds,
                    f.length.nominal, f.length.low, f.length.high, f.trailingQuietMs,
                    r.run.bSteps ? Figure(f.worstStep.ratio).c_str() : "-");
    }
    if (CBaseObject::ObjectsActive() != 0 || module.CanUnloadNow() != S_OK)
        std::fprintf(stderr, "velomix_listen_measure: objects left alive\n");
    return failures == 0 ? 0 : 1;
}
