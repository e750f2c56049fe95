#pragma once

// Drift compensation for a run whose capture and playback cards have clocks of their own: each
// block is resampled by a ratio that a slow controller steers so that the playback queue holds a
// set point. Built only with HDMI_PREVIEW_DRIFT_COMPENSATION; the resampler is the backend that
// HDMI_PREVIEW_DRIFT_RESAMPLER names (resampler.h).

#include <stdint.h>

#include <memory>

struct pcm;
struct pcm_config;
struct drift;
struct resampler_backend;

// Opens the capture stream as the run does without the compensation: pcm_open_req on `card`,
// `device` with `config` at `rate`. Many HDMI receivers capture only at their source's rate, so
// when that open fails, each other rate an HDMI source may send (kSourceRates) is tried in turn,
// with a copy of `config` that differs only in its rate; `config` itself is left as it is, for the
// playback stream. Returns the first stream that is ready, its rate in `*capture_rate`. When none
// is, returns the result of a last open at `rate`, whose error the run reports as it would have
// without the compensation. Every other handle it opened is closed; the caller owns the result.
struct pcm* drift_open_capture(unsigned int card, unsigned int device, struct pcm_config* config,
                               uint32_t rate, uint32_t* capture_rate);

// The backend built into the service: the speex resampler when HDMI_PREVIEW_DRIFT_RESAMPLER_SPEEX
// is defined, libsamplerate otherwise.
const struct resampler_backend& drift_default_resampler();

// Prepares the compensation for blocks of at most `max_block_frames` frames of `channels`
// interleaved signed 16-bit samples captured at `capture_rate` Hz (0: `rate`), played at `rate` Hz
// into a stream whose buffer holds `playback_buffer_frames` frames. The ratio it steers is the
// nominal rate / capture_rate times the correction for the clocks' drift. Allocates everything the
// blocks will need, now, for any capture rate down to the lowest in kSourceRates. Returns NULL
// when memory or the resampler cannot be had; the caller owns the result (drift_destroy).
// `backend` NULL takes drift_default_resampler().
struct drift* drift_create(uint32_t channels, uint32_t rate, uint32_t max_block_frames,
                           uint32_t playback_buffer_frames,
                           const struct resampler_backend* backend = nullptr,
                           uint32_t capture_rate = 0);
void drift_destroy(struct drift* drift);
using DriftOwner = std::unique_ptr<struct drift, decltype(&drift_destroy)>;

// One step of the run. In the run's first second it also measures capture's rate from its
// timestamps: a capture that runs near another rate of kSourceRates than its nominal one, beyond
// what the correction covers (a receiver that accepted 48 kHz and delivers its source's rate),
// makes that rate the nominal one, with the capture rate line on standard output, and the frames
// that the blocks before lacked at the old ratio are made up in this one (silence), or those they
// had too many taken off it, up to a block. Then it estimates the playback queue from both streams
// (pcm_get_htimestamp: the playback queue at the moment capture last moved, plus the frames
// captured and not yet read, or the queue now when capture has no timestamp), less the frames that
// the last block took from that moment to its write (capped at a block), and resamples the whole
// frames of the `size` BYTES at `block`. Returns the block to play, owned by `drift` and valid
// until the next call, with its length in BYTES in `out_size`. Its frame count varies from the
// input's nominal ratio by a frame or so.
const void* drift_process(struct drift* drift, const void* block, uint32_t size,
                          struct pcm* capture, struct pcm* playback, uint32_t* out_size);

// The core of drift_process, without a stream: `queued_frames` is the playback queue just before
// the output is written (frames queued = buffer - avail), or negative when unknown (the stream
// not yet started), in which case the ratio is held. Returns `*out_frames` frames, owned by
// `drift`.
const int16_t* drift_resample(struct drift* drift, const int16_t* in, uint32_t in_frames,
                              double queued_frames, uint32_t* out_frames);

// The queue that the controller holds, in frames queued just before a write: the mean of the
// first blocks once playback runs, during which the ratio stays 1, so the latency that the
// uncompensated run starts with; at least one block (two right after the write), at most half
// the playback buffer. Until it is measured, one block.
double drift_set_point(const struct drift* drift);
// The ratio in force (output frames per input frame): the nominal ratio times 1 + the playback
// clock's offset from the capture clock once settled.
double drift_ratio(const struct drift* drift);

// The rates an HDMI source may send, in Hz, in the order drift_open_capture tries them.
extern const uint32_t kSourceRates[7];
