// The level gain on one block of the service's size (4096 bytes), next to a plain copy of the
// same block. The level is read from the in-memory fake store; the run on an empty block shows
// that fixed cost alone.

#include <string.h>

#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "fakes.h"
#include "loopback.h"

namespace {

constexpr uint32_t kBlock = 4096;

std::vector<unsigned char> noise_block() {
    std::vector<unsigned char> block(kBlock);
    uint32_t x = 12345;
    for (unsigned char& b : block) {
        x = x * 1103515245 + 12345;
        b = static_cast<unsigned char>(x >> 16);
    }
    return block;
}

void BM_LevelGain(benchmark::State& state) {
    fakes::reset();
    fakes::set_property(kLevelProperty, std::to_string(state.range(0)));
    const uint32_t size = static_cast<uint32_t>(state.range(1));
    std::vector<unsigned char> block = noise_block();
    for (auto _ : state) {
        apply_level_gain(block.data(), size);
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_LevelGain)
    ->ArgNames({"level", "bytes"})
    ->Args({7, kBlock})
    ->Args({14, kBlock})
    ->Args({7, 0});

void BM_Memcpy(benchmark::State& state) {
    std::vector<unsigned char> from = noise_block();
    std::vector<unsigned char> to(kBlock);
    for (auto _ : state) {
        memcpy(to.data(), from.data(), kBlock);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_Memcpy);

}  // namespace
