#pragma once

// The drift compensation against a simulated pair of clocks, for the unit tests and the figures
// tool (bench/drift_figures.cpp): capture delivers a block per tick of its clock; playback
// takes block * (1 + offset) frames in the same time. As on a device, playback starts once two
// blocks are queued, and until then the queue is unknown. `jitter` frames of deterministic noise
// stand for the wake-up's scatter.

#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <vector>

#include "drift.h"
#include "resampler.h"
#ifdef HDMI_PREVIEW_HAVE_SAMPLERATE
#include "resampler_samplerate.h"
#endif
#ifdef HDMI_PREVIEW_HAVE_SPEEX
#include "resampler_speex.h"
#endif

namespace drift_simulation {

// Every resampler built in; the tables and the figures run a row per backend. Speex at the build's
// quality, and at Android's (3) when that differs.
inline const struct resampler_backend* const kBackends[] = {
#ifdef HDMI_PREVIEW_HAVE_SAMPLERATE
    &resampler_samplerate,
#endif
#ifdef HDMI_PREVIEW_HAVE_SPEEX
    &resampler_speex,
#if HDMI_PREVIEW_SPEEX_QUALITY != 3
    &resampler_speex_at_quality[3],  // Android's
#endif
#endif
};

constexpr uint32_t kChannels = 2;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kBlock = 1024;
constexpr uint32_t kBuffer = 4096;

struct Run {
    bool created = false;
    double set_point = 0;         // frames, as the run measured it
    std::vector<double> queue;    // per block, just before the write (NAN before playback starts)
    std::vector<double> ratio;    // per block, in force for that block's output
    std::vector<int16_t> played;  // interleaved, every block's output, when asked for
    double min_queue = 1e9;       // just before a write, once started
    double max_queue = 0;         // just after a write
};

constexpr double kToneAmplitude = 8000;  // of 32767

// A sine of `tone_hz` at kToneAmplitude on both channels, or silence at 0 Hz.
inline Run simulate(const struct resampler_backend* backend, double offset_ppm, int blocks,
                    double jitter, double tone_hz = 1000, bool keep_output = false) {
    Run run;
    DriftOwner drift(drift_create(kChannels, kRate, kBlock, kBuffer, backend), drift_destroy);
    if (!drift) return run;
    run.created = true;
    std::vector<int16_t> block(kBlock * kChannels);
    double queue = 0;
    uint32_t seed = 1;
    for (int b = 0; b < blocks; ++b) {
        for (uint32_t i = 0; i < kBlock; ++i) {
            const double t = static_cast<double>(b * kBlock + i) / kRate;
            const int16_t s =
                static_cast<int16_t>(lrint(kToneAmplitude * sin(2 * M_PI * tone_hz * t)));
            block[2 * i] = block[2 * i + 1] = s;
        }
        const bool started = b >= 2;
        if (started) queue -= kBlock * (1 + offset_ppm * 1e-6);
        seed = seed * 1103515245u + 12345u;
        const double noise = jitter * (static_cast<double>(seed >> 16 & 0x7fff) / 16383.5 - 1);
        uint32_t frames = 0;
        const int16_t* out = drift_resample(drift.get(), block.data(), kBlock,
                                            started ? queue + noise : -1, &frames);
        run.queue.push_back(started ? queue : NAN);
        run.ratio.push_back(drift_ratio(drift.get()));
        if (keep_output) run.played.insert(run.played.end(), out, out + frames * kChannels);
        if (started) run.min_queue = std::min(run.min_queue, queue);
        queue += frames;
        run.max_queue = std::max(run.max_queue, queue);
    }
    run.set_point = drift_set_point(drift.get());  // measured from the first blocks
    return run;
}

// The largest |queue - set point| from block `from` on.
inline double peak_deviation(const Run& run, size_t from) {
    double peak = 0;
    for (size_t b = from; b < run.queue.size(); ++b) {
        peak = std::max(peak, fabs(run.queue[b] - run.set_point));
    }
    return peak;
}

// The level of the first channel of `frames` interleaved frames holding a sine, in dB against the
// sine that simulate() feeds in (0 when the resampler kept it).
inline double level_db(const int16_t* played, size_t frames) {
    double power = 0;
    for (size_t i = 0; i < frames; ++i) power += static_cast<double>(played[2 * i]) * played[2 * i];
    return 10 * log10(power / frames / (kToneAmplitude * kToneAmplitude / 2));
}

// Signal to noise of the first channel of `frames` interleaved frames holding a sine of about
// `cycles_per_frame`: each section of 48 frames is fitted with a sine of that frequency, any
// amplitude and phase, a phase that drifts linearly (a frequency a little off, as a held step
// of ratio leaves it) and an offset; what the fit leaves is the noise. Sections this short leave
// the slow changes of pitch that compensation is made of out of the noise, as alsabat does.
inline double snr_db(const int16_t* played, size_t frames, double cycles_per_frame) {
    constexpr size_t kSection = 48;
    constexpr int kTerms = 5;
    double signal = 0, noise = 0;
    for (size_t start = 0; start + kSection <= frames; start += kSection) {
        auto basis = [&](size_t i, double out[kTerms]) {
            const double phase = 2 * M_PI * cycles_per_frame * static_cast<double>(i);
            const double t = (static_cast<double>(i - start) - kSection / 2.0) / kSection;
            out[0] = sin(phase);
            out[1] = cos(phase);
            out[2] = t * sin(phase);
            out[3] = t * cos(phase);
            out[4] = 1.0;
        };
        // Least squares: the normal equations, by Gaussian elimination with partial pivoting.
        double m[kTerms][kTerms + 1] = {};
        for (size_t i = start; i < start + kSection; ++i) {
            double f[kTerms];
            basis(i, f);
            for (int r = 0; r < kTerms; ++r) {
                for (int c = 0; c < kTerms; ++c) m[r][c] += f[r] * f[c];
                m[r][kTerms] += f[r] * played[2 * i];
            }
        }
        for (int k = 0; k < kTerms; ++k) {
            int pivot = k;
            for (int r = k + 1; r < kTerms; ++r) {
                if (fabs(m[r][k]) > fabs(m[pivot][k])) pivot = r;
            }
            for (int c = 0; c <= kTerms; ++c) std::swap(m[k][c], m[pivot][c]);
            for (int r = 0; r < kTerms; ++r) {
                if (r == k) continue;
                const double factor = m[r][k] / m[k][k];
                for (int c = k; c <= kTerms; ++c) m[r][c] -= factor * m[k][c];
            }
        }
        for (size_t i = start; i < start + kSection; ++i) {
            double f[kTerms];
            basis(i, f);
            double fit = 0;
            for (int k = 0; k < 4; ++k) fit += m[k][kTerms] / m[k][k] * f[k];
            const double residual = played[2 * i] - fit - m[4][kTerms] / m[4][4];
            signal += fit * fit;
            noise += residual * residual;
        }
    }
    return 10 * log10(signal / std::max(noise, 1e-12));
}

}  // namespace drift_simulation
