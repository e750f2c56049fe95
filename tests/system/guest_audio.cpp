#include "guest_audio.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <unordered_map>

#include "gain_reference.h"

namespace {

uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

void sleep_for(double seconds) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - ts.tv_sec) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

double trigger_time(snd_pcm_t* h) {
    snd_pcm_status_t* st;
    snd_pcm_status_alloca(&st);
    if (snd_pcm_status(h, st) < 0) return 0;
    snd_htimestamp_t ts;
    snd_pcm_status_get_trigger_htstamp(st, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

snd_pcm_t* open_stream(const char* name, snd_pcm_stream_t dir, std::string* err,
                       snd_pcm_uframes_t periods) {
    snd_pcm_t* h = nullptr;
    int e = snd_pcm_open(&h, name, dir, 0);
    if (e < 0) {
        *err = format("cannot open %s: %s", name, snd_strerror(e));
        return nullptr;
    }
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t period = kPeriod;
    snd_pcm_uframes_t buffer = kPeriod * periods;
    if ((e = snd_pcm_hw_params_any(h, hw)) < 0 ||
        (e = snd_pcm_hw_params_set_access(h, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (e = snd_pcm_hw_params_set_format(h, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
        (e = snd_pcm_hw_params_set_channels(h, hw, kChannels)) < 0 ||
        (e = snd_pcm_hw_params_set_rate(h, hw, kRate, 0)) < 0 ||
        (e = snd_pcm_hw_params_set_period_size_near(h, hw, &period, nullptr)) < 0 ||
        (e = snd_pcm_hw_params_set_buffer_size_near(h, hw, &buffer)) < 0 ||
        (e = snd_pcm_hw_params(h, hw)) < 0) {
        *err = format("cannot configure %s: %s", name, snd_strerror(e));
        snd_pcm_close(h);
        return nullptr;
    }
    // Trigger times on the monotonic clock, the clock of every other time taken here.
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if ((e = snd_pcm_sw_params_current(h, sw)) < 0 ||
        (e = snd_pcm_sw_params_set_tstamp_mode(h, sw, SND_PCM_TSTAMP_ENABLE)) < 0 ||
        (e = snd_pcm_sw_params_set_tstamp_type(h, sw, SND_PCM_TSTAMP_TYPE_MONOTONIC)) < 0 ||
        (e = snd_pcm_sw_params(h, sw)) < 0) {
        *err = format("cannot set sw params of %s: %s", name, snd_strerror(e));
        snd_pcm_close(h);
        return nullptr;
    }
    return h;
}

Frame input_frame(uint64_t k) {
    const uint64_t h = mix(k);
    return {static_cast<int16_t>(h & 0xffff), static_cast<int16_t>((h >> 16) & 0xffff)};
}

Frame expected_frame(uint64_t k, int level) {
    const Frame in = input_frame(k);
    return {scaled(in.l, level), scaled(in.r, level)};
}

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double seconds_of(uint64_t frames) { return static_cast<double>(frames) / kRate; }

void StreamThread::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (pcm_ != nullptr) snd_pcm_close(pcm_);
    pcm_ = nullptr;
}

bool Player::start(std::string* err, const char* device) {
    pcm_ = open_stream(device, SND_PCM_STREAM_PLAYBACK, err);
    if (pcm_ == nullptr) return false;
    thread_ = std::thread([this] { run(); });
    // The trigger time exists once the stream runs (a buffer's worth is queued).
    const double deadline = now() + 2;
    while (started_.load() == 0 && now() < deadline) sleep_for(0.002);
    if (started_.load() == 0) {
        *err = format("playback of %s did not start within 2 s", device);
        return false;
    }
    return true;
}

void Player::run() {
    std::vector<Frame> buf(kPeriod);
    uint64_t k = 0;
    while (!stop_) {
        for (auto& f : buf) f = input_frame(k++);
        snd_pcm_sframes_t n = snd_pcm_writei(pcm_, buf.data(), kPeriod);
        if (n < 0) {
            ++xruns_;
            snd_pcm_recover(pcm_, static_cast<int>(n), 1);
        }
        if (started_.load() == 0 && snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING) {
            trigger_ = trigger_time(pcm_);
            started_ = 1;
        }
    }
}

bool Recorder::start(std::string* err, const char* device) {
    pcm_ = open_stream(device, SND_PCM_STREAM_CAPTURE, err);
    if (pcm_ == nullptr) return false;
    int e = snd_pcm_start(pcm_);
    if (e < 0) {
        *err = format("cannot start capture of %s: %s", device, snd_strerror(e));
        return false;
    }
    trigger_ = trigger_time(pcm_);
    frames_.reserve(kRate * 20);
    thread_ = std::thread([this] { run(); });
    return true;
}

void Recorder::run() {
    std::vector<Frame> buf(kPeriod);
    while (!stop_) {
        snd_pcm_sframes_t n = snd_pcm_readi(pcm_, buf.data(), kPeriod);
        if (n < 0) {
            ++xruns_;
            snd_pcm_recover(pcm_, static_cast<int>(n), 1);
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.insert(frames_.end(), buf.begin(), buf.begin() + n);
    }
}

Analysis analyse(const std::vector<Frame>& rec, uint64_t input_frames,
                 const std::vector<int>& levels) {
    Analysis a;
    const Frame zero{0, 0};
    for (uint64_t r = 0; r < rec.size(); ++r) {
        if (!(rec[r] == zero)) {
            if (!a.any_signal) a.first_signal = r;
            a.any_signal = true;
            a.last_signal = r;
        }
    }
    if (!a.any_signal) return a;

    auto key = [](const Frame& f) {
        return (static_cast<uint32_t>(static_cast<uint16_t>(f.l)) << 16) |
               static_cast<uint16_t>(f.r);
    };
    std::vector<std::unordered_multimap<uint32_t, uint64_t>> index(levels.size());
    for (size_t li = 0; li < levels.size(); ++li) {
        index[li].reserve(input_frames);
        for (uint64_t k = 0; k < input_frames; ++k)
            index[li].emplace(key(expected_frame(k, levels[li])), k);
    }
    constexpr uint64_t kConfirm = 32;
    auto confirms = [&](uint64_t r, uint64_t k, int level) {
        for (uint64_t i = 0; i < kConfirm && r + i <= a.last_signal; ++i) {
            if (!(rec[r + i] == expected_frame(k + i, level))) return false;
        }
        return true;
    };

    size_t li = 0;
    bool synced = false;
    int64_t offset = 0;  // recording index - input index
    for (uint64_t r = a.first_signal; r <= a.last_signal; ++r) {
        const Frame f = rec[r];
        if (synced && r >= static_cast<uint64_t>(offset)) {
            const uint64_t k = r - offset;
            if (f == expected_frame(k, levels[li])) {
                if (li == 0) a.last_first_level = r;
                ++a.segments.back().frames;
                continue;
            }
            if (li + 1 < levels.size() && f == expected_frame(k, levels[li + 1])) {
                ++li;
                if (a.level_switch < 0) a.level_switch = r;
                ++a.segments.back().frames;
                continue;
            }
        }
        synced = false;
        if (f == zero) {
            ++a.silent_inside;
            continue;
        }
        bool found = false;
        for (size_t lj = li; lj < levels.size() && !found; ++lj) {
            auto range = index[lj].equal_range(key(f));
            for (auto it = range.first; it != range.second; ++it) {
                if (confirms(r, it->second, levels[lj])) {
                    if (lj != li && a.level_switch < 0) a.level_switch = r;
                    li = lj;
                    offset = static_cast<int64_t>(r) - static_cast<int64_t>(it->second);
                    a.segments.push_back({r, it->second, 1});
                    a.level_of_segment.push_back(levels[li]);
                    if (li == 0) a.last_first_level = r;
                    synced = found = true;
                    break;
                }
            }
        }
        if (!found) ++a.mismatched;
    }
    return a;
}