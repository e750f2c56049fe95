// Preloaded (LD_PRELOAD) into a loopback program on the virtual cards by bench/bench.sh: after
// every snd_pcm_writei it adds up the frames between capture and playback, which is the latency
// a frame sees: those captured and not yet read, those read and not yet written (the program's
// own buffers, e.g. a resampler's), and those written and not yet played. When the playback
// stream is closed it writes "writes N mean_ms X min_ms X max_ms X" into QUEUE_PROBE_OUT, over
// the writes after the first QUEUE_PROBE_SKIP seconds of audio (default 3). The cards report
// positions a period at a time, so a figure is good to a period (21 ms). Nothing is written while
// the program streams, so the system calls counted meanwhile are the program's own.

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

using ReadFn = snd_pcm_sframes_t (*)(snd_pcm_t*, void*, snd_pcm_uframes_t);
using WriteFn = snd_pcm_sframes_t (*)(snd_pcm_t*, const void*, snd_pcm_uframes_t);
using CloseFn = int (*)(snd_pcm_t*);

constexpr double kRate = 48000;

struct State {
    snd_pcm_t* playback = nullptr;
    long long read = 0;
    long long written = 0;
    snd_pcm_sframes_t capture_waiting = 0;
    long long counted = 0;
    double sum = 0, min = 1e9, max = 0;
};
State state;

void report() {
    const char* path = getenv("QUEUE_PROBE_OUT");
    if (path == nullptr || state.counted == 0) return;
    char line[160];
    const int n = snprintf(line, sizeof line, "writes %lld mean_ms %.1f min_ms %.1f max_ms %.1f\n",
                           state.counted, state.sum / state.counted, state.min, state.max);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, line, static_cast<size_t>(n)) != n) unlink(path);
    close(fd);
}

}  // namespace

extern "C" snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size) {
    static const ReadFn real = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "snd_pcm_readi"));
    const snd_pcm_sframes_t n = real(pcm, buffer, size);
    if (n > 0) state.read += n;
    const snd_pcm_sframes_t waiting = snd_pcm_avail_update(pcm);
    if (waiting >= 0) state.capture_waiting = waiting;
    return n;
}

extern "C" snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer,
                                            snd_pcm_uframes_t size) {
    static const WriteFn real = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "snd_pcm_writei"));
    static const long long skip = static_cast<long long>(
        (getenv("QUEUE_PROBE_SKIP") != nullptr ? atof(getenv("QUEUE_PROBE_SKIP")) : 3) * kRate);
    const snd_pcm_sframes_t n = real(pcm, buffer, size);
    if (n <= 0) return n;
    state.playback = pcm;
    state.written += n;
    snd_pcm_sframes_t queued;
    if (state.written < skip || snd_pcm_delay(pcm, &queued) < 0 ||
        snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING) {
        return n;
    }
    // A program that primed playback with silence has written more than it read; those frames
    // are in the playback queue, ahead of the captured ones, and hold nothing back.
    const long long held = state.read > state.written ? state.read - state.written : 0;
    const double ms = static_cast<double>(state.capture_waiting + held + queued) / kRate * 1000;
    ++state.counted;
    state.sum += ms;
    if (ms < state.min) state.min = ms;
    if (ms > state.max) state.max = ms;
    return n;
}

extern "C" int snd_pcm_close(snd_pcm_t* pcm) {
    static const CloseFn real = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "snd_pcm_close"));
    if (pcm == state.playback) report();
    return real(pcm);
}
