#include "drift.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <tinyalsa/asoundlib.h>

#include <algorithm>
#include <iterator>
#include <new>

#include "pcm_open_req.h"
#include "protocol.h"
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
// Capture's rate is measured from its timestamps over the run's first second, and taken as soon as
// they span two blocks at 48 kHz: a 32 kHz source played at 48 kHz empties the two blocks that
// start playback in some 130 ms. A timestamp gives capture's position at the instant it names, to
// the frame where the driver reports the position as it goes and to the interrupt's latency where
// it moves a period at a time (a few hundredths of a per cent over 40 ms).
constexpr double kRateFirstSeconds = 0.04;
constexpr double kRateSeconds = 1.0;
// A measured rate within this of one of kSourceRates is that rate: wider than crystals and a
// receiver's clock recovery are off (an HDMI bridge delivered 43,990 to 44,025 frames/s from a
// 44.1 kHz source), and no wider than the correction reaches, which takes what is left over. The
// rates are 8 % or more apart. The last block's own rate must agree within kRateBlockTolerance,
// so that a clock step between two timestamps, or a position that does not move with time, is
// never taken for a rate.
constexpr double kRateTolerance = kMaxAdjust;
constexpr double kRateBlockTolerance = 0.04;

}  // namespace

// The commonest source rate first: 44.1 kHz (music, most players), then those a receiver might
// offer beside it: 96 kHz before 32 kHz, which loses the band above 16 kHz, and the rates above
// 96 kHz last, which cost the most to resample. A receiver that offers only its source's rate
// accepts exactly one of them; a failed open costs a millisecond or so.
const uint32_t kSourceRates[7] = {48000, 44100, 96000, 32000, 88200, 176400, 192000};

struct drift {
    const struct resampler_backend* backend = nullptr;
    struct resampler* resampler = nullptr;
    uint32_t channels = 0;
    uint32_t rate = 0;          // playback's, Hz
    uint32_t capture_rate = 0;  // capture's nominal rate, Hz
    double nominal = 1;         // rate / capture_rate
    uint32_t max_in_frames = 0;
    double block = 0;           // frames: a whole block's output at the nominal ratio
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
    // Capture's rate measurement: frames read, and its position at the first timestamp and at the
    // last one (negative until there is one).
    bool measuring_rate = true;
    uint64_t frames_read = 0;
    double rate_origin = -1;
    timespec rate_origin_at{};
    double rate_last = -1;
    timespec rate_last_at{};
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
    const double kp = 2.0 * omega / d->block;    // ratio per frame of error
    const double ki = omega * omega / d->block;  // ratio per frame of error per block
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
    const double block = d->block;
    d->set_point = std::clamp(d->sampled_sum / kSetPointBlocks, block,
                              std::max(block, d->buffer_frames / 2.0));
}

// Passes the controller's ratio on to the resampler, unless the resampler moves in steps and the
// step it holds is still near enough. A step of the whole ratio is one of the correction times the
// nominal ratio.
void apply_ratio(struct drift* d) {
    const double step = d->backend->ratio_step * d->nominal;
    if (step > 0 && fabs(d->adjust - d->held) <= kHoldSteps * step) return;
    const double ratio = d->backend->set_ratio(d->resampler, d->nominal * (1.0 + d->adjust));
    if (ratio > 0) d->held = ratio / d->nominal - 1.0;
}

// Makes `capture_rate` capture's nominal rate: the resampler goes to the nominal ratio, and the
// controller and its set point start over from it. False when the resampler refused the ratio.
bool set_capture_rate(struct drift* d, uint32_t capture_rate) {
    const double nominal = static_cast<double>(d->rate) / capture_rate;
    const double ratio = d->backend->set_ratio(d->resampler, nominal);
    if (ratio <= 0) return false;
    d->capture_rate = capture_rate;
    d->nominal = nominal;
    d->held = ratio / nominal - 1.0;
    d->block = d->max_in_frames * nominal;
    d->set_point = d->block;
    d->sampled = 0;
    d->sampled_sum = 0;
    d->steered = 0;
    d->adjust = d->integral = d->error = 0;
    return true;
}

// Capture's `position` (frames since it started) at `at`: once the timestamps span
// kRateFirstSeconds, a capture that runs near one of kSourceRates other than its nominal one, and
// beyond the correction's reach, takes that rate as its nominal one.
void measure_capture_rate(struct drift* d, double position, const timespec& at) {
    if (d->rate_origin < 0) {
        d->rate_origin = d->rate_last = position;
        d->rate_origin_at = d->rate_last_at = at;
        return;
    }
    const double span = seconds_between(at, d->rate_origin_at);
    const double last_span = seconds_between(at, d->rate_last_at);
    const double rate = (position - d->rate_origin) / span;
    const double last_rate = (position - d->rate_last) / last_span;
    d->rate_last = position;
    d->rate_last_at = at;
    if (span >= kRateSeconds) d->measuring_rate = false;
    if (span < kRateFirstSeconds || last_span <= 0) return;
    if (fabs(rate / d->capture_rate - 1) <= kMaxAdjust) return;
    for (const uint32_t source : kSourceRates) {
        if (source != d->capture_rate && fabs(rate / source - 1) <= kRateTolerance &&
            fabs(last_rate / source - 1) <= kRateBlockTolerance && set_capture_rate(d, source)) {
            printf(kCaptureRateFormat, source, d->rate);
            return;
        }
    }
}

}  // namespace

const struct resampler_backend& drift_default_resampler() {
#ifdef HDMI_PREVIEW_DRIFT_RESAMPLER_SPEEX
    return resampler_speex;
#else
    return resampler_samplerate;
#endif
}

struct pcm* drift_open_capture(unsigned int card, unsigned int device, struct pcm_config* config,
                               uint32_t rate, uint32_t* capture_rate) {
    *capture_rate = rate;
    struct pcm* pcm = pcm_open_req(card, device, PCM_IN, config, rate);
    if (pcm != nullptr && pcm_is_ready(pcm)) return pcm;
    // Closed before the next open: a failed handle of the alsa-lib adapter still holds the
    // device, which would refuse every other open as busy. The last open at `rate` gives the
    // run the error that it would have had without the other rates.
    if (pcm != nullptr) pcm_close(pcm);
    struct pcm_config other = *config;
    for (const uint32_t source : kSourceRates) {
        if (source == rate) continue;
        other.rate = source;
        pcm = pcm_open_req(card, device, PCM_IN, &other, source);
        if (pcm != nullptr && pcm_is_ready(pcm)) {
            *capture_rate = source;
            return pcm;
        }
        if (pcm != nullptr) pcm_close(pcm);
    }
    return pcm_open_req(card, device, PCM_IN, config, rate);
}

struct drift* drift_create(uint32_t channels, uint32_t rate, uint32_t max_block_frames,
                           uint32_t playback_buffer_frames, const struct resampler_backend* backend,
                           uint32_t capture_rate) {
    if (capture_rate == 0) capture_rate = rate;
    if (channels == 0 || rate == 0 || max_block_frames == 0) return nullptr;
    if (backend == nullptr) backend = &drift_default_resampler();
    struct drift* d = new (std::nothrow) struct drift;
    if (d == nullptr) return nullptr;
    d->backend = backend;
    d->channels = channels;
    d->rate = rate;
    d->capture_rate = rate;
    d->max_in_frames = max_block_frames;
    d->block = max_block_frames;
    d->buffer_frames = playback_buffer_frames;
    // The largest ratio's output, from the lowest capture rate that the run may find, and room for
    // the frame or two that the converter may release from its own history in one call.
    const uint32_t lowest =
        std::min(capture_rate, *std::min_element(std::begin(kSourceRates), std::end(kSourceRates)));
    const double largest = std::max(1.0, static_cast<double>(rate) / lowest) * (1 + kMaxAdjust);
    d->out_capacity = static_cast<uint32_t>(max_block_frames * largest) + 16;
    // Twice that: a change of capture rate adds up to a block to the output (make_up).
    const size_t out_samples = size_t{d->out_capacity} * 2 * channels;
    d->played = static_cast<int16_t*>(malloc(out_samples * sizeof(int16_t)));
    d->resampler = backend->create(channels, rate, max_block_frames);
    if (d->played == nullptr || d->resampler == nullptr ||
        (capture_rate != rate && !set_capture_rate(d, capture_rate))) {
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
    d->set_point = d->block;
    return d;
}

void drift_destroy(struct drift* drift) {
    if (drift != nullptr) free_all(drift);
}

double drift_set_point(const struct drift* drift) { return drift->set_point; }

double drift_ratio(const struct drift* drift) { return drift->nominal * (1.0 + drift->held); }

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
    const uint32_t frame_bytes = d->channels * sizeof(int16_t);
    double queued = -1;
    double measured_age = 0;  // seconds from the instant `queued` is for to `measured`
    timespec measured;
    double make_up = 0;  // frames to add to this output (silence), or to take off it
    unsigned int captured_ready = 0;
    timespec captured_at;
    bool asked = false;  // capture's timestamp, this block
    bool captured = false;
    if (d->measuring_rate) {
        // Capture's position at its timestamp: the frames read, this block's included, and those
        // taken in since.
        d->frames_read += size / frame_bytes;
        asked = true;
        captured = pcm_get_htimestamp(capture, &captured_ready, &captured_at) == 0;
        if (captured) {
            const double nominal = d->nominal;
            measure_capture_rate(d, static_cast<double>(d->frames_read + captured_ready),
                                 captured_at);
            // The blocks before this one were played at the old ratio: the queue lacks the frames
            // the new one would have made of them, or holds too many. Made up at once, within a
            // block: the correction would take seconds over it, the latency that far off.
            const double before = static_cast<double>(d->frames_read) - size / frame_bytes;
            make_up = std::clamp(before * (d->nominal - nominal), -d->block, d->block);
        }
    }
    unsigned int played_room = 0;
    timespec played_at;
    if (pcm_get_htimestamp(playback, &played_room, &played_at) == 0) {
        const double buffer_seconds = static_cast<double>(d->buffer_frames) / d->rate;
        queued = static_cast<double>(d->buffer_frames) - played_room;
        if (!asked) captured = pcm_get_htimestamp(capture, &captured_ready, &captured_at) == 0;
        const bool aligned =
            captured && fabs(seconds_between(captured_at, played_at)) <= buffer_seconds;
        if (aligned) {
            // The queue at the instant the block just read was complete, plus what capture has
            // taken in since (to be played at the nominal ratio): a point fixed on the capture
            // clock, so the wake-up's scatter does not enter the measurement.
            queued +=
                captured_ready * d->nominal - seconds_between(captured_at, played_at) * d->rate;
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
    uint32_t frames = 0;
    const int16_t* out =
        drift_resample(d, static_cast<const int16_t*>(block), size / frame_bytes, queued, &frames);
    if (make_up != 0) {
        const long change = std::max(lround(make_up), -static_cast<long>(frames));
        if (change > 0) memset(d->played + size_t{frames} * d->channels, 0, change * frame_bytes);
        frames = static_cast<uint32_t>(frames + change);
    }
    if (queued >= 0) {
        timespec done;
        clock_gettime(CLOCK_MONOTONIC, &done);
        // At most a block: a single stall past that is an underrun the queue could not have
        // covered, and must not swing the ratio.
        d->lag = std::min((measured_age + seconds_between(done, measured)) * d->rate, d->block);
    }
    *out_size = frames * frame_bytes;
    return out;
}
