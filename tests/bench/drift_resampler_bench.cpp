// The drift compensation's resamplers on one block of the service's size (1024 stereo frames), at
// a steady ratio of 1 + 300 ppm, and the cost of a change of ratio, for each backend built in:
//     drift_resampler_bench --benchmark_filter=Block
// A change of speex ratio computes its filter table again; this host's library interpolates a
// table of 48 taps * 8 phases, where Android's computes 48 taps * the denominator.

#include <math.h>
#include <stdint.h>

#include <vector>

#include "benchmark/benchmark.h"
#include "resampler.h"
#ifdef HDMI_PREVIEW_HAVE_SAMPLERATE
#include "resampler_samplerate.h"
#endif
#ifdef HDMI_PREVIEW_HAVE_SPEEX
#include "resampler_speex.h"
#endif

namespace {

constexpr uint32_t kChannels = 2;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kBlock = 1024;

void BM_ResampleBlock(benchmark::State& state, const struct resampler_backend* backend) {
    struct resampler* r = backend->create(kChannels, kRate, kBlock);
    if (r == nullptr) {
        state.SkipWithError("the resampler could not be created");
        return;
    }
    backend->set_ratio(r, 1.0003);
    std::vector<int16_t> in(kBlock * kChannels), out(2 * kBlock * kChannels);
    for (uint32_t i = 0; i < kBlock; ++i) {
        in[2 * i] = in[2 * i + 1] = static_cast<int16_t>(8000 * sin(2 * M_PI * 1000 * i / kRate));
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(backend->process(r, in.data(), kBlock, out.data(), 2 * kBlock));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
    backend->destroy(r);
}

void BM_ChangeRatio(benchmark::State& state, const struct resampler_backend* backend) {
    struct resampler* r = backend->create(kChannels, kRate, kBlock);
    if (r == nullptr) {
        state.SkipWithError("the resampler could not be created");
        return;
    }
    // Two ratios two steps apart, on the same side of 1.
    const double step = backend->ratio_step > 0 ? backend->ratio_step : 10e-6;
    bool high = false;
    for (auto _ : state) {
        benchmark::DoNotOptimize(backend->set_ratio(r, 1.0003 + (high ? 2 * step : 0)));
        high = !high;
    }
    backend->destroy(r);
}

#ifdef HDMI_PREVIEW_HAVE_SAMPLERATE
BENCHMARK_CAPTURE(BM_ResampleBlock, samplerate, &resampler_samplerate)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ChangeRatio, samplerate, &resampler_samplerate)->Unit(benchmark::kMicrosecond);
#endif
#ifdef HDMI_PREVIEW_HAVE_SPEEX
BENCHMARK_CAPTURE(BM_ResampleBlock, speex, &resampler_speex)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ChangeRatio, speex, &resampler_speex)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace
