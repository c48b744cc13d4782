// How a typed speed factor becomes the whole percent the engine runs, on this architecture: the
// conversion as the module is built with it (the engine library, linked here too), and the
// module's own judgement of the speed envelope, where one percent decides. On i686 the x87's
// longer intermediates once made 1.2 run as 1.19 and 0.05 count as 0.06 in this module alone.
#include "Harness.h"
#include "StretchTuning.h"
#include "Support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// The accepted factors, in hundredths: 0.05 to 50.00.
constexpr int kLowest = 5;
constexpr int kHighest = 5000;

// The double a user gets who types hundredths / 100 with two decimals.
double TypedFactor(int hundredths) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%02d", hundredths / 100, hundredths % 100);
    return std::strtod(text, nullptr);
}

HRESULT SetFactor(IVelomixProp* pProp, bool bTempo, int hundredths) {
    const double factor = TypedFactor(hundredths);
    return bTempo ? pProp->SetTempo(factor) : pProp->SetRate(factor);
}

// At the pitch set: `inside` hundredths are accepted, `outside` (one further) refused.
void CheckEdge(IVelomixProp* pProp, int pitch, bool bTempo, int inside, int outside) {
    const char* name = bTempo ? "tempo" : "rate";
    const HRESULT hrOut = SetFactor(pProp, bTempo, outside);
    const HRESULT hrIn = SetFactor(pProp, bTempo, inside);
    CHECK(hrOut == E_INVALIDARG, "pitch %+d: %s %d.%02d is outside the envelope: %s", pitch, name,
          outside / 100, outside % 100, vmxtest::Hex(hrOut).c_str());
    CHECK(hrIn == S_OK, "pitch %+d: %s %d.%02d is inside the envelope: %s", pitch, name,
          inside / 100, inside % 100, vmxtest::Hex(hrIn).c_str());
    CHECK_HR(S_OK, bTempo ? pProp->SetTempo(1.0) : pProp->SetRate(1.0));
}

} // namespace

VMX_TEST(speed, every_two_decimal_factor_applies_its_percent) {
    int wrong = 0;
    for (int k = kLowest; k <= kHighest; ++k) {
        const int32_t percent = SpeedFactorToPercent(TypedFactor(k));
        if (percent != k - 100 && ++wrong <= 10)
            CHECK(false, "%d.%02d gives %d %%, expected %d %%", k / 100, k % 100,
                  static_cast<int>(percent), k - 100);
    }
    CHECK(wrong == 0, "%d of %d factors give another percent", wrong, kHighest - kLowest + 1);
    // More decimals: to the millionth, then cut toward 1.0, as on every build.
    const struct {
        double factor;
        int32_t percent;
    } cases[] = {{1.155, 15}, {0.995, 0}, {0.99, -1}, {0.639, -36}, {1.0099999, 1}};
    for (const auto& c : cases) {
        const int32_t percent = SpeedFactorToPercent(c.factor);
        CHECK(percent == c.percent, "%.7g gives %d %%, expected %d %%", c.factor,
              static_cast<int>(percent), static_cast<int>(c.percent));
    }
}

// At pitch p the stretch runs at tempo / 2^(p/12) and the resampling at rate x 2^(p/12), both
// within 0.02 to 50: at each pitch, the last factor inside each edge is accepted and the next
// one refused. The edges lie on whole hundredths at whole octaves (+60: tempo from 0.64, rate
// up to 1.56), elsewhere at least 6e-6 of their size from one: so an edge computed here in
// plain double is exact, and a factor judged one percent off shows.
VMX_TEST(speed, envelope_edges_through_the_module) {
    WithModule([](const CModule& module) {
        ComPtr<IBaseFilter> pFilter = RequireFilter(module);
        ComPtr<IVelomixProp> pProp = RequireProp(pFilter.Get());

        // The named ones first, with the value a misjudged percent would have let through.
        const struct {
            int pitch;
            bool bTempo;
            int inside, outside;
        } named[] = {{60, true, 64, 63},   {60, false, 156, 157}, {-60, true, 156, 157},
                     {-60, false, 64, 63}, {16, true, 6, 5},      {-16, false, 6, 5}};
        for (const auto& n : named) {
            REQUIRE_HR(S_OK, pProp->SetPitch(n.pitch));
            CheckEdge(pProp.Get(), n.pitch, n.bTempo, n.inside, n.outside);
        }

        int edges = 0;
        for (int pitch = -60; pitch <= 60; ++pitch) {
            REQUIRE_HR(S_OK, pProp->SetPitch(pitch));
            const double shift =
                pitch % 12 == 0 ? std::ldexp(1.0, pitch / 12) : std::exp2(pitch / 12.0);
            for (const bool bTempo : {true, false}) {
                const double stage = bTempo ? 1.0 / shift : shift; // factor to stage factor
                const int low = static_cast<int>(std::ceil(2.0 / stage));
                const int high = static_cast<int>(std::floor(5000.0 / stage));
                if (low > kLowest) {
                    CheckEdge(pProp.Get(), pitch, bTempo, low, low - 1);
                    ++edges;
                }
                if (high < kHighest) {
                    CheckEdge(pProp.Get(), pitch, bTempo, high, high + 1);
                    ++edges;
                }
            }
        }
        // Per value: below 50 at each of the 60 pitches on one side, above 0.05 at the 45 from
        // 16 semitones on the other.
        CHECK(edges == 2 * (60 + 45), "edges checked: %d", edges);

        pProp.Reset();
        ReleaseLast(pFilter, "the speed calls left no reference behind");
    });
}
