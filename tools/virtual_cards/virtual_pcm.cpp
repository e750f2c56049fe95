// A virtual sound card for alsa-lib: an external PCM that runs on the monotonic clock, as a DMA
// engine with a period interrupt and a position register would. Wake-ups come once a period; the
// hardware position, read at every query, follows the card's clock to the frame, so that a
// position and the time it was read belong together. Capture delivers the frames of a raw file
// (silence after its end); playback appends every frame it is given to a raw file.
//
// Like a kernel driver, the stream goes to XRUN once the application falls behind by the stop
// threshold, and the next transfer fails with EPIPE until the stream is prepared again. Options
// in the PCM's configuration make the device fail with EIO after some periods, make it absent,
// or run it fast or slow by some parts per million.
//
// Options (all optional):
//   capture_file        raw file that capture reads; "" or a missing file gives silence
//   capture_copy        raw file that receives a copy of every frame capture delivered
//   playback_file       raw file that playback appends to; "" discards
//   rate                the only rate the device runs at (48000)
//   rate_ppm            clock offset in parts per million (0)
//   fail_after_periods  transfers fail with EIO once this many periods moved; < 0 never (-1)
//   absent              the open fails with ENODEV (false)
//   events_file         text file that each start and xrun appends a line to; "" keeps none:
//                         start <capture|playback> <ns> <file frame> <period ns> <period frames>
//                         xrun <capture|playback> <ns> <position>
//                       <ns> is CLOCK_MONOTONIC; the stream's position p (frames since the start)
//                       is file frame <file frame> + p, reached <p * period ns / period frames>
//                       after the start
// Integers may also be given as strings, so that they can come from @func getenv.

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

struct VirtualPcm {
    snd_pcm_ioplug_t io{};
    int timer_fd = -1;
    int data_fd = -1;  // capture source or playback sink
    int copy_fd = -1;  // capture: what was delivered
    int events_fd = -1;
    unsigned int rate = 48000;
    long ppm = 0;
    long fail_after_periods = -1;

    // Set by hw_params / sw_params.
    unsigned int frame_bytes = 0;
    int64_t period_ns = 0;
    snd_pcm_uframes_t boundary = 0;
    snd_pcm_uframes_t stop_threshold = 0;
    snd_pcm_uframes_t avail_min = 0;

    // The running stream, counted in frames since the last prepare.
    bool running = false;
    bool xrun = false;
    int64_t start_ns = 0;
    uint64_t hw = 0;
    uint64_t appl = 0;
    uint64_t file_base = 0;  // the data file's frame at stream position 0
    uint64_t moved = 0;      // frames transferred since the open
};

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * kNsPerSecond + ts.tv_nsec;
}

timespec to_timespec(int64_t ns) {
    timespec ts;
    ts.tv_sec = ns / kNsPerSecond;
    ts.tv_nsec = ns % kNsPerSecond;
    return ts;
}

VirtualPcm* self(snd_pcm_ioplug_t* io) { return static_cast<VirtualPcm*>(io->private_data); }

bool is_playback(const VirtualPcm* v) { return v->io.stream == SND_PCM_STREAM_PLAYBACK; }

int64_t avail(const VirtualPcm* v) {
    const int64_t hw = static_cast<int64_t>(v->hw);
    const int64_t appl = static_cast<int64_t>(v->appl);
    return is_playback(v) ? static_cast<int64_t>(v->io.buffer_size) + hw - appl : hw - appl;
}

const char* stream_name(const VirtualPcm* v) { return is_playback(v) ? "playback" : "capture"; }

// One line, in one write, so that both streams of a card may share the file.
void log_event(const VirtualPcm* v, const char* line) {
    if (v->events_fd < 0) return;
    ssize_t n;
    do {
        n = write(v->events_fd, line, strlen(line));
    } while (n < 0 && errno == EINTR);
}

// The frames the card's clock has moved `elapsed_ns` after the start: whole periods on the
// timer's own grid, so that a wake-up always finds its period complete, and the frames of the
// period in progress in proportion (never a whole period: that one is the timer's).
uint64_t position_at(const VirtualPcm* v, int64_t elapsed_ns) {
    if (elapsed_ns <= 0) return 0;
    const uint64_t q = static_cast<uint64_t>(elapsed_ns / v->period_ns);
    const double part = static_cast<double>(elapsed_ns % v->period_ns) / v->period_ns;
    const uint64_t in_period =
        std::min<uint64_t>(static_cast<uint64_t>(part * v->io.period_size), v->io.period_size - 1);
    return q * v->io.period_size + in_period;
}

// Brings the hardware position up to the clock and checks for an overrun or underrun, as the
// kernel does whenever it reads the position (a period interrupt or an application's query).
void update(VirtualPcm* v) {
    if (!v->running || v->xrun) return;
    const int64_t now = now_ns();
    v->hw = position_at(v, now - v->start_ns);
    if (avail(v) >= static_cast<int64_t>(v->stop_threshold)) {
        v->xrun = true;
        v->running = false;
        if (is_playback(v)) v->hw = std::min(v->hw, v->appl);
        char line[128];
        snprintf(line, sizeof line, "xrun %s %lld %llu\n", stream_name(v),
                 static_cast<long long>(now), static_cast<unsigned long long>(v->hw));
        log_event(v, line);
    }
}

void disarm(VirtualPcm* v) {
    itimerspec off{};
    timerfd_settime(v->timer_fd, 0, &off, nullptr);
}

int vp_start(snd_pcm_ioplug_t* io) {
    VirtualPcm* v = self(io);
    v->start_ns = now_ns();
    v->running = true;
    char line[160];
    snprintf(line, sizeof line, "start %s %lld %llu %lld %lu\n", stream_name(v),
             static_cast<long long>(v->start_ns), static_cast<unsigned long long>(v->file_base),
             static_cast<long long>(v->period_ns), static_cast<unsigned long>(io->period_size));
    log_event(v, line);
    itimerspec when{};
    when.it_value = to_timespec(v->start_ns + v->period_ns);
    when.it_interval = to_timespec(v->period_ns);
    if (timerfd_settime(v->timer_fd, TFD_TIMER_ABSTIME, &when, nullptr) != 0) return -errno;
    return 0;
}

int vp_stop(snd_pcm_ioplug_t* io) {
    VirtualPcm* v = self(io);
    update(v);
    v->running = false;
    disarm(v);
    return 0;
}

snd_pcm_sframes_t vp_pointer(snd_pcm_ioplug_t* io) {
    VirtualPcm* v = self(io);
    update(v);
    if (v->xrun) return -EPIPE;
    return static_cast<snd_pcm_sframes_t>(v->hw % v->boundary);
}

// Returns the interleaved frames of `areas` at `offset`; the device only offers interleaved access.
char* frames_at(VirtualPcm* v, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset) {
    return static_cast<char*>(areas[0].addr) + areas[0].first / 8 + offset * v->frame_bytes;
}

bool write_all(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Fills `len` bytes from the source at `pos`, zeros past its end.
bool read_source(VirtualPcm* v, char* out, size_t len, uint64_t pos) {
    size_t got = 0;
    while (v->data_fd >= 0 && got < len) {
        ssize_t n = pread(v->data_fd, out + got, len - got, static_cast<off_t>(pos + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    memset(out + got, 0, len - got);
    return true;
}

snd_pcm_sframes_t vp_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                              snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    VirtualPcm* v = self(io);
    if (v->fail_after_periods >= 0) {
        const uint64_t limit = static_cast<uint64_t>(v->fail_after_periods) * io->period_size;
        if (v->moved >= limit) return -EIO;
        size = std::min<uint64_t>(size, limit - v->moved);
    }
    char* data = frames_at(v, areas, offset);
    const size_t len = size * v->frame_bytes;
    if (is_playback(v)) {
        if (v->data_fd >= 0 && !write_all(v->data_fd, data, len)) return -EIO;
    } else {
        if (!read_source(v, data, len, (v->file_base + v->appl) * v->frame_bytes)) return -EIO;
        if (v->copy_fd >= 0 && !write_all(v->copy_fd, data, len)) return -EIO;
    }
    v->appl += size;
    v->moved += size;
    return static_cast<snd_pcm_sframes_t>(size);
}

int vp_hw_params(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* /*params*/) {
    VirtualPcm* v = self(io);
    v->frame_bytes =
        io->channels * static_cast<unsigned int>(snd_pcm_format_physical_width(io->format)) / 8;
    // The period in nanoseconds, rounded up so that the timer never fires before the position
    // has moved; ppm shifts the device's clock against the monotonic one.
    // period_size * 1e9 * 1e6 / den overflows 64 bits, so the quotient is taken in two steps
    // (32-bit targets have no 128-bit integers).
    const int64_t den = static_cast<int64_t>(io->rate) * (1000000 + v->ppm);
    if (den <= 0) return -EINVAL;
    const uint64_t num = static_cast<uint64_t>(io->period_size) * kNsPerSecond;
    const uint64_t d = static_cast<uint64_t>(den);
    v->period_ns = static_cast<int64_t>(num / d * 1000000 + ((num % d) * 1000000 + d - 1) / d);
    // alsa-lib's own boundary: the largest power-of-two multiple of the buffer that fits.
    v->boundary = io->buffer_size;
    while (v->boundary * 2 <= static_cast<snd_pcm_uframes_t>(LONG_MAX) - io->buffer_size) {
        v->boundary *= 2;
    }
    v->stop_threshold = io->buffer_size;
    v->avail_min = io->period_size;
    return 0;
}

int vp_sw_params(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
    VirtualPcm* v = self(io);
    snd_pcm_sw_params_get_stop_threshold(params, &v->stop_threshold);
    snd_pcm_sw_params_get_avail_min(params, &v->avail_min);
    snd_pcm_uframes_t boundary;
    if (snd_pcm_sw_params_get_boundary(params, &boundary) == 0 && boundary != 0) {
        v->boundary = boundary;
    }
    if (v->avail_min == 0) v->avail_min = 1;
    return 0;
}

int vp_prepare(snd_pcm_ioplug_t* io) {
    VirtualPcm* v = self(io);
    update(v);
    // Capture frames that the hardware took in but nobody read are gone, as on a real card;
    // playback starts over after the last frame it was given.
    if (is_playback(v)) {
        v->file_base = v->moved;
    } else {
        v->file_base += std::max(v->hw, v->appl);
    }
    v->running = false;
    v->xrun = false;
    v->hw = 0;
    v->appl = 0;
    disarm(v);
    return 0;
}

int vp_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                    unsigned short* revents) {
    VirtualPcm* v = self(io);
    bool interrupt = false;
    if (nfds > 0 && (pfd[0].revents & POLLIN)) {
        uint64_t expirations = 0;
        ssize_t n;
        while ((n = read(v->timer_fd, &expirations, sizeof expirations)) < 0 && errno == EINTR) {
        }
        interrupt = n == sizeof expirations && expirations > 0;
    }
    update(v);
    const unsigned short ready = is_playback(v) ? POLLOUT : POLLIN;
    const int64_t room = avail(v);
    // An xrun reports ready: the transfer that follows finds the state and fails with EPIPE.
    // A period interrupt wakes a waiter whatever avail_min says, as the kernel wakes a blocked
    // transfer once the frames it still lacks are there: alsa-lib's transfer loop takes the few
    // frames that moved since its last wake-up and then waits, and with avail_min alone the rest
    // of its block would wait a whole period more.
    *revents = (v->xrun || room >= static_cast<int64_t>(v->avail_min) || (interrupt && room > 0))
                   ? ready
                   : 0;
    return 0;
}

int vp_close(snd_pcm_ioplug_t* io) {
    VirtualPcm* v = self(io);
    if (v->timer_fd >= 0) close(v->timer_fd);
    if (v->data_fd >= 0) close(v->data_fd);
    if (v->copy_fd >= 0) close(v->copy_fd);
    if (v->events_fd >= 0) close(v->events_fd);
    delete v;
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = vp_start;
    c.stop = vp_stop;
    c.pointer = vp_pointer;
    c.transfer = vp_transfer;
    c.close = vp_close;
    c.hw_params = vp_hw_params;
    c.sw_params = vp_sw_params;
    c.prepare = vp_prepare;
    c.poll_revents = vp_poll_revents;
    return c;
}();

int get_long(snd_config_t* n, long* out) {
    if (snd_config_get_integer(n, out) == 0) return 0;
    const char* text;
    if (snd_config_get_string(n, &text) < 0) return -EINVAL;
    char* end;
    errno = 0;
    *out = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') return -EINVAL;
    return 0;
}

int get_text(snd_config_t* n, std::string* out) {
    const char* text;
    if (snd_config_get_string(n, &text) < 0) return -EINVAL;
    *out = text;
    return 0;
}

int set_constraints(snd_pcm_ioplug_t* io, unsigned int rate) {
    static const unsigned int kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                           SND_PCM_ACCESS_MMAP_INTERLEAVED};
    static const unsigned int kFormats[] = {SND_PCM_FORMAT_S16_LE};
    int err;
    if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 2, kAccess)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, kFormats)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 8)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, rate, rate)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 64 * 1024)) <
            0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 128,
                                               1024 * 1024)) < 0) {
        return err;
    }
    return 0;
}

int open_file(const std::string& path, int flags, int* fd) {
    if (path.empty()) return 0;
    *fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    // A source that does not exist is a line with nothing plugged in: silence.
    if (*fd < 0 && errno == ENOENT && (flags & O_ACCMODE) == O_RDONLY) return 0;
    return *fd < 0 ? -errno : 0;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(hdmi_preview_vcard) {
    (void)root;
    std::string capture_file, capture_copy, playback_file, events_file;
    long rate = 48000, ppm = 0, fail_after = -1;
    bool absent = false;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0) {
            continue;
        }
        int err;
        if (strcmp(id, "capture_file") == 0) {
            err = get_text(n, &capture_file);
        } else if (strcmp(id, "capture_copy") == 0) {
            err = get_text(n, &capture_copy);
        } else if (strcmp(id, "playback_file") == 0) {
            err = get_text(n, &playback_file);
        } else if (strcmp(id, "events_file") == 0) {
            err = get_text(n, &events_file);
        } else if (strcmp(id, "rate") == 0) {
            err = get_long(n, &rate);
        } else if (strcmp(id, "rate_ppm") == 0) {
            err = get_long(n, &ppm);
        } else if (strcmp(id, "fail_after_periods") == 0) {
            err = get_long(n, &fail_after);
        } else if (strcmp(id, "absent") == 0) {
            err = snd_config_get_bool(n);
            absent = err > 0;
        } else {
            SNDERR("Unknown field %s", id);
            return -EINVAL;
        }
        if (err < 0) {
            SNDERR("Invalid value for %s", id);
            return -EINVAL;
        }
    }
    if (absent) return -ENODEV;
    if (rate < 1000 || rate > 768000 || ppm <= -1000000 || ppm >= 1000000) return -EINVAL;

    VirtualPcm* v = new (std::nothrow) VirtualPcm;
    if (v == nullptr) return -ENOMEM;
    v->rate = static_cast<unsigned int>(rate);
    v->ppm = ppm;
    v->fail_after_periods = fail_after;
    int err = 0;
    if (stream == SND_PCM_STREAM_PLAYBACK) {
        err = open_file(playback_file, O_WRONLY | O_CREAT | O_APPEND, &v->data_fd);
    } else {
        err = open_file(capture_file, O_RDONLY, &v->data_fd);
        if (err == 0) err = open_file(capture_copy, O_WRONLY | O_CREAT | O_APPEND, &v->copy_fd);
    }
    if (err == 0) err = open_file(events_file, O_WRONLY | O_CREAT | O_APPEND, &v->events_fd);
    if (err == 0) {
        v->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (v->timer_fd < 0) err = -errno;
    }
    if (err < 0) {
        if (v->data_fd >= 0) close(v->data_fd);
        if (v->copy_fd >= 0) close(v->copy_fd);
        if (v->events_fd >= 0) close(v->events_fd);
        delete v;
        return err;
    }

    v->io.version = SND_PCM_IOPLUG_VERSION;
    v->io.name = "hdmi-preview virtual card";
    v->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    v->io.poll_fd = v->timer_fd;
    v->io.poll_events = POLLIN;
    v->io.mmap_rw = 0;
    v->io.callback = &kCallbacks;
    v->io.private_data = v;
    if ((err = snd_pcm_ioplug_create(&v->io, name, stream, mode)) < 0) {
        vp_close(&v->io);
        return err;
    }
    if ((err = set_constraints(&v->io, v->rate)) < 0) {
        snd_pcm_ioplug_delete(&v->io);
        return err;
    }
    *pcmp = v->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(hdmi_preview_vcard);

}  // extern "C"
