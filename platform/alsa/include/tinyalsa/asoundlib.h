#pragma once

// The part of tinyalsa's PCM interface (as of Android 4.2) that the service uses, implemented over
// alsa-lib for hosts that have no tinyalsa. Names, values and signatures are tinyalsa's.

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

struct pcm;

#define PCM_OUT 0x00000000
#define PCM_IN 0x10000000

enum pcm_format {
    PCM_FORMAT_S16_LE = 0,
    PCM_FORMAT_S32_LE,
    PCM_FORMAT_S8,
    PCM_FORMAT_S24_LE,
    PCM_FORMAT_MAX,
};

// A stream's configuration. A threshold of 0 selects the default: capture starts at 1 frame and
// stops (overruns) only 10 buffers behind; playback starts at half the buffer and stops at an
// empty buffer; silence is off. avail_min is one period whatever is set.
struct pcm_config {
    unsigned int channels;
    unsigned int rate;
    unsigned int period_size;   // frames
    unsigned int period_count;  // periods in the buffer
    enum pcm_format format;
    unsigned int start_threshold;    // frames
    unsigned int stop_threshold;     // frames
    unsigned int silence_threshold;  // frames
    int avail_min;                   // frames
};

// Opens card `card`, device `device` ("hw:card,device") for capture (PCM_IN) or playback (PCM_OUT)
// with exactly the given configuration. Cards 0 and 1 may be named by ALSA card id instead: a
// non-empty HDMI_PREVIEW_CARD0 or HDMI_PREVIEW_CARD1, read at every open, makes it
// "hw:CARD=<id>,DEV=device"; a value that is no card id (more than 15 characters, or any but
// letters, digits, '_' and '-') fails the open with the variable named in pcm_get_error.
// Never returns NULL: on failure the handle's pcm_is_ready is 0 and pcm_get_error names the
// device and the cause. A busy device fails at once. The caller owns the handle, ready or not,
// and releases it with pcm_close.
struct pcm* pcm_open(unsigned int card, unsigned int device, unsigned int flags,
                     struct pcm_config* config);

// Releases the stream and frees the handle, ready or not. NULL is ignored. Returns 0.
int pcm_close(struct pcm* pcm);

// Nonzero when the stream is open and usable.
int pcm_is_ready(struct pcm* pcm);

// The text of the handle's last failure (empty when none). Owned by the handle.
const char* pcm_get_error(struct pcm* pcm);

// The stream's buffer size in FRAMES (period_size * period_count).
unsigned int pcm_get_buffer_size(struct pcm* pcm);

// Move `count` BYTES, blocking until all of them have moved. An overrun or underrun is recovered
// and the transfer goes on. Return 0 on success; on any other failure a negative errno value,
// with the cause in pcm_get_error.
int pcm_read(struct pcm* pcm, void* data, unsigned int count);
int pcm_write(struct pcm* pcm, const void* data, unsigned int count);

// For a running stream: in `avail` the frames the application may transfer now (playback: the
// buffer less the frames queued; capture: the frames ready to read), and in `tstamp` the time of
// the last hardware pointer update, on CLOCK_MONOTONIC here (tinyalsa of 4.2 stamps with
// CLOCK_REALTIME). Returns 0; -1 when the stream is not ready, not running (before its start
// threshold, after an xrun) or has no timestamp yet, leaving both outputs untouched.
int pcm_get_htimestamp(struct pcm* pcm, unsigned int* avail, struct timespec* tstamp);

#ifdef __cplusplus
}
#endif
