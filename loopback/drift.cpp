#include "drift.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <tinyalsa/asoundlib.h>

#include <algorithm>
#include <new>

#include "resampler.h"
#ifdef HDMI_PREVIEW_DRIFT_RESAMPLER_SPEEX
#include "resampler_speex.h"
#else
#include "resampler_samplerate.h"
#endif

namespace {

// Two crystals are rarely more than a few hundred ppm apart; the headroom lets a test run a
// tenfold offset for a tenth of the time.
constexpr double kMaxAdjust = 5000e-6;
// A step of the ratio is a step of pitch: the controller's own steps stay far below this once
// settled, which only bounds what a disturbed measurement (a stall, a restart) can do in one
// block. It widens with the loop while the loop is wide.
constexpr double kMaxStep = 10e-6;
// The settled loop's natural period in blocks (about 5.5 s of 1024 frames at 48 kHz), critically
// damped: slow enough that the queue's jitter of a frame or two moves the ratio by a ppm or so.
constexpr double kLoopBlocks = 256.0;
// A run starts with a loop of this period (a third of a second), which finds a 3000 ppm offset
// with the queue some 30 frames off, holds it for kStartBlocks blocks (2.7 s), time for the
// integral to settle on the offset, then narrows it by kNarrowing blocks per block, to kLoopBlocks
// after 13 s. Narrowing faster than the loop settles leaves the integral short of the offset and
// the queue off by as much as the proportional part held. The integral carries the offset found
// across the change of gains.
constexpr double kStartLoopBlocks = 16.0;
constexpr double kStartBlocks = 128.0;
constexpr double kNarrowing = 0.5;
// The measured queue is averaged over a quarter of the loop's period before it steers anything.
constexpr double kSmoothingPerLoop = 0.25;
// A backend that moves the ratio in steps (the speex resampler) holds its step until the
// controller's ratio is this many steps away from it, so that the queue's jitter does not toggle
// it between two neighbours: each change rebuilds the resampler's filter and shifts its phase a
// little. The queue then swings around its set point as the held step alternates, several
// seconds apart: by 1.5 frames with 15 ppm steps, by 18 with 244 ppm steps.
constexpr double kHoldSteps = 0.75;
// The set point is the queue of the run's first blocks once playback runs (a third of a second),
// with the ratio held at 1: the latency the uncompensated run starts with, so the compensation
// never holds less than it would have. At least one block (a start that was slow to write must
// not leave the run nearer an underrun for good), at most the half of the buffer that leaves a
// block of room above every write.
constexpr uint32_t kSetPointBlocks = 16;

}  // namespace

struct drift {
    const struct resampler_backend* backend = nullptr;
    struct resampler* resampler = nullptr;
    uint32_t channels = 0;
    uint32_t rate = 0;
    uint32_t max_in_frames = 0;
    uint32_t out_capacity = 0;  // frames
    uint32_t buffer_frames = 0;
    int16_t* played = nullptr;
    double set_point = 0;    // frames, provisional until kSetPointBlocks have been measured
    uint32_t sampled = 0;    // blocks of the set point measured
    double sampled_sum = 0;  // frames
    double adjust = 0;       // the controller's ratio - 1
    double held = 0;         // the resampler's ratio - 1
    double integral = 0;
    double error = 0;      // smoothed, frames
    uint32_t steered = 0;  // blocks
    // Frames that passed between the instant the queue was measured for and the write, last
    // block: the run's own wake-up and resampling, which the queue must cover.
    double lag = 0;
    bool stopped = false;  // playback stopped (an underrun) since the last block steered
};

namespace {

void free_all(struct drift* drift) {
    if (drift->resampler != nullptr) drift->backend->destroy(drift->resampler);
    free(drift->played);
    delete drift;
}

double seconds_between(const timespec& later, const timespec& earlier) {
    return static_cast<double>(later.tv_sec - earlier.tv_sec) +
           static_cast<double>(later.tv_nsec - earlier.tv_nsec) * 1e-9;
}

// The hardware pointer moves a period at a time: the frames played since its last update are
// taken off, or the estimate would jump by a period whenever the two cards' interrupts pass each
// other. tinyalsa stamps on CLOCK_REALTIME unless told otherwise, our adapter on CLOCK_MONOTONIC,
// so the stamp is read against whichever clock it lies just behind.
double since_update(const timespec& stamp, double at_most) {
    for (clockid_t clock : {CLOCK_MONOTONIC, CLOCK_REALTIME}) {
        timespec now;
        clock_gettime(clock, &now);
        const double age = seconds_between(now, stamp);
        if (age >= 0 && age <= at_most) return age;
    }
    return 0;
}

void steer(struct drift* d, double queued) {
    // A PI loop on an integrator (the queue gains block * (ratio - offset) frames per block),
    // critically damped at a natural frequency of one radian per `loop` blocks.
    const double narrowing = std::max(0.0, d->steered - kStartBlocks) * kNarrowing;
    const double loop = std::min(kLoopBlocks, kStartLoopBlocks + narrowing);
    const double omega = 1.0 / loop;
    const double kp = 2.0 * omega / d->max_in_frames;    // ratio per frame of error
    const double ki = omega * omega / d->max_in_frames;  // ratio per frame of error per block
    const double error = d->set_point - queued;  // positive: the queue runs short, play more
    if (d->steered++ == 0) {
        d->error = error;
    } else {
        d->error += (error - d->error) / (kSmoothingPerLoop * loop);
    }
    // The integral stands still while the proportional part alone is past the limit (a queue far
    // off after a stall or a start), or it would wind up and overshoot the other way after.
    const double proportional = kp * d->error;
    if (fabs(d->integral + proportional) < kMaxAdjust) {
        d->integral = std::clamp(d->integral + ki * d->error, -kMaxAdjust, kMaxAdjust);
    }
    const double target = std::clamp(d->integral + proportional, -kMaxAdjust, kMaxAdjust);
    const double max_step = kMaxStep * kLoopBlocks / loop;
    d->adjust += std::clamp(target - d->adjust, -max_step, max_step);
    // A queue that is still far off (the ratio at its limit) is brought in by the start's loop:
    // the settled loop's smoothing lags a queue moving at the limit by several hundred frames,
    // so it would carry the queue that far past its set point, to an underrun, before turning.
    if (fabs(d->adjust) >= kMaxAdjust && d->steered > kStartBlocks) d->steered = kStartBlocks;
}

// Adds one block's queue to the set point's measurement, the ratio still held, and sets the set
// point from the mean once kSetPointBlocks are in.
void measure_set_point(struct drift* d, double queued) {
    d->sampled_sum += queued;
    if (++d->sampled < kSetPointBlocks) return;
    const double block = d->max_in_frames;
    d->set_point = std::clamp(d->sampled_sum / kSetPointBlocks, block,
                              std::max(block, d->buffer_frames / 2.0));
}

// Passes the controller's ratio on to the resampler, unless the resampler moves in steps and the
// step it holds is still near enough.
void apply_ratio(struct drift* d) {
    const double step = d->backend->ratio_step;
    if (step > 0 && fabs(d->adjust - d->held) <= kHoldSteps * step) return;
    const double ratio = d->backend->set_ratio(d->resampler, 1.0 + d->adjust);
    if (ratio > 0) d->held = ratio - 1.0;
}

}  // namespace

const struct resampler_backend& drift_default_resampler() {
#ifdef HDMI_PREVIEW_DRIFT_RESAMPLER_SPEEX
    return resampler_speex;
#else
    return resampler_samplerate;
#endif
}

struct drift* drift_create(uint32_t channels, uint32_t rate, uint32_t max_block_frames,
                           uint32_t playback_buffer_frames,
                           const struct resampler_backend* backend) {
    if (channels == 0 || rate == 0 || max_block_frames == 0) return nullptr;
    if (backend == nullptr) backend = &drift_default_resampler();
    struct drift* d = new (std::nothrow) struct drift;
    if (d == nullptr) return nullptr;
    d->backend = backend;
    d->channels = channels;
    d->rate = rate;
    d->max_in_frames = max_block_frames;
    d->buffer_frames = playback_buffer_frames;
    // The largest ratio's output, and room for the frame or two that the converter may release
    // from its own history in one call.
    d->out_capacity = static_cast<uint32_t>(max_block_frames * (1 + kMaxAdjust)) + 16;
    const size_t out_samples = size_t{d->out_capacity} * channels;
    d->played = static_cast<int16_t*>(malloc(out_samples * sizeof(int16_t)));
    d->resampler = backend->create(channels, rate, max_block_frames);
    if (d->played == nullptr || d->resampler == nullptr) {
        free_all(d);
        return nullptr;
    }
    // The converter holds back the first frames it is given (its filter's delay): fed one block of
    // silence now, it returns as many frames as it takes from the first real block on. Otherwise
    // the first write would come up short, and playback, which starts at half its buffer, would
    // start a block late with a block more queued.
    int16_t* silence = static_cast<int16_t*>(calloc(size_t{max_block_frames} * channels, 2));
    const bool primed =
        silence != nullptr &&
        backend->process(d->resampler, silence, max_block_frames, d->played, d->out_capacity) >= 0;
    free(silence);
    if (!primed) {
        free_all(d);
        return nullptr;
    }
    d->set_point = max_block_frames;
    return d;
}

void drift_destroy(struct drift* drift) {
    if (drift != nullptr) free_all(drift);
}

double drift_set_point(const struct drift* drift) { return drift->set_point; }

double drift_ratio(const struct drift* drift) { return 1.0 + drift->held; }

const int16_t* drift_resample(struct drift* d, const int16_t* in, uint32_t in_frames,
                              double queued_frames, uint32_t* out_frames) {
    in_frames = std::min(in_frames, d->max_in_frames);
    if (queued_frames >= 0) {
        const bool measuring = d->sampled < kSetPointBlocks;
        if (d->stopped) {
            // Playback restarted after an underrun with a queue a block or more above the one it
            // lost. A set point still being measured is measured again, from a running stream's
            // steady blocks; otherwise the loop starts over (the integral keeps the offset found),
            // or its smoothing would still hold the old queue.
            if (measuring) {
                d->sampled = 0;
                d->sampled_sum = 0;
            } else {
                d->steered = 0;
            }
            d->stopped = false;
        }
        if (measuring) {
            measure_set_point(d, queued_frames);
        } else {
            steer(d, queued_frames);
            apply_ratio(d);
        }
    } else if (d->sampled > 0) {
        d->stopped = true;
    }
    const int frames = d->backend->process(d->resampler, in, in_frames, d->played, d->out_capacity);
    if (frames < 0) {
        // The converter refused (it cannot with these arguments): play the block as it came
        // rather than drop it.
        memcpy(d->played, in, size_t{in_frames} * d->channels * sizeof(int16_t));
        *out_frames = in_frames;
        return d->played;
    }
    *out_frames = static_cast<uint32_t>(frames);
    return d->played;
}

const void* drift_process(struct drift* d, const void* block, uint32_t size, struct pcm* capture,
                          struct pcm* playback, uint32_t* out_size) {
    double queued = -1;
    double measured_age = 0;  // seconds from the instant `queued` is for to `measured`
    timespec measured;
    unsigned int played_room = 0;
    timespec played_at;
    if (pcm_get_htimestamp(playback, &played_room, &played_at) == 0) {
        const double buffer_seconds = static_cast<double>(d->buffer_frames) / d->rate;
        queued = static_cast<double>(d->buffer_frames) - played_room;
        unsigned int captured_ready = 0;
        timespec captured_at;
        const bool aligned = pcm_get_htimestamp(capture, &captured_ready, &captured_at) == 0 &&
                             fabs(seconds_between(captured_at, played_at)) <= buffer_seconds;
        if (aligned) {
            // The queue at the instant the block just read was complete, plus what capture has
            // taken in since: a point fixed on the capture clock, so the wake-up's scatter does
            // not enter the measurement.
            queued += captured_ready - seconds_between(captured_at, played_at) * d->rate;
            measured_age = since_update(captured_at, buffer_seconds);
        } else {
            queued -= since_update(played_at, buffer_seconds) * d->rate;
        }
        queued = std::max(queued, 0.0);
        // The write comes later, by the wake-up and the resampling: about what the last block
        // took from that instant to its write (a fraction of a millisecond on a PC, 5 to 13 ms
        // under emulation, where holding the queue at the capture instant left playback a few
        // ms from running dry). So the queue is held at one block at the write itself; the
        // controller's smoothing takes out the block-to-block scatter of the time taken.
        queued = std::max(queued - d->lag, 0.0);
    }
    clock_gettime(CLOCK_MONOTONIC, &measured);
    const uint32_t frame_bytes = d->channels * sizeof(int16_t);
    uint32_t frames = 0;
    const int16_t* out =
        drift_resample(d, static_cast<const int16_t*>(block), size / frame_bytes, queued, &frames);
    if (queued >= 0) {
        timespec done;
        clock_gettime(CLOCK_MONOTONIC, &done);
        // At most a block: a single stall past that is an underrun the queue could not have
        // covered, and must not swing the ratio.
        d->lag = std::min((measured_age + seconds_between(done, measured)) * d->rate,
                          static_cast<double>(d->max_in_frames));
    }
    *out_size = frames * frame_bytes;
    return out;
}
