// A long preview through the installed service, judged frame by frame: the checker's player
// (guest_audio.h) plays its noise into hw:0,1 and the recording of hw:1,1 is followed through the
// input at level 7. The caller starts the preview (level 7, trigger 1) before and stops it after,
// and runs this at real-time priority (chrt -f 50), so that what it finds arises on the service's
// side. Figures only: nothing is asserted.
//
//   hdmi-preview-long-preview SECONDS
//
// Prints "LONG event T_S silent=N foreign=N shift=N" for each of the first 20 discontinuities (at
// T_S s into the recording: silent frames, frames that are no input frame at that place, and the
// frames the stream moved back by, > 0 when frames were inserted), then "LONG summary ...".
// Exit status: 0 measured, 1 no signal or a stream failed, 2 usage error.

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "guest_audio.h"

namespace {

constexpr int kLevel = 7;
constexpr uint64_t kConfirm = 32;           // frames of noise that name a place beyond doubt
constexpr uint64_t kSearch = 2 * kRate;     // how far from the expected place a resync looks
constexpr uint64_t kEventGap = kRate / 10;  // breaks closer than this are one discontinuity

struct Event {
    uint64_t at = 0, silent = 0, foreign = 0;
    int64_t shift = 0;
};

// The input index within kSearch of `hint` whose frames the recording carries from `r` on, or -1.
int64_t locate(const std::vector<Frame>& rec, uint64_t r, uint64_t hint, uint64_t played) {
    const uint64_t n = std::min<uint64_t>(kConfirm, rec.size() - r);
    auto carries = [&](uint64_t k) {
        for (uint64_t i = 0; i < n; ++i)
            if (!(rec[r + i] == expected_frame(k + i, kLevel))) return false;
        return true;
    };
    for (uint64_t d = 0; d <= kSearch; ++d) {
        if (hint + d < played && carries(hint + d)) return static_cast<int64_t>(hint + d);
        if (d > 0 && d <= hint && carries(hint - d)) return static_cast<int64_t>(hint - d);
    }
    return -1;
}

struct Followed {
    uint64_t first_at = 0, first_k = 0;  // the first input frame recorded, and its index
    uint64_t last_k = 0;                 // the index the last recorded frame stands for
    std::vector<Event> events;
};

// Follows the recording through the input: every frame that is not the next input frame starts
// or extends a discontinuity, which ends where the input is found again. False when no input
// frame comes within a second of the first sound.
bool follow(const std::vector<Frame>& rec, uint64_t played, Followed* f) {
    const Frame silence{0, 0};
    const uint64_t n = rec.size();
    uint64_t r = 0;
    while (r < n && rec[r] == silence) ++r;
    int64_t first = -1;
    for (const uint64_t end = std::min<uint64_t>(n, r + kRate); first < 0 && r < end; ++r)
        first = locate(rec, r, 0, played);
    if (first < 0) return false;
    f->first_at = --r;
    f->first_k = first;
    uint64_t k = first, resynced = r;
    bool inside = false;
    for (; r < n; ++r, ++k) {
        if (!inside && rec[r] == expected_frame(k, kLevel)) continue;
        if (!inside && (f->events.empty() || r - resynced > kEventGap)) f->events.push_back({r});
        inside = true;
        Event& ev = f->events.back();
        const int64_t found = rec[r] == silence ? -1 : locate(rec, r, k, played);
        if (found < 0) {
            ++(rec[r] == silence ? ev.silent : ev.foreign);
            continue;
        }
        ev.shift += static_cast<int64_t>(k) - found;
        k = static_cast<uint64_t>(found);
        resynced = r;
        inside = false;
    }
    f->last_k = k - 1;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc == 2 ? atof(argv[1]) : 0;
    if (seconds <= 0) {
        fprintf(stderr, "usage: hdmi-preview-long-preview SECONDS\n");
        return 2;
    }
    // The recording's memory is touched before the streams start, not while they run.
    std::vector<Frame> rec(static_cast<size_t>((seconds + 2) * kRate), Frame{0, 0});
    std::string err;
    snd_pcm_t* cap = open_stream("hw:1,1", SND_PCM_STREAM_CAPTURE, &err, 8);
    const int e = cap != nullptr ? snd_pcm_start(cap) : 0;
    if (cap == nullptr || e < 0) {
        fprintf(stderr, "hdmi-preview-long-preview: %s\n",
                cap == nullptr ? err.c_str() : snd_strerror(e));
        return 1;
    }
    const double rec_start = now();  // its first frame, within the time of a call
    Player player;
    if (!player.start(&err)) {
        fprintf(stderr, "hdmi-preview-long-preview: %s\n", err.c_str());
        return 1;
    }
    uint64_t n = 0, rec_xruns = 0;
    while (now() < rec_start + seconds && n + kPeriod <= rec.size()) {
        const snd_pcm_sframes_t got = snd_pcm_readi(cap, &rec[n], kPeriod);
        if (got >= 0) {
            n += got;
        } else {
            ++rec_xruns;
            snd_pcm_recover(cap, static_cast<int>(got), 1);
        }
    }
    const uint64_t played = static_cast<uint64_t>((now() - player.trigger() + 1) * kRate);
    player.stop();
    snd_pcm_close(cap);
    rec.resize(n);

    Followed f;
    if (!follow(rec, played, &f)) {
        fprintf(stderr, "hdmi-preview-long-preview: no input at level %d in %llu recorded frames\n",
                kLevel, (unsigned long long)n);
        return 1;
    }
    auto latency_ms = [&](uint64_t at, uint64_t k) {
        return (rec_start + seconds_of(at) - player.trigger() - seconds_of(k)) * 1e3;
    };
    const std::vector<Event>& events = f.events;
    uint64_t silent = 0, foreign = 0, gaps = 0;
    int64_t inserted = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        const Event& ev = events[i];
        silent += ev.silent;
        foreign += ev.foreign;
        inserted += ev.shift;
        if (ev.silent >= 64) ++gaps;
        if (i < 20) {
            printf("LONG event %.2f silent=%llu foreign=%llu shift=%lld\n", seconds_of(ev.at),
                   (unsigned long long)ev.silent, (unsigned long long)ev.foreign,
                   (long long)ev.shift);
        }
    }
    printf(
        "LONG summary seconds=%.1f discontinuities=%zu gaps=%llu silent=%llu foreign=%llu "
        "shift=%lld latency_first_ms=%.1f latency_last_ms=%.1f player_xruns=%llu "
        "recorder_xruns=%llu\n",
        seconds_of(n), events.size(), (unsigned long long)gaps, (unsigned long long)silent,
        (unsigned long long)foreign, (long long)inserted, latency_ms(f.first_at, f.first_k),
        latency_ms(n - 1, f.last_k), (unsigned long long)player.xruns(),
        (unsigned long long)rec_xruns);
    return 0;
}
