// The far ends of a loopback under test, on snd-aloop cards: plays a quiet 440 Hz tone with a loud
// 1 kHz burst at the start of every second into PLAY_DEV, records REC_DEV, and prints what came
// through. Used by the benchmark guest; figures only, nothing is asserted.
//
//   latency_probe [-r PLAY_RATE] PLAY_DEV REC_DEV SECONDS [SUMMARY_SECONDS]
//
// PLAY_RATE (Hz, default 48000) is the source's rate at PLAY_DEV; REC_DEV records at 48000 Hz
// whatever it is, and latencies are in seconds of the clocks, not frames of either rate.
// The summary covers what arrived within SUMMARY_SECONDS of the start (default: all of it); the
// tone goes on until SECONDS.
// A burst's latency is the time its first frame was captured at REC_DEV minus the time it left
// PLAY_DEV, each taken from the stream's position and timestamp right after the transfer that
// carried it. A run of silence inside the tone is a gap (an underrun on the way); a burst that
// arrives less than a second after the previous one lost frames on the way (an overrun).
//
// Output, one line each: "PROBE burst T_S LATENCY_MS" per burst, then "PROBE summary ...".

#include <alsa/asoundlib.h>
#include <math.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

namespace {

constexpr unsigned int kRate = 48000;  // the recorder's
constexpr unsigned int kChannels = 2;
constexpr snd_pcm_uframes_t kPeriod = 1024;
constexpr unsigned int kPeriods = 8;
constexpr int kToneAmplitude = 3000;
constexpr int kBurstAmplitude = 24000;
constexpr int kBurstFrames = 480;
constexpr int kOnsetThreshold = 12000;
// Longer than any quiet stretch of the tone (it never has two zero frames in a row).
constexpr int kGapFrames = 64;
constexpr double kPi = 3.14159265358979323846;

double seconds_of(const snd_htimestamp_t& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

bool open_stream(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, unsigned int rate) {
    int err = snd_pcm_open(pcm, name, stream, SND_PCM_NONBLOCK);
    if (err < 0) {
        fprintf(stderr, "latency_probe: cannot open %s: %s\n", name, snd_strerror(err));
        return false;
    }
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t period = kPeriod;
    snd_pcm_uframes_t buffer = kPeriod * kPeriods;
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if ((err = snd_pcm_hw_params_any(*pcm, hw)) < 0 ||
        (err = snd_pcm_hw_params_set_access(*pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(*pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(*pcm, hw, kChannels)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(*pcm, hw, rate, 0)) < 0 ||
        (err = snd_pcm_hw_params_set_period_size_near(*pcm, hw, &period, nullptr)) < 0 ||
        (err = snd_pcm_hw_params_set_buffer_size_near(*pcm, hw, &buffer)) < 0 ||
        (err = snd_pcm_hw_params(*pcm, hw)) < 0 ||
        (err = snd_pcm_sw_params_current(*pcm, sw)) < 0 ||
        (err = snd_pcm_sw_params_set_tstamp_mode(*pcm, sw, SND_PCM_TSTAMP_ENABLE)) < 0 ||
        (err = snd_pcm_sw_params_set_tstamp_type(*pcm, sw, SND_PCM_TSTAMP_TYPE_MONOTONIC)) < 0 ||
        (err = snd_pcm_sw_params_set_avail_min(*pcm, sw, period)) < 0 ||
        (err = snd_pcm_sw_params_set_start_threshold(*pcm, sw, buffer)) < 0 ||
        (err = snd_pcm_sw_params(*pcm, sw)) < 0 || (err = snd_pcm_prepare(*pcm)) < 0) {
        fprintf(stderr, "latency_probe: cannot set up %s: %s\n", name, snd_strerror(err));
        return false;
    }
    return true;
}

// The stream's position at its timestamp: frames played so far (playback) or captured so far
// (capture), given the frames the application has moved.
bool position(snd_pcm_t* pcm, bool playback, long long moved, long long* frames, double* when) {
    snd_pcm_status_t* st;
    snd_pcm_status_alloca(&st);
    if (snd_pcm_status(pcm, st) < 0) return false;
    snd_htimestamp_t t;
    snd_pcm_status_get_htstamp(st, &t);
    *when = seconds_of(t);
    *frames =
        playback ? moved - snd_pcm_status_get_delay(st) : moved + snd_pcm_status_get_avail(st);
    return true;
}

struct Player {
    snd_pcm_t* pcm = nullptr;
    long long rate = kRate;  // frames per second; a burst starts every rate frames
    long long written = 0;
    std::vector<double> burst_sent;  // time each burst's first frame left, by burst number
    double tone_phase = 0;

    void fill(int16_t* out, snd_pcm_uframes_t frames) {
        for (snd_pcm_uframes_t i = 0; i < frames; ++i) {
            const long long n = written + static_cast<long long>(i);
            double v = kToneAmplitude * sin(tone_phase);
            tone_phase += 2 * kPi * 440 / static_cast<double>(rate);
            if (tone_phase > 2 * kPi) tone_phase -= 2 * kPi;
            const long long in_second = n % rate;
            if (in_second < kBurstFrames * rate / kRate)
                v = kBurstAmplitude * sin(2 * kPi * 1000 * static_cast<double>(in_second) /
                                          static_cast<double>(rate));
            // Never exactly zero, so that silence stands out as a gap.
            int16_t s = static_cast<int16_t>(lrint(v));
            if (s == 0) s = 1;
            out[2 * i] = s;
            out[2 * i + 1] = s;
        }
    }
};

struct Recorder {
    snd_pcm_t* pcm = nullptr;
    long long read = 0;
    long long loud_until = -1;  // frames before this are within a burst already seen
    long long last_onset = -1;
    long long zero_run = 0;
    bool signal_seen = false;
    int gaps = 0;
    int drops = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Player player;
    if (argc >= 3 && strcmp(argv[1], "-r") == 0) {
        player.rate = atoll(argv[2]);
        argc -= 2;
        argv += 2;
    }
    if ((argc != 4 && argc != 5) || player.rate < 8000 || player.rate > 384000) {
        fprintf(stderr,
                "usage: latency_probe [-r PLAY_RATE] PLAY_DEV REC_DEV SECONDS [SUMMARY_SECONDS]\n");
        return 2;
    }
    const double seconds = atof(argv[3]);
    const double summary_seconds = argc == 5 ? atof(argv[4]) : seconds;
    snd_lib_error_set_handler(nullptr);
    Recorder rec;
    if (!open_stream(&player.pcm, argv[1], SND_PCM_STREAM_PLAYBACK,
                     static_cast<unsigned int>(player.rate)) ||
        !open_stream(&rec.pcm, argv[2], SND_PCM_STREAM_CAPTURE, kRate)) {
        return 1;
    }
    std::vector<int16_t> block(kPeriod * kChannels);
    // The player starts with its buffer full, the recorder at once.
    snd_pcm_start(rec.pcm);
    std::vector<double> latency_at;  // seconds since the first burst arrived
    std::vector<double> latency_ms;
    double first_arrival = -1;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int play_xruns = 0;
    while (true) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double elapsed = static_cast<double>(now.tv_sec - start.tv_sec) +
                               static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
        if (elapsed >= seconds) break;
        const bool counted = elapsed < summary_seconds;
        pollfd fds[8];
        int n1 = snd_pcm_poll_descriptors(player.pcm, fds, 4);
        int n2 = snd_pcm_poll_descriptors(rec.pcm, fds + n1, 4);
        poll(fds, static_cast<nfds_t>(n1 + n2), 100);

        snd_pcm_sframes_t room = snd_pcm_avail_update(player.pcm);
        if (room == -EPIPE) {
            if (counted) ++play_xruns;
            snd_pcm_prepare(player.pcm);
            room = snd_pcm_avail_update(player.pcm);
        }
        while (room >= static_cast<snd_pcm_sframes_t>(kPeriod)) {
            const long long first = player.written;
            player.fill(block.data(), kPeriod);
            if (snd_pcm_writei(player.pcm, block.data(), kPeriod) != static_cast<long>(kPeriod))
                break;
            player.written += kPeriod;
            room -= kPeriod;
            // A burst starts in this block: when does its first frame leave?
            const long long burst = ((first + player.rate - 1) / player.rate) * player.rate;
            long long played;
            double when;
            if (burst < player.written &&
                position(player.pcm, true, player.written, &played, &when) &&
                snd_pcm_state(player.pcm) == SND_PCM_STATE_RUNNING) {
                player.burst_sent.push_back(when + static_cast<double>(burst - played) /
                                                       static_cast<double>(player.rate));
            } else if (burst < player.written) {
                player.burst_sent.push_back(-1);  // before the stream ran: not timed
            }
        }

        snd_pcm_sframes_t got = snd_pcm_readi(rec.pcm, block.data(), kPeriod);
        if (got == -EPIPE) {
            fprintf(stderr, "latency_probe: the recorder overran\n");
            snd_pcm_prepare(rec.pcm);
            snd_pcm_start(rec.pcm);
            continue;
        }
        if (got <= 0) continue;
        const long long base = rec.read;
        rec.read += got;
        long long captured;
        double when;
        const bool timed = position(rec.pcm, false, rec.read, &captured, &when);
        for (long long i = 0; i < got; ++i) {
            const int16_t l = block[2 * i];
            const int16_t r = block[2 * i + 1];
            const long long n = base + i;
            if (l == 0 && r == 0) {
                if (rec.signal_seen && ++rec.zero_run == kGapFrames && counted) ++rec.gaps;
            } else {
                rec.zero_run = 0;
                rec.signal_seen = true;
            }
            if (abs(l) < kOnsetThreshold || n < rec.loud_until) continue;
            rec.loud_until = n + kRate / 2;
            // Bursts leave a second apart in the player's clock (±5000 ppm covers any card's); a
            // shorter interval means frames were lost on the way.
            if (rec.last_onset >= 0) {
                const long long interval = n - rec.last_onset;
                const long long seconds_apart = (interval + kRate / 2) / kRate;
                if (interval < seconds_apart * kRate - kRate / 200 && counted) ++rec.drops;
            }
            rec.last_onset = n;
            if (!timed || !counted) continue;
            const double arrived = when - static_cast<double>(captured - n) / kRate;
            // The latency stays well below a second: this is the last burst sent before it arrived.
            double sent = -1;
            for (double t : player.burst_sent) {
                if (t >= 0 && t <= arrived) sent = t;
            }
            if (sent < 0) continue;
            const double ms = (arrived - sent) * 1000;
            if (first_arrival < 0) first_arrival = arrived;
            latency_at.push_back(arrived - first_arrival);
            latency_ms.push_back(ms);
            printf("PROBE burst %.1f %.1f\n", arrived - first_arrival, ms);
        }
    }

    // Latency near 5 s into the flow and at its end: the median of the bursts around each.
    auto around = [&](double from, double to) {
        std::vector<double> v;
        for (size_t i = 0; i < latency_ms.size(); ++i) {
            if (latency_at[i] >= from && latency_at[i] <= to) v.push_back(latency_ms[i]);
        }
        if (v.empty()) return -1.0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double end = latency_at.empty() ? 0 : latency_at.back();
    printf(
        "PROBE summary bursts=%zu span_s=%.1f latency5_ms=%.1f latency_end_ms=%.1f gaps=%d "
        "drops=%d player_xruns=%d\n",
        latency_ms.size(), end, around(3, 7), around(end - 4, end), rec.gaps, rec.drops,
        play_xruns);
    snd_pcm_close(player.pcm);
    snd_pcm_close(rec.pcm);
    return 0;
}
