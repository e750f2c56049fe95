// tinyalsa's PCM functions over alsa-lib, behaving as tinyalsa of the Android 4.2 era does: the
// loopback's block arithmetic and its stop behaviour depend on these exact rules.

#include <alsa/asoundlib.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tinyalsa/asoundlib.h>

#include <new>

namespace {
constexpr size_t kErrorMax = 128;
// The kernel keeps a card id in 16 bytes with its terminator.
constexpr size_t kCardIdMax = 15;
}  // namespace

struct pcm {
    snd_pcm_t* handle = nullptr;
    bool ready = false;
    unsigned int flags = 0;
    pcm_config config{};
    unsigned int frame_bytes = 0;
    char name[48] = {};  // "hw:CARD=<id>,DEV=<device>" at the longest
    char error[kErrorMax] = {};
};

namespace {

// Returned when not even a handle can be allocated, so that pcm_open never returns NULL.
struct pcm no_memory_pcm;

// The service prints only its own lines; alsa-lib's diagnostics would otherwise land on stderr.
void silent_error_handler(const char*, int, const char*, int, const char*, ...) {}

int fail(struct pcm* pcm, int err, const char* what) {
    snprintf(pcm->error, sizeof pcm->error, "%s: %s", what, snd_strerror(err));
    return err;
}

bool to_alsa_format(pcm_format format, snd_pcm_format_t* out, unsigned int* bytes) {
    switch (format) {
        case PCM_FORMAT_S16_LE:
            *out = SND_PCM_FORMAT_S16_LE;
            *bytes = 2;
            return true;
        case PCM_FORMAT_S32_LE:
            *out = SND_PCM_FORMAT_S32_LE;
            *bytes = 4;
            return true;
        case PCM_FORMAT_S8:
            *out = SND_PCM_FORMAT_S8;
            *bytes = 1;
            return true;
        case PCM_FORMAT_S24_LE:
            *out = SND_PCM_FORMAT_S24_LE;
            *bytes = 4;
            return true;
        default:
            return false;
    }
}

int set_hw_params(struct pcm* pcm, snd_pcm_format_t format) {
    snd_pcm_t* h = pcm->handle;
    const pcm_config& c = pcm->config;
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t period = c.period_size;
    int err;
    if ((err = snd_pcm_hw_params_any(h, hw)) < 0) return fail(pcm, err, "cannot read hw params");
    // No resampling: a device that cannot run at the exact rate must fail the open.
    if ((err = snd_pcm_hw_params_set_rate_resample(h, hw, 0)) < 0 ||
        (err = snd_pcm_hw_params_set_access(h, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(h, hw, format)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(h, hw, c.channels)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(h, hw, c.rate, 0)) < 0 ||
        (err = snd_pcm_hw_params_set_period_size(h, hw, period, 0)) < 0 ||
        (err = snd_pcm_hw_params_set_periods(h, hw, c.period_count, 0)) < 0 ||
        (err = snd_pcm_hw_params(h, hw)) < 0) {
        return fail(pcm, err, "cannot set hw params");
    }
    return 0;
}

int set_sw_params(struct pcm* pcm) {
    snd_pcm_t* h = pcm->handle;
    const pcm_config& c = pcm->config;
    const snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(c.period_size) * c.period_count;
    const bool capture = (pcm->flags & PCM_IN) != 0;
    snd_pcm_uframes_t start = c.start_threshold;
    if (start == 0) start = capture ? 1 : buffer / 2;
    // Capture is let run far behind before it counts as an overrun.
    snd_pcm_uframes_t stop = c.stop_threshold;
    if (stop == 0) stop = capture ? buffer * 10 : buffer;
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    int err;
    if ((err = snd_pcm_sw_params_current(h, sw)) < 0) return fail(pcm, err, "cannot set sw params");
    // Timestamps on the monotonic clock, which a wall-clock step cannot move; a device or plugin
    // without the choice keeps its own clock.
    snd_pcm_sw_params_set_tstamp_type(h, sw, SND_PCM_TSTAMP_TYPE_MONOTONIC);
    if ((err = snd_pcm_sw_params_set_start_threshold(h, sw, start)) < 0 ||
        (err = snd_pcm_sw_params_set_stop_threshold(h, sw, stop)) < 0 ||
        (err = snd_pcm_sw_params_set_silence_threshold(h, sw, c.silence_threshold)) < 0 ||
        (err = snd_pcm_sw_params_set_avail_min(h, sw, c.period_size)) < 0 ||
        (err = snd_pcm_sw_params_set_tstamp_mode(h, sw, SND_PCM_TSTAMP_ENABLE)) < 0 ||
        (err = snd_pcm_sw_params(h, sw)) < 0) {
        return fail(pcm, err, "cannot set sw params");
    }
    return 0;
}

// Names the device in pcm->name: "hw:CARD=<id>,DEV=<device>" when card 0 or 1 has an id in
// HDMI_PREVIEW_CARD0 or HDMI_PREVIEW_CARD1, "hw:<card>,<device>" otherwise. Only what the kernel
// allows in an id is spliced in: a ',', '=', quote or brace would change what alsa-lib parses.
bool set_device_name(struct pcm* pcm, unsigned int card, unsigned int device) {
    char variable[32];
    snprintf(variable, sizeof variable, "HDMI_PREVIEW_CARD%u", card);
    const char* id = card <= 1 ? getenv(variable) : nullptr;
    if (id == nullptr || id[0] == '\0') {
        snprintf(pcm->name, sizeof pcm->name, "hw:%u,%u", card, device);
        return true;
    }
    size_t length = 0;
    for (; id[length] != '\0'; ++length) {
        const char c = id[length];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-')) {
            snprintf(
                pcm->error, sizeof pcm->error,
                "%s is not an ALSA card id: a character other than a letter, digit, '_' or '-'",
                variable);
            return false;
        }
    }
    if (length > kCardIdMax) {
        snprintf(pcm->error, sizeof pcm->error,
                 "%s is not an ALSA card id: longer than %zu characters", variable, kCardIdMax);
        return false;
    }
    snprintf(pcm->name, sizeof pcm->name, "hw:CARD=%s,DEV=%u", id, device);
    return true;
}

// Moves `count` bytes in whole frames. Overruns and underruns are recovered and the transfer
// goes on where it stopped; an interrupted wait is resumed, as a restarted call would be.
template <typename Buffer, typename Transfer>
int transfer(struct pcm* pcm, Buffer data, unsigned int count, Transfer xfer, const char* what) {
    if (pcm == nullptr || !pcm->ready) return -EBADF;
    snd_pcm_uframes_t left = count / pcm->frame_bytes;
    while (left > 0) {
        snd_pcm_sframes_t n = xfer(pcm->handle, data, left);
        if (n == -EPIPE) {
            int err = snd_pcm_prepare(pcm->handle);
            if (err < 0) return fail(pcm, err, "cannot recover from xrun");
            continue;
        }
        if (n == -EINTR || n == -EAGAIN) continue;
        if (n < 0) return fail(pcm, static_cast<int>(n), what);
        left -= static_cast<snd_pcm_uframes_t>(n);
        data += static_cast<size_t>(n) * pcm->frame_bytes;
    }
    return 0;
}

}  // namespace

extern "C" struct pcm* pcm_open(unsigned int card, unsigned int device, unsigned int flags,
                                struct pcm_config* config) {
    static const bool silenced = (snd_lib_error_set_handler(silent_error_handler), true);
    (void)silenced;

    struct pcm* pcm = new (std::nothrow) struct pcm;
    if (pcm == nullptr) {
        fail(&no_memory_pcm, -ENOMEM, "cannot allocate a PCM handle");
        return &no_memory_pcm;
    }
    pcm->flags = flags;
    if (!set_device_name(pcm, card, device)) return pcm;
    if (config == nullptr) {
        fail(pcm, -EINVAL, "no configuration");
        return pcm;
    }
    pcm->config = *config;
    snd_pcm_format_t format;
    unsigned int sample_bytes;
    if (!to_alsa_format(config->format, &format, &sample_bytes)) {
        fail(pcm, -EINVAL, "unsupported format");
        return pcm;
    }
    pcm->frame_bytes = sample_bytes * config->channels;

    // Opened without blocking so that a busy device fails at once instead of waiting for its
    // holder; transfers then block as tinyalsa's do.
    const snd_pcm_stream_t stream =
        (flags & PCM_IN) ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    int err = snd_pcm_open(&pcm->handle, pcm->name, stream, SND_PCM_NONBLOCK);
    if (err < 0) {
        pcm->handle = nullptr;
        char what[sizeof pcm->name + 24];
        snprintf(what, sizeof what, "cannot open device '%s'", pcm->name);
        fail(pcm, err, what);
        return pcm;
    }
    if (set_hw_params(pcm, format) < 0 || set_sw_params(pcm) < 0) return pcm;
    if ((err = snd_pcm_nonblock(pcm->handle, 0)) < 0) {
        fail(pcm, err, "cannot switch to blocking transfers");
        return pcm;
    }
    if ((err = snd_pcm_prepare(pcm->handle)) < 0) {
        fail(pcm, err, "cannot prepare stream");
        return pcm;
    }
    pcm->ready = true;
    return pcm;
}

extern "C" int pcm_close(struct pcm* pcm) {
    if (pcm == nullptr || pcm == &no_memory_pcm) return 0;
    if (pcm->handle != nullptr) snd_pcm_close(pcm->handle);
    delete pcm;
    return 0;
}

extern "C" int pcm_is_ready(struct pcm* pcm) { return pcm != nullptr && pcm->ready; }

extern "C" const char* pcm_get_error(struct pcm* pcm) { return pcm != nullptr ? pcm->error : ""; }

extern "C" unsigned int pcm_get_buffer_size(struct pcm* pcm) {
    return pcm != nullptr ? pcm->config.period_size * pcm->config.period_count : 0;
}

extern "C" int pcm_read(struct pcm* pcm, void* data, unsigned int count) {
    if (pcm != nullptr && !(pcm->flags & PCM_IN)) return -EINVAL;
    return transfer(pcm, static_cast<char*>(data), count, snd_pcm_readi, "cannot read stream data");
}

extern "C" int pcm_write(struct pcm* pcm, const void* data, unsigned int count) {
    if (pcm != nullptr && (pcm->flags & PCM_IN)) return -EINVAL;
    return transfer(pcm, static_cast<const char*>(data), count, snd_pcm_writei,
                    "cannot write stream data");
}

extern "C" int pcm_get_htimestamp(struct pcm* pcm, unsigned int* avail, struct timespec* tstamp) {
    if (pcm == nullptr || !pcm->ready) return -1;
    snd_pcm_uframes_t frames;
    snd_htimestamp_t when;
    if (snd_pcm_htimestamp(pcm->handle, &frames, &when) < 0) return -1;
    // As tinyalsa: only a running (or draining) stream has a pointer worth reporting.
    const snd_pcm_state_t state = snd_pcm_state(pcm->handle);
    if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_DRAINING) return -1;
    if (when.tv_sec == 0 && when.tv_nsec == 0) return -1;
    *avail = static_cast<unsigned int>(frames);
    *tstamp = when;
    return 0;
}
