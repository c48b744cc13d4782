// The native registry store's parse and write of one hive file, against the size of the file:
// a deep key line (parts beyond the depth limit are skipped whole), and a hive of keys at the
// limits (512 levels of 255-byte parts, each with a value). "bytes_per_second" is file bytes
// parsed or written per second; it stays flat as the input grows when the cost is linear.
#include "posix/RegistryStore.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const char kHeader[] = "VELOMIX REGISTRY 1\n";

std::string DeepLine(size_t parts, size_t partBytes, const std::string& first) {
    std::string line = "[" + first;
    for (size_t i = 1; i < parts; ++i) {
        std::string part = std::to_string(i);
        part.resize(partBytes, 'x');
        line += '\\' + part;
    }
    return line + "]\n";
}

// One key line of state.range(0) parts of 8 bytes.
std::string DeepKeyFile(size_t parts) {
    return kHeader + DeepLine(parts, 8, "Deep") + "[Normal]\n\"v\"=\"1\"\n";
}

// state.range(0) keys 512 levels deep with 255-byte parts, each with a value.
std::string KeysAtTheLimits(size_t keys) {
    std::string text = kHeader;
    for (size_t k = 0; k < keys; ++k)
        text += DeepLine(regstore::kMaxKeyDepth, regstore::kMaxKeyPartBytes,
                         "Key" + std::to_string(k)) +
                "\"v\"=dword:00000001\n";
    return text;
}

void Parse(benchmark::State& state, const std::string& text) {
    regstore::CHive hive;
    std::string problem;
    for (auto _ : state) {
        if (!hive.Parse(text, &problem))
            state.SkipWithError(problem.c_str());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Write(benchmark::State& state, const std::string& text) {
    regstore::CHive hive;
    std::string problem;
    if (!hive.Parse(text, &problem))
        state.SkipWithError(problem.c_str());
    size_t written = 0;
    for (auto _ : state) {
        const std::string out = hive.Serialize();
        written += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(written));
}

void BM_RegistryParseDeepKey(benchmark::State& state) {
    Parse(state, DeepKeyFile(static_cast<size_t>(state.range(0))));
}
void BM_RegistryWriteDeepKey(benchmark::State& state) {
    Write(state, DeepKeyFile(static_cast<size_t>(state.range(0))));
}
void BM_RegistryParseKeysAtLimits(benchmark::State& state) {
    Parse(state, KeysAtTheLimits(static_cast<size_t>(state.range(0))));
}
void BM_RegistryWriteKeysAtLimits(benchmark::State& state) {
    Write(state, KeysAtTheLimits(static_cast<size_t>(state.range(0))));
}

} // namespace

BENCHMARK(BM_RegistryParseDeepKey)->ArgName("parts")->Arg(500)->Arg(2000)->Arg(100000);
BENCHMARK(BM_RegistryWriteDeepKey)->ArgName("parts")->Arg(500)->Arg(2000)->Arg(100000);
BENCHMARK(BM_RegistryParseKeysAtLimits)->ArgName("keys")->Arg(1)->Arg(10)->Arg(100);
BENCHMARK(BM_RegistryWriteKeysAtLimits)->ArgName("keys")->Arg(1)->Arg(10)->Arg(100);
