#include "loopback.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>

#include "pcm_open_req.h"

#ifdef HDMI_PREVIEW_DRIFT_COMPENSATION
#include "drift.h"
#endif

#ifdef TINYALSA_HAS_PCM_OPEN_REQ
// The variant's record has a tenth word after avail_min, which the run fills with the channel count
// again. Its field name is the variant's own and comes from the build; the checks turn a wrong name
// or another layout into a build failure instead of a write to some other word.
#ifndef HDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD
#error "HDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD is not defined: name the variant's tenth field"
#endif
static_assert(sizeof(struct pcm_config) == 10 * sizeof(uint32_t),
              "the variant's pcm_config is not ten 32-bit words");
static_assert(offsetof(struct pcm_config, HDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD) ==
                  9 * sizeof(uint32_t),
              "HDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD does not name the word after avail_min");
#endif

bool preview_requested() {
    property_get(kTriggerProperty, prop_value, "0");
    return requests_preview(prop_value);
}

// tinyalsa 2.x marks pcm_read and pcm_write deprecated (for pcm_readi and pcm_writei, which count
// frames); the run keeps the calls that take bytes, which every tinyalsa since 2011 has, so the
// mark must not fail a -Werror build.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
uint64_t run_loopback(uint32_t card_in, uint32_t card_out, uint32_t device, uint32_t channels,
                      uint32_t rate, uint32_t bits, uint32_t period_size, uint32_t period_count) {
    // The thresholds and avail_min stay 0, the library's defaults.
    struct pcm_config config = {};
    config.channels = channels;
    config.rate = rate;
    config.period_size = period_size;
    config.period_count = period_count;
    config.format = bits == 32 ? PCM_FORMAT_S32_LE : PCM_FORMAT_S16_LE;
#ifdef TINYALSA_HAS_PCM_OPEN_REQ
    config.HDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD = channels;
#endif

    // Declared in reverse of the release order (buffer, capture, playback). A handle that an open
    // returned but that is not ready is owned and closed too: tinyalsa allocates one for every
    // failed open, and the service retries every time the trigger is set.
    using PcmOwner = std::unique_ptr<struct pcm, decltype(&pcm_close)>;
    PcmOwner playback(nullptr, pcm_close);
#ifdef HDMI_PREVIEW_DRIFT_COMPENSATION
    // A capture device that refuses `rate` is tried at the other rates a source may send.
    uint32_t capture_rate = rate;
    PcmOwner capture(drift_open_capture(card_in, device, &config, rate, &capture_rate), pcm_close);
#else
    PcmOwner capture(pcm_open_req(card_in, device, PCM_IN, &config, rate), pcm_close);
#endif
    if (!capture || !pcm_is_ready(capture.get())) {
        fprintf(stderr, kCaptureOpenErrorFormat,
                capture ? pcm_get_error(capture.get()) : "no PCM handle");
        return 0;
    }
    playback.reset(pcm_open(card_out, device, PCM_OUT, &config));
    if (!playback || !pcm_is_ready(playback.get())) {
        fprintf(stderr, kPlaybackOpenErrorFormat, device,
                playback ? pcm_get_error(playback.get()) : "no PCM handle");
        return 0;
    }

    // tinyalsa reports the buffer in frames; the run takes the number as bytes, so a block is a
    // quarter of the buffer (one period with the service's parameters).
    const uint32_t size = pcm_get_buffer_size(capture.get());
    std::unique_ptr<unsigned char, decltype(&free)> buffer(
        static_cast<unsigned char*>(malloc(size)), free);
    if (!buffer) {
        fprintf(stderr, kAllocationErrorFormat, size);
        return 0;
    }

#ifdef HDMI_PREVIEW_DRIFT_COMPENSATION
    // Released before the block buffer; holds the resampled block that is played instead.
    DriftOwner drift(bits == 16
                         ? drift_create(channels, rate, size / (channels * 2),
                                        pcm_get_buffer_size(playback.get()), nullptr, capture_rate)
                         : nullptr,
                     drift_destroy);
    if (!drift) {
        fprintf(stderr, kDriftErrorFormat, channels, rate, bits);
        return 0;
    }
#endif

    printf(kCapturingFormat, channels, rate, bits);
#ifdef HDMI_PREVIEW_DRIFT_COMPENSATION
    if (capture_rate != rate) printf(kCaptureRateFormat, capture_rate, rate);
#endif

    uint64_t total = 0;  // bytes played
    while (keep_running) {
        if (pcm_read(capture.get(), buffer.get(), size) != 0) break;
        // The trigger is read once per block, after the read, so a stop drops the block just
        // captured and takes effect within one block.
        if (!preview_requested()) break;
        apply_level_gain(buffer.get(), size);
        const void* played = buffer.get();
        uint32_t played_size = size;
#ifdef HDMI_PREVIEW_DRIFT_COMPENSATION
        played =
            drift_process(drift.get(), played, size, capture.get(), playback.get(), &played_size);
#endif
        if (pcm_write(playback.get(), played, played_size) != 0) {
            fprintf(stderr, "%s\n", kWriteErrorLine);
            break;
        }
        total += played_size;
    }

    const uint32_t frame_bytes = channels * (bits / 8);
    return frame_bytes != 0 ? total / frame_bytes : 0;
}
#pragma GCC diagnostic pop
