// The system suite, run inside a guest whose kernel has two snd-aloop cards (0 and 1, one
// substream per device). It starts the real service, plays a known signal into hw:0,1 (which the
// service captures from hw:0,0) and records hw:1,1 (which receives what the service plays into
// hw:1,0), then compares the recording with the input frame by frame.
//
//   hdmi-preview-systest SERVICE_BINARY
//   hdmi-preview-systest --installed
//
// With --installed the service is the one systemd runs from the installed package: the test sets
// properties with hdmi-preview-prop, as the user it runs as, and reads the service's lines from
// the journal (so that user needs the audio and systemd-journal groups besides the store's), and
// runs the stream test alone, at level 7.
//
// Prints one "SYSTEST PASS name" or "SYSTEST FAIL name: cause" line per check and
// "SYSTEST FIGURE name: value" lines for the measured times; exits non-zero when a check failed.

#include <alsa/asoundlib.h>
#include <cutils/properties.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

constexpr unsigned kRate = 48000;
constexpr unsigned kChannels = 2;
constexpr snd_pcm_uframes_t kPeriod = 1024;
constexpr snd_pcm_uframes_t kBlockFrames = 1024;  // the service's block
constexpr char kTrigger[] = "persist.audio.hdmi.preview";
constexpr char kLevel[] = "persist.sys.voice.level";

int failures = 0;
bool installed = false;  // the packaged service under systemd, driven through its tool

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void sleep_for(double seconds) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - ts.tv_sec) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void report(bool ok, const char* name, const std::string& cause) {
    if (ok) {
        printf("SYSTEST PASS %s\n", name);
    } else {
        printf("SYSTEST FAIL %s: %s\n", name, cause.c_str());
        ++failures;
    }
    fflush(stdout);
}

std::string vformat(const char* fmt, va_list ap) {
    char text[512];
    vsnprintf(text, sizeof text, fmt, ap);
    return text;
}

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vformat(fmt, ap);
    va_end(ap);
    return text;
}

void figure(const char* name, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = vformat(fmt, ap);
    va_end(ap);
    printf("SYSTEST FIGURE %s: %s\n", name, text.c_str());
    fflush(stdout);
}

// --- The input signal: full-scale noise, one 64-bit hash per frame, so that any stretch of a
// few frames names its position in the stream and the clamp of the gain is exercised. ---------

struct Frame {
    int16_t l, r;
    bool operator==(const Frame& o) const { return l == o.l && r == o.r; }
};

uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

Frame input_frame(uint64_t k) {
    const uint64_t h = mix(k);
    return {static_cast<int16_t>(h & 0xffff), static_cast<int16_t>((h >> 16) & 0xffff)};
}

// The service's gain, written out independently of its code.
int16_t gain(int16_t s, int level) {
    int32_t v = s / 7 * level;
    if (v > 32767) v = 32767;
    if (v < -32768) v = -32768;
    return static_cast<int16_t>(v);
}

Frame expected(uint64_t k, int level) {
    const Frame in = input_frame(k);
    return {gain(in.l, level), gain(in.r, level)};
}

// --- PCM streams ---------------------------------------------------------------------------

snd_pcm_t* open_stream(const char* name, snd_pcm_stream_t dir, std::string* err) {
    snd_pcm_t* h = nullptr;
    int e = snd_pcm_open(&h, name, dir, 0);
    if (e < 0) {
        *err = format("cannot open %s: %s", name, snd_strerror(e));
        return nullptr;
    }
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t period = kPeriod;
    snd_pcm_uframes_t buffer = kPeriod * 4;
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

double trigger_time(snd_pcm_t* h) {
    snd_pcm_status_t* st;
    snd_pcm_status_alloca(&st);
    if (snd_pcm_status(h, st) < 0) return 0;
    snd_htimestamp_t ts;
    snd_pcm_status_get_trigger_htstamp(st, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Plays the input signal into hw:0,1 from frame 0 on, without a break, until stopped.
class Player {
  public:
    bool start(std::string* err) {
        pcm_ = open_stream("hw:0,1", SND_PCM_STREAM_PLAYBACK, err);
        if (pcm_ == nullptr) return false;
        thread_ = std::thread([this] { run(); });
        // The trigger time exists once the stream runs (a buffer's worth is queued).
        const double deadline = now() + 2;
        while (started_.load() == 0 && now() < deadline) sleep_for(0.002);
        if (started_.load() == 0) {
            *err = "playback of hw:0,1 did not start within 2 s";
            return false;
        }
        return true;
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (pcm_ != nullptr) snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }
    ~Player() { stop(); }
    double trigger() const { return trigger_; }
    uint64_t xruns() const { return xruns_; }

  private:
    void run() {
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
    snd_pcm_t* pcm_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> started_{0};
    double trigger_ = 0;
    std::atomic<uint64_t> xruns_{0};
};

// Records hw:1,1 into memory, without a break, until stopped.
class Recorder {
  public:
    bool start(std::string* err) {
        pcm_ = open_stream("hw:1,1", SND_PCM_STREAM_CAPTURE, err);
        if (pcm_ == nullptr) return false;
        int e = snd_pcm_start(pcm_);
        if (e < 0) {
            *err = format("cannot start capture of hw:1,1: %s", snd_strerror(e));
            return false;
        }
        trigger_ = trigger_time(pcm_);
        frames_.reserve(kRate * 20);
        thread_ = std::thread([this] { run(); });
        return true;
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (pcm_ != nullptr) snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }
    ~Recorder() { stop(); }
    double trigger() const { return trigger_; }
    // Frames recorded so far; the recording is read only after stop().
    uint64_t position() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.size();
    }
    const std::vector<Frame>& frames() const { return frames_; }
    uint64_t xruns() const { return xruns_; }

  private:
    void run() {
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
    snd_pcm_t* pcm_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Frame> frames_;
    double trigger_ = 0;
    std::atomic<uint64_t> xruns_{0};
};

// --- The service process ---------------------------------------------------------------------

struct Line {
    bool err;
    std::string text;
    double time;
};

class Service {
  public:
    bool start(const char* binary, std::string* err) {
        const char* argv[] = {binary, nullptr};
        return start_process(argv, false, err);
    }

    // The installed service's lines, from now on, with the journal's times (CLOCK_MONOTONIC, as
    // now()) rather than the times they reached this process.
    bool start_journal(std::string* err) {
        // --since counts whole seconds of the wall clock: the second before is read too, and its
        // lines are dropped by their monotonic time.
        journal_start_ = now();
        const std::string since =
            format("--since=@%lld", static_cast<long long>(time(nullptr)) - 1);
        const char* argv[] = {"journalctl",
                              "--follow",
                              "--quiet",
                              "--output=short-monotonic",
                              "--lines=all",
                              since.c_str(),
                              "--unit=hdmi-preview-audio.service",
                              nullptr};
        return start_process(argv, true, err);
    }

    bool start_process(const char* const* argv, bool journal, std::string* err) {
        journal_ = journal;
        int out[2], errp[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(errp, O_CLOEXEC) != 0) {
            *err = format("pipe: %s", strerror(errno));
            return false;
        }
        pid_ = fork();
        if (pid_ < 0) {
            *err = format("fork: %s", strerror(errno));
            return false;
        }
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(errp[1], 2);
            execvp(argv[0], const_cast<char* const*>(argv));
            _exit(127);
        }
        close(out[1]);
        close(errp[1]);
        reader_ = std::thread([this, o = out[0], e = errp[0]] { read_lines(o, e); });
        return true;
    }

    // Waits until a line starting with `prefix` arrives (index >= `from`); returns its index or -1.
    int wait_line(const std::string& prefix, double timeout, size_t from = 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        int found = -1;
        // Checked once more after the deadline: the line may have come with the wake-up.
        cond_.wait_until(lock, deadline, [&] {
            for (size_t i = from; i < lines_.size(); ++i) {
                if (lines_[i].text.compare(0, prefix.size(), prefix) == 0) {
                    found = static_cast<int>(i);
                    return true;
                }
            }
            return eof_;
        });
        return found;
    }
    Line line(int i) {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.at(i);
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }
    bool alive() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    void signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }
    std::string transcript() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string t;
        for (const Line& l : lines_) t += format("%s%s | ", l.err ? "E:" : "", l.text.c_str());
        return t;
    }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
    }
    ~Service() { stop(); }

  private:
    void read_lines(int out, int err) {
        std::string pending[2];
        struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        int open_count = 2;
        while (open_count > 0) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                char buf[512];
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_count;
                    continue;
                }
                const double t = now();
                pending[i].append(buf, n);
                size_t nl;
                while ((nl = pending[i].find('\n')) != std::string::npos) {
                    Line line{i == 1, pending[i].substr(0, nl), t};
                    pending[i].erase(0, nl + 1);
                    if (journal_ && !from_journal(&line)) continue;
                    std::lock_guard<std::mutex> lock(mutex_);
                    lines_.push_back(line);
                    cond_.notify_all();
                }
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        eof_ = true;
        cond_.notify_all();
    }
    // "[  12.345678] host hdmi-preview-audio[123]: text" becomes the text at 12.345678 s; the
    // journal merges standard output and error.
    bool from_journal(Line* line) const {
        const std::string& t = line->text;
        const size_t close = t.find("] ");
        const size_t colon = close == std::string::npos ? close : t.find("]: ", close + 2);
        if (t.empty() || t[0] != '[' || colon == std::string::npos) return false;
        line->time = strtod(t.c_str() + 1, nullptr);
        line->text = t.substr(colon + 3);
        line->err = false;
        return line->time >= journal_start_;
    }
    bool journal_ = false;
    double journal_start_ = 0;
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<Line> lines_;
    bool eof_ = false;
};

std::string get_prop(const char* key) {
    char v[PROPERTY_VALUE_MAX];
    property_get(key, v, "");
    return v;
}

// Through the tool when testing the installed package, as its users do.
bool set_prop_with_tool(const char* key, const char* value) {
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("hdmi-preview-prop", "hdmi-preview-prop", "set", key, value,
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

void set_prop(const char* key, const char* value) {
    if (installed ? !set_prop_with_tool(key, value) : property_set(key, value) != 0) {
        fprintf(stderr, "systest: cannot set %s to %s%s\n", key, value,
                installed ? " with hdmi-preview-prop" : "");
        exit(2);
    }
}

// Waits until the trigger reads `value`; returns the time it was seen, or 0 at the deadline.
double wait_prop(const char* key, const char* value, double timeout) {
    const double deadline = now() + timeout;
    for (;;) {
        if (get_prop(key) == value) return now();
        if (now() > deadline) return 0;
        sleep_for(0.001);
    }
}

// --- Comparing a recording with the input ----------------------------------------------------

struct Segment {
    uint64_t rec_first;  // recording index of the segment's first frame
    uint64_t in_first;   // input index it carries
    uint64_t frames;
};

struct Analysis {
    std::vector<Segment> segments;  // runs of frames that equal the gained input, in order
    uint64_t mismatched = 0;        // frames that are neither silence nor a gained input frame
    uint64_t silent_inside = 0;     // silent frames between the first and last signal frames
    std::vector<int> level_of_segment;
    int64_t level_switch = -1;  // recording index of the first frame at the second level
    int64_t last_first_level = -1;
    uint64_t first_signal = 0, last_signal = 0;
    bool any_signal = false;
};

// Walks the recording; `levels` are the levels in the order they were set. A frame is matched
// when it equals the gain of the input frame at the current offset with the current level or
// the next one; otherwise the offset is looked up anew from the frame's content.
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
            index[li].emplace(key(expected(k, levels[li])), k);
    }
    constexpr uint64_t kConfirm = 32;
    auto confirms = [&](uint64_t r, uint64_t k, int level) {
        for (uint64_t i = 0; i < kConfirm && r + i <= a.last_signal; ++i) {
            if (!(rec[r + i] == expected(k + i, level))) return false;
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
            if (f == expected(k, levels[li])) {
                if (li == 0) a.last_first_level = r;
                ++a.segments.back().frames;
                continue;
            }
            if (li + 1 < levels.size() && f == expected(k, levels[li + 1])) {
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

// --- The tests ---------------------------------------------------------------------------------

struct Rig {
    Service service;
    Player player;
    Recorder recorder;
    bool ok = false;
    std::string error;

    // `binary` is null for the installed service, which is already running.
    bool start(const char* binary) {
        set_prop(kTrigger, "0");
        set_prop(kLevel, "7");
        ok = recorder.start(&error) && player.start(&error) &&
             (binary != nullptr ? service.start(binary, &error) : service.start_journal(&error));
        return ok;
    }
    void stop() {
        service.stop();
        player.stop();
        recorder.stop();
    }
};

double seconds_of(uint64_t frames) { return static_cast<double>(frames) / kRate; }

// Start, the levels in turn over 3 s, stop: bit-exact gain, the block-wise level change (with more
// than one level), the stop within a block and the acknowledgement, with the latency and the
// reaction times. `binary` is null for the installed service.
void test_stream(const char* binary, const std::vector<int>& levels) {
    Rig rig;
    if (!rig.start(binary)) {
        report(false, "stream_setup", rig.error);
        return;
    }
    const double per_level = 3.0 / levels.size();
    set_prop(kLevel, std::to_string(levels[0]).c_str());
    // Reactions count from the start of the write: through the tool a write takes an exec.
    const double t_start = now();
    set_prop(kTrigger, "1");
    const int cap = rig.service.wait_line("Capturing sample: 2 ch, 48000 hz, 16 bit", 3);
    report(cap >= 0, "start_prints_format",
           "no \"Capturing sample\" line within 3 s: " + rig.service.transcript());
    if (cap < 0) return;
    const double t_capturing = rig.service.line(cap).time;
    for (size_t i = 1; i < levels.size(); ++i) {
        sleep_for(per_level);
        set_prop(kLevel, std::to_string(levels[i]).c_str());
    }
    sleep_for(per_level);
    const double t_stop_begin = now();
    set_prop(kTrigger, "0");
    const double t_stop = now();
    // The trigger first: the service's lines may come later than its writes (the journal).
    const double t_ack = wait_prop(kTrigger, "2", 3);
    const int done = rig.service.wait_line("Captured ", 3, cap);
    const int pexit = rig.service.wait_line("prop exit", 3, cap);
    // Pad: the frames the service played last need the rest of a period to reach hw:1,1.
    sleep_for(0.3);
    rig.player.stop();
    rig.recorder.stop();
    const double t_captured = done >= 0 ? rig.service.line(done).time : 0;
    std::string captured_text = done >= 0 ? rig.service.line(done).text : "";
    rig.service.stop();

    report(done >= 0 && pexit > done && t_ack > 0, "stop_acknowledged",
           format("Captured line %d, prop exit line %d, trigger 2 seen %d: %s", done, pexit,
                  t_ack > 0, rig.service.transcript().c_str()));

    const double input_span = now() - rig.player.trigger() + 1;
    const uint64_t input_frames = static_cast<uint64_t>(input_span * kRate) + 8 * kPeriod;
    const auto& rec = rig.recorder.frames();
    Analysis a = analyse(rec, input_frames, levels);
    uint64_t matched = 0;
    for (const Segment& s : a.segments) matched += s.frames;
    const bool exact = a.any_signal && a.segments.size() == 1 && a.mismatched == 0 &&
                       a.silent_inside == 0 && matched == a.last_signal - a.first_signal + 1;
    report(
        exact, "gain_bit_exact",
        format("signal %d, segments %zu, mismatched %llu, silent inside %llu, matched %llu "
               "of %llu, second segment at %lld, xruns: player %llu, recorder %llu",
               a.any_signal, a.segments.size(), (unsigned long long)a.mismatched,
               (unsigned long long)a.silent_inside, (unsigned long long)matched,
               (unsigned long long)(a.any_signal ? a.last_signal - a.first_signal + 1 : 0),
               a.segments.size() > 1 ? (long long)(a.segments[1].rec_first - a.first_signal) : -1LL,
               (unsigned long long)rig.player.xruns(), (unsigned long long)rig.recorder.xruns()));
    if (!exact) return;
    const Segment& s = a.segments.front();

    // The level is read once per block, so the switch falls on a block boundary of the
    // service's stream, which starts with the first frame played.
    if (levels.size() > 1) {
        bool switch_ok = a.level_switch > 0;
        uint64_t boundary = 0;
        if (switch_ok) {
            const uint64_t from_first = a.level_switch - s.rec_first;
            boundary = s.rec_first + (from_first + kBlockFrames - 1) / kBlockFrames * kBlockFrames;
            switch_ok = static_cast<uint64_t>(a.last_first_level) < boundary &&
                        boundary <= static_cast<uint64_t>(a.level_switch);
        }
        report(switch_ok, "level_change_per_block",
               format("level switch at %lld, last frame at the first level %lld, block boundary "
                      "%llu",
                      (long long)a.level_switch, (long long)a.last_first_level,
                      (unsigned long long)boundary));
    }

    // Recording index r is captured at recorder trigger + r/rate; input index k is played at
    // player trigger + k/rate.
    const double t_rec0 = rig.recorder.trigger();
    const double t_play0 = rig.player.trigger();
    const double latency = (t_rec0 + seconds_of(s.rec_first)) - (t_play0 + seconds_of(s.in_first));
    figure("latency_capture_to_playback", "%.1f ms", latency * 1e3);
    figure("start_reaction_line", "%.1f ms (trigger 1 to \"Capturing sample\")",
           (t_capturing - t_start) * 1e3);
    figure("start_reaction_audio", "%.1f ms (trigger 1 to first gained frame at hw:1,1)",
           (t_rec0 + seconds_of(a.first_signal) - t_start) * 1e3);

    // The frame count of the run, and what it says about the stop: the service played input
    // frames in_first .. in_first+N-1; the last of them was captured no earlier than it was
    // played into hw:0,0, and all of it was read before the trigger was cleared (a block read
    // after that is dropped).
    unsigned long long n = 0;
    sscanf(captured_text.c_str(), "Captured %llu frames", &n);
    const double t_last_kept = t_play0 + seconds_of(s.in_first + n);
    // The trigger turned 0 between t_stop_begin and t_stop.
    const double stop_margin = t_stop - t_last_kept;
    const double block = seconds_of(kBlockFrames);
    report(n > 0 && n % kBlockFrames == 0 && stop_margin > -0.002 &&
               t_stop_begin - t_last_kept < 2 * block + 0.01,
           "stop_within_a_block",
           format("%llu frames played; last kept block ended %.1f ms before the stop (written "
                  "in %.1f ms; a block is %.1f ms)",
                  n, stop_margin * 1e3, (t_stop - t_stop_begin) * 1e3, block * 1e3));
    figure("stop_margin", "%.1f ms (end of the last block played to trigger 0)", stop_margin * 1e3);
    if (installed)
        figure("trigger_write", "%.1f ms (hdmi-preview-prop set)", (t_stop - t_stop_begin) * 1e3);
    figure("stop_reaction_line", "%.1f ms (trigger 0 to \"Captured N frames\")",
           (t_captured - t_stop_begin) * 1e3);
    figure("stop_reaction_ack", "%.1f ms (trigger 0 to trigger \"2\")",
           (t_ack - t_stop_begin) * 1e3);
    figure("stop_reaction_audio", "%.1f ms (trigger 0 to last gained frame at hw:1,1)",
           (t_rec0 + seconds_of(a.last_signal + 1) - t_stop_begin) * 1e3);
    figure("stream_xruns", "player %llu, recorder %llu", (unsigned long long)rig.player.xruns(),
           (unsigned long long)rig.recorder.xruns());
}

// SIGINT ends the run; the service acknowledges and keeps polling, but never streams again.
void test_sigint(const char* binary) {
    Rig rig;
    if (!rig.start(binary)) {
        report(false, "sigint_setup", rig.error);
        return;
    }
    set_prop(kTrigger, "1");
    const int cap = rig.service.wait_line("Capturing sample", 3);
    sleep_for(0.5);
    const double t_int = now();
    rig.service.signal(SIGINT);
    const int done = rig.service.wait_line("Captured ", 3, cap >= 0 ? cap : 0);
    const double t_ack = wait_prop(kTrigger, "2", 3);
    const int pexit = rig.service.wait_line("prop exit", 3, done >= 0 ? done : 0);
    unsigned long long n = 0;
    if (done >= 0) sscanf(rig.service.line(done).text.c_str(), "Captured %llu", &n);
    report(
        cap >= 0 && done > cap && n > 0 && pexit > done && t_ack > 0 && rig.service.alive(),
        "sigint_ends_run",
        format("Capturing %d, Captured %d (%llu frames), prop exit %d, trigger 2 %d, alive %d: %s",
               cap, done, n, pexit, t_ack > 0, rig.service.alive(),
               rig.service.transcript().c_str()));
    if (done >= 0)
        figure("sigint_reaction", "%.1f ms", (rig.service.line(done).time - t_int) * 1e3);

    // Still polling: a new trigger opens the streams, but the cleared flag ends the run at once.
    set_prop(kTrigger, "1");
    const int cap2 = rig.service.wait_line("Capturing sample", 3, pexit >= 0 ? pexit + 1 : 0);
    const int done2 = rig.service.wait_line("Captured 0 frames", 3, cap2 >= 0 ? cap2 : 0);
    const double t_ack2 = wait_prop(kTrigger, "2", 3);
    report(cap2 >= 0 && done2 > cap2 && t_ack2 > 0 && rig.service.alive(), "sigint_polling_goes_on",
           format("Capturing %d, Captured 0 %d, trigger 2 %d: %s", cap2, done2, t_ack2 > 0,
                  rig.service.transcript().c_str()));
    rig.stop();
}

// A playback device that another process holds fails the run at once, and the next run works.
void test_busy(const char* binary) {
    set_prop(kTrigger, "0");
    set_prop(kLevel, "7");
    std::string err;
    snd_pcm_t* holder = nullptr;
    int e = snd_pcm_open(&holder, "hw:1,0", SND_PCM_STREAM_PLAYBACK, 0);
    if (e < 0) {
        report(false, "busy_setup", format("cannot hold hw:1,0: %s", snd_strerror(e)));
        return;
    }
    Service service;
    if (!service.start(binary, &err)) {
        snd_pcm_close(holder);
        report(false, "busy_setup", err);
        return;
    }
    const double t0 = now();
    set_prop(kTrigger, "1");
    const int fail = service.wait_line("Unable to open PCM device 0 (", 3);
    const int done = service.wait_line("Captured 0 frames", 3, fail >= 0 ? fail : 0);
    const double t_ack = wait_prop(kTrigger, "2", 3);
    const bool on_stderr = fail >= 0 && service.line(fail).err;
    report(fail >= 0 && on_stderr && done > fail && t_ack > 0, "busy_playback_fails_at_once",
           format("error line %d (stderr %d), Captured 0 %d, trigger 2 %d: %s", fail, on_stderr,
                  done, t_ack > 0, service.transcript().c_str()));
    if (fail >= 0) {
        figure("busy_failure_reaction", "%.1f ms (trigger 1 to the open error)",
               (service.line(fail).time - t0) * 1e3);
        figure("busy_failure_text", "%s", service.line(fail).text.c_str());
    }
    snd_pcm_close(holder);

    // Released: the next trigger streams (the failed run left nothing open).
    Recorder recorder;
    Player player;
    if (!recorder.start(&err) || !player.start(&err)) {
        report(false, "busy_then_free", err);
        return;
    }
    const size_t from = service.count();
    set_prop(kTrigger, "1");
    const int cap = service.wait_line("Capturing sample", 3, from);
    set_prop(kTrigger, "0");
    const int done2 = service.wait_line("Captured ", 3, cap >= 0 ? cap : from);
    report(cap >= 0 && done2 > cap, "busy_then_free",
           format("Capturing %d, Captured %d: %s", cap, done2, service.transcript().c_str()));
    service.stop();
}

// A stalled service (SIGSTOP for 1.2 s) overruns and underruns; after SIGCONT it recovers and
// streams on, still bit-exact.
void test_stall(const char* binary) {
    Rig rig;
    if (!rig.start(binary)) {
        report(false, "stall_setup", rig.error);
        return;
    }
    set_prop(kLevel, "7");
    set_prop(kTrigger, "1");
    const int cap = rig.service.wait_line("Capturing sample", 3);
    sleep_for(0.8);
    rig.service.signal(SIGSTOP);
    sleep_for(1.2);
    const double t_cont = now();
    rig.service.signal(SIGCONT);
    sleep_for(1.5);
    const bool still_running = rig.service.wait_line("Captured ", 0, cap >= 0 ? cap : 0) < 0;
    set_prop(kTrigger, "0");
    const int done = rig.service.wait_line("Captured ", 3, cap >= 0 ? cap : 0);
    sleep_for(0.3);
    rig.player.stop();
    rig.recorder.stop();
    rig.service.stop();

    const double input_span = now() - rig.player.trigger() + 1;
    Analysis a = analyse(rig.recorder.frames(),
                         static_cast<uint64_t>(input_span * kRate) + 8 * kPeriod, {7});
    // Signal after the resume: frames of segments that start after SIGCONT.
    const double t_rec0 = rig.recorder.trigger();
    uint64_t after = 0;
    for (const Segment& s : a.segments) {
        if (t_rec0 + seconds_of(s.rec_first) >= t_cont - 0.05) after += s.frames;
    }
    report(cap >= 0 && still_running && done >= 0 && a.mismatched == 0 && a.segments.size() >= 2 &&
               after >= kRate,
           "stall_recovered",
           format("Capturing %d, run survived %d, Captured %d, segments %zu, mismatched %llu, "
                  "frames after resume %llu: %s",
                  cap, still_running, done, a.segments.size(), (unsigned long long)a.mismatched,
                  (unsigned long long)after, rig.service.transcript().c_str()));
    if (a.segments.size() >= 2) {
        const Segment& s = a.segments.back();
        const double latency =
            (t_rec0 + seconds_of(s.rec_first)) - (rig.player.trigger() + seconds_of(s.in_first));
        figure("latency_after_stall", "%.1f ms (gap %.1f ms)", latency * 1e3,
               seconds_of(a.silent_inside) * 1e3);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SERVICE_BINARY | --installed\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (strcmp(argv[1], "--installed") == 0) {
        installed = true;
        test_stream(nullptr, {7});
        printf("SYSTEST DONE %d failed\n", failures);
        return failures == 0 ? 0 : 1;
    }
    // The service is started with this environment, so both use one property store.
    const char* dir = getenv("HDMI_PREVIEW_PROPERTY_DIR");
    if (dir == nullptr || dir[0] == '\0') {
        fprintf(stderr, "systest: HDMI_PREVIEW_PROPERTY_DIR is not set\n");
        return 2;
    }
    test_stream(argv[1], {5, 9});
    test_sigint(argv[1]);
    test_busy(argv[1]);
    test_stall(argv[1]);
    printf("SYSTEST DONE %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
