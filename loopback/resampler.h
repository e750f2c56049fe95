#pragma once

// The resampler under the drift compensation: interleaved signed 16-bit blocks in and out, at a
// ratio that may change between blocks. Two backends implement it, one compiled into the service
// (HDMI_PREVIEW_DRIFT_RESAMPLER): the speex resampler, on Linux (the cheapest that keeps the sound
// clean) and in Android trees, which takes the ratio as a fraction and so moves it in steps, and
// libsamplerate, which takes any ratio but costs more than twice as much per block.

#include <stdint.h>

struct resampler;

struct resampler_backend {
    const char* name;
    // For `channels` interleaved channels at `rate` Hz, blocks of at most `max_in_frames` frames.
    // Allocates all it needs now; NULL when it cannot. The ratio starts at 1.
    struct resampler* (*create)(uint32_t channels, uint32_t rate, uint32_t max_in_frames);
    void (*destroy)(struct resampler* resampler);
    // Asks for `ratio` output frames per input frame from the next block on; returns the ratio
    // the backend will apply (the nearest it can: within half a step, or a step and a half next
    // to 1 for the speex backend), or a negative value when it refused.
    double (*set_ratio)(struct resampler* resampler, double ratio);
    // The smallest change of ratio the backend can make near 1; 0 when it takes any ratio.
    double ratio_step;
    // Resamples `in_frames` frames into `out`, which has room for `out_capacity` frames; returns
    // the frames written, or -1 when the backend failed. The output lags the input by the filter's
    // delay, so its length varies by a frame or so around in_frames * ratio.
    int (*process)(struct resampler* resampler, const int16_t* in, uint32_t in_frames, int16_t* out,
                   uint32_t out_capacity);
};
