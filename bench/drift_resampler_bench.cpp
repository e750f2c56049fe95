// The drift compensation's resamplers on one block of the service's size (1024 stereo frames), at
// a steady ratio of 1 + 300 ppm, and the cost of a change of ratio, for each backend built in
// (speex at qualities 1 to 4), and libsoxr's variable-rate mode beside them when it is installed:
//     drift_resampler_bench --benchmark_filter=Block
// A change of speex ratio computes its filter table again; this host's library interpolates a
// table of taps * 4 or 8 phases, where Android's computes 48 taps * the denominator.

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
#ifdef HDMI_PREVIEW_HAVE_SOXR
#include <soxr.h>
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
BENCHMARK_CAPTURE(BM_ResampleBlock, speex_q1, &resampler_speex_at_quality[1])
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ResampleBlock, speex_q2, &resampler_speex_at_quality[2])
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ResampleBlock, speex_q3, &resampler_speex_at_quality[3])
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ResampleBlock, speex_q4, &resampler_speex_at_quality[4])
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ChangeRatio, speex_q1, &resampler_speex_at_quality[1])
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ChangeRatio, speex_q3, &resampler_speex_at_quality[3])
    ->Unit(benchmark::kMicrosecond);
#endif

#ifdef HDMI_PREVIEW_HAVE_SOXR
// libsoxr's variable-rate mode (the only one that takes a new ratio mid-stream), 16-bit in and
// out, one thread; its recipe picks nothing here, the variable-rate filter is the same for all.
void BM_SoxrVariableBlock(benchmark::State& state) {
    const soxr_quality_spec_t quality = soxr_quality_spec(state.range(0), SOXR_VR);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(1.01, 1, kChannels, &error, &io, &quality, &runtime);
    if (error != nullptr) {
        state.SkipWithError(error);
        return;
    }
    std::vector<int16_t> in(kBlock * kChannels), out(2 * kBlock * kChannels);
    for (uint32_t i = 0; i < kBlock; ++i) {
        in[2 * i] = in[2 * i + 1] = static_cast<int16_t>(8000 * sin(2 * M_PI * 1000 * i / kRate));
    }
    bool high = false;
    for (auto _ : state) {
        // The ratio moves a little every block, as the controller moves it.
        soxr_set_io_ratio(soxr, 1 / (1.0003 + (high ? 1e-6 : 0)), kBlock);
        high = !high;
        size_t used = 0, done = 0;
        soxr_process(soxr, in.data(), kBlock, &used, out.data(), 2 * kBlock, &done);
        benchmark::DoNotOptimize(done);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
    soxr_delete(soxr);
}
BENCHMARK(BM_SoxrVariableBlock)
    ->Arg(SOXR_LQ)
    ->Arg(SOXR_HQ)
    ->ArgName("recipe")
    ->Unit(benchmark::kMicrosecond);
#endif

}  // namespace
