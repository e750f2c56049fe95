// Preloaded (LD_PRELOAD) into the service in the benchmark guest (GUEST_BENCH_TRACE): records,
// per block, how long the read waited, the playback queue that the stream reported (frames queued
// less those played since its timestamp) and the frames still waiting in capture, and the time
// from the read's return to the write; when the playback stream is closed it prints, for each
// write that found playback stopped (an underrun), one line on standard error with the blocks
// before it:
//
//   "underrun_trace: underrun at T s; per block before it (oldest first): wait ms W..., queue ms
//    Q..., captured waiting frames C..., read to write ms L..."
//
// So an underrun that follows a read that waited far longer than a block (the whole guest stalled)
// is told from one that follows a queue run down. Records are kept in memory and nothing is printed
// while the service streams.

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <time.h>

namespace {

using ReadFn = snd_pcm_sframes_t (*)(snd_pcm_t*, void*, snd_pcm_uframes_t);
using WriteFn = snd_pcm_sframes_t (*)(snd_pcm_t*, const void*, snd_pcm_uframes_t);
using StampFn = int (*)(snd_pcm_t*, snd_pcm_uframes_t*, snd_htimestamp_t*);
using CloseFn = int (*)(snd_pcm_t*);

constexpr double kRate = 48000;
constexpr int kBefore = 8;  // blocks shown before each underrun
constexpr int kMaxBlocks = 1 << 16;
constexpr int kMaxUnderruns = 64;

struct Block {
    double read_at = 0;  // s, when the read returned
    double wait_ms = 0;
    double queue_ms = -1;  // -1: no timestamp
    long captured = -1;    // frames waiting in capture; -1: none asked
    double lag_ms = -1;    // read's return to the write
};

Block blocks[kMaxBlocks];
int count = 0;
int underruns[kMaxUnderruns];  // block indices
int underrun_count = 0;

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

Block* current() { return count > 0 ? &blocks[(count - 1) % kMaxBlocks] : nullptr; }

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void print_list(const char* what, int end, double (*value)(const Block&)) {
    fprintf(stderr, ", %s", what);
    for (int i = end - kBefore < 0 ? 0 : end - kBefore; i <= end; ++i) {
        if (count - i > kMaxBlocks) continue;
        fprintf(stderr, " %.1f", value(blocks[i % kMaxBlocks]));
    }
}

void report() {
    for (int u = 0; u < underrun_count; ++u) {
        const int end = underruns[u];
        fprintf(stderr, "underrun_trace: underrun at %.3f s; per block before it (oldest first):",
                blocks[end % kMaxBlocks].read_at - blocks[0].read_at);
        print_list("wait ms", end, [](const Block& b) { return b.wait_ms; });
        print_list("queue ms", end, [](const Block& b) { return b.queue_ms; });
        print_list("captured waiting frames", end,
                   [](const Block& b) { return static_cast<double>(b.captured); });
        print_list("read to write ms", end, [](const Block& b) { return b.lag_ms; });
        fprintf(stderr, "\n");
    }
    count = 0;
    underrun_count = 0;
}

}  // namespace

extern "C" snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size) {
    static const ReadFn read = real<ReadFn>("snd_pcm_readi");
    const double start = now();
    const snd_pcm_sframes_t n = read(pcm, buffer, size);
    const double end = now();
    Block& b = blocks[count++ % kMaxBlocks];
    b = Block{};
    b.read_at = end;
    b.wait_ms = (end - start) * 1e3;
    return n;
}

extern "C" int snd_pcm_htimestamp(snd_pcm_t* pcm, snd_pcm_uframes_t* avail,
                                  snd_htimestamp_t* stamp) {
    static const StampFn htimestamp = real<StampFn>("snd_pcm_htimestamp");
    const int err = htimestamp(pcm, avail, stamp);
    Block* b = current();
    if (err < 0 || b == nullptr) return err;
    if (snd_pcm_stream(pcm) == SND_PCM_STREAM_CAPTURE) {
        b->captured = static_cast<long>(*avail);
    } else if (b->queue_ms < 0) {
        static snd_pcm_uframes_t buffer = 0;  // the service opens the same buffer every run
        if (buffer == 0) {
            snd_pcm_uframes_t period = 0;
            snd_pcm_get_params(pcm, &buffer, &period);
        }
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const double age = (ts.tv_sec - stamp->tv_sec) + (ts.tv_nsec - stamp->tv_nsec) * 1e-9;
        const double queued = static_cast<double>(buffer) - *avail - (age >= 0 ? age : 0) * kRate;
        b->queue_ms = queued / kRate * 1e3;
    }
    return err;
}

extern "C" snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer,
                                            snd_pcm_uframes_t size) {
    static const WriteFn write = real<WriteFn>("snd_pcm_writei");
    Block* b = current();
    if (b != nullptr && b->lag_ms < 0) b->lag_ms = (now() - b->read_at) * 1e3;
    const snd_pcm_sframes_t n = write(pcm, buffer, size);
    if (n == -EPIPE && b != nullptr && underrun_count < kMaxUnderruns) {
        underruns[underrun_count++] = count - 1;
    }
    return n;
}

extern "C" int snd_pcm_close(snd_pcm_t* pcm) {
    static const CloseFn close = real<CloseFn>("snd_pcm_close");
    if (snd_pcm_stream(pcm) == SND_PCM_STREAM_PLAYBACK) report();
    return close(pcm);
}
