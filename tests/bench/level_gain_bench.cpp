// The level gain on one block of the service's size (4096 bytes), next to a plain copy of the
// same block: the gain's cost per block, with the level read from the (in-memory) property store.

#include <string.h>

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
    fakes::set_property(kLevelProperty, state.range(0) == 7 ? "7" : "14");
    std::vector<unsigned char> block = noise_block();
    for (auto _ : state) {
        apply_level_gain(block.data(), kBlock);
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_LevelGain)->Arg(7)->Arg(14);

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
