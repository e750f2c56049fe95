// The fault storm: the real service on a pair of virtual cards, driven through hundreds of
// preview cycles a minute picked at random from a seed (run lengths, stop kinds, level texts,
// card faults, stalls, SIGINT, the controller's 1 racing the service's 2, descriptors running out,
// a stepped clock), with the contract checked after every cycle and the process's descriptors,
// memory and threads checked at the end of each service process ("epoch").
//
//   storm [--seconds N] [--seed S] [--cycles C]
//
// Default 60 s, seed from the clock (always printed); each process runs a random 3..40 cycles
// before its SIGINT, or C of them (a long process shows a slow leak: the time still ends it).
//
// Prints one line per violation (epoch, cycle, seed, what differed) and one summary line; exits
// 1 on any violation or leak, 2 on a usage error.

#include <cutils/properties.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol_lines.h"
#include "service_process.h"
#include "virtual_rig.h"

#if defined(__SANITIZE_ADDRESS__)
#define STORM_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STORM_UNDER_ASAN 1
#endif
#endif
#ifndef STORM_UNDER_ASAN
#define STORM_UNDER_ASAN 0
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 6s;
constexpr size_t kInputBlocks = 1024;
// Anonymous memory a process may gain between its first cycle and its last without counting as a
// leak: allocator slack, not a per-cycle cost (a leaked stream handle per run would pass it
// within a few hundred runs). Under ASan the quarantine holds freed blocks, so it is only shown.
constexpr long kRssSlackKb = 192;

const std::string kAckRefusedDir = acknowledgement_error_line("Is a directory");
const std::string kWriteFailed = kWriteErrorLine;
const std::string kCapturedPrefix = captured_line(0).substr(0, captured_line(0).find('0'));
// The store's reports of a failed read that running out of descriptors causes.
const std::set<std::string> kNoDescriptors = {
    kUnreadablePrefix + kTrigger + " (Too many open files)",
    kUnreadablePrefix + kLevel + " (Too many open files)"};
const std::string kOpenCaptureFailed =
    capture_open_error_line("cannot open device 'hw:0,0': No such device");
const std::string kOpenPlaybackFailed =
    playback_open_error_line(0, "cannot open device 'hw:1,0': No such device");

// --- The service's reading of a stored text, as doc/protocol.md describes it ---------------------

// What property_get gives for a file holding `bytes` (a default of "0"): files over 92 bytes are
// unset, one trailing newline is dropped, a value must be 1..91 characters and ends at a NUL.
std::string stored_value(const std::string& bytes, const std::string& unset = "0") {
    if (bytes.size() > PROPERTY_VALUE_MAX) return unset;
    std::string v = bytes;
    if (!v.empty() && v.back() == '\n') v.pop_back();
    if (v.empty() || v.size() >= PROPERTY_VALUE_MAX) return unset;
    v = v.c_str();
    return v.empty() ? unset : v;
}

int atoi_of(const std::string& bytes) { return atoi(stored_value(bytes).c_str()); }

bool means_run(const std::string& bytes) { return atoi_of(bytes) == 1; }

// --- Small helpers -----------------------------------------------------------------------------

// Binary texts (levels, triggers) as one line of text: \xHH for anything but printable ASCII.
std::string printable(const std::string& text) {
    std::string out;
    for (const unsigned char ch : text) {
        if (ch >= 0x20 && ch < 0x7f) {
            out += static_cast<char>(ch);
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", ch);
            out += hex;
        }
    }
    return out;
}

size_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

Samples read_slice(const std::string& path, size_t offset, size_t bytes) {
    Samples out(bytes / 2);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    size_t got = 0;
    char* dst = reinterpret_cast<char*>(out.data());
    while (got < out.size() * 2) {
        const ssize_t n = pread(fd, dst + got, out.size() * 2 - got, offset + got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    out.resize(got / 2);
    return out;
}

// Replaces `path` with a regular file holding `bytes`, by rename, so a reader sees old or new.
bool replace_file(const std::string& scratch, const std::string& path, const std::string& bytes) {
    const std::string tmp = scratch + "/storm.tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

std::string proc_status_field(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
    }
    return "";
}

struct Usage {
    long fds = -1;
    long rss_kb = -1;
    long rss_anon_kb = -1;
    long threads = -1;
};

Usage usage_of(pid_t pid) {
    Usage u;
    std::error_code ec;
    long fds = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++fds;
    }
    u.fds = ec ? -1 : fds;
    u.rss_kb = atol(proc_status_field(pid, "VmRSS").c_str());
    u.rss_anon_kb = atol(proc_status_field(pid, "RssAnon").c_str());
    u.threads = atol(proc_status_field(pid, "Threads").c_str());
    return u;
}

std::string usage_text(const Usage& u) {
    return "fd " + std::to_string(u.fds) + ", RSS " + std::to_string(u.rss_kb) + " kB (anon " +
           std::to_string(u.rss_anon_kb) + "), threads " + std::to_string(u.threads);
}

// --- The random plan ---------------------------------------------------------------------------

// kUnset is never planned: it is a directory stop whose directory came too late (below).
enum class Stop { kZero, kGarbage, kSymlink, kFifo, kDirectory, kOverlong, kBinary, kUnset };
const char* const kStopNames[] = {"zero",      "garbage",  "symlink", "fifo",
                                  "directory", "overlong", "binary",  "unset"};

// Texts a controller might write: those that mean 1 start (or keep) a run, the others stop it.
const char* const kRunTexts[] = {"1", "01", "+1", " 1", "1abc", "1.5", "001", "\t1", "1 ", "1\n"};
const char* const kStopTexts[] = {"2",   "",    " ",    "-1", "10", "11", "stop", "+-1",
                                  "0x1", "  0", "abc1", "\n", "-0", "x1", "٣",    "21"};
const char* const kLevelTexts[] = {"",
                                   " ",
                                   "\t",
                                   "+",
                                   "-",
                                   "+7",
                                   "-7",
                                   "-0",
                                   "07",
                                   " 3",
                                   "3 ",
                                   "3abc",
                                   "abc",
                                   "14",
                                   "-1",
                                   "1e3",
                                   "0x7",
                                   "32767",
                                   "32768",
                                   "65535",
                                   "65536",
                                   "65543",
                                   "2147483647",
                                   "2147483648",
                                   "-2147483649",
                                   "99999999999999999999",
                                   "-99999999999999999999",
                                   "7\n",
                                   "5\n\n",
                                   "\n"};

struct Cycle {
    int blocks = 0;  // blocks played before the stop
    Stop stop = Stop::kZero;
    std::string stop_bytes;   // for kGarbage, kOverlong, kBinary
    std::string start_bytes;  // means 1
    // 0: a file holding `level`; no value: 1 unset, 2 a symlink to a file holding 7, 3 a FIFO,
    // 4 a directory.
    int level_kind = 0;
    std::string level;  // bytes of the level file
    bool change_level = false;
    std::string level2;
    bool reassert = false;  // a second text meaning 1 during the run: must not stop it
    std::string reassert_bytes;
    bool race = false;  // a new 1 written just as the run closes
    int race_delay_us = 0;
    bool stall = false;
    int stall_ms = 0;
    bool stall_late = false;  // right after the stop (or SIGINT) instead of in the middle
    bool stall_in_sigint_cycle = false;  // a stall in the cycle that interrupts the process
    int idle_ms = 0;
    int nofile = 0;        // descriptors run out: 1 while idle, 2 while streaming
    int nofile_ms = 0;     // for so long past the first failed read
    int clock_step_s = 0;  // the files' times stepped by this much after each write (0: not)
};

// Whether the level file holds one of "0".."7", nothing else.
bool level_valid(const Cycle& c) {
    return c.level_kind == 0 && c.level.size() == 1 && c.level[0] >= '0' && c.level[0] <= '7';
}

struct Epoch {
    int cycles = 0;
    int sigint_cycle = 0;  // SIGINT lands in this cycle
    bool sigint_idle = false;
    int empty_after = 0;  // cycles after the SIGINT, all of them empty
    int absent_card = -1;
    int fail_card = -1;
    int fail_after = 0;
    int ppm[2] = {0, 0};
};

class Plan {
  public:
    explicit Plan(uint64_t seed) : rng_(seed) {}

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

    std::string level_text() {
        // Every draw makes the same number of calls, so a seed gives the same plan however the
        // cycles end.
        const int kind = uniform(0, 9);
        const std::string valid = std::to_string(uniform(0, 7));
        const std::string bad = kLevelTexts[uniform(0, std::size(kLevelTexts) - 1)];
        const std::string binary = random_bytes(uniform(1, 91));
        const std::string overlong = valid + std::string(uniform(91, 200), '0' + uniform(0, 9));
        if (kind < 5) return valid;
        if (kind < 8) return bad;
        if (kind < 9) return binary;
        return overlong;
    }

    std::string random_bytes(int n) {
        std::string out(n, '\0');
        for (char& c : out) c = static_cast<char>(uniform(0, 255));
        return out;
    }

    Epoch epoch() {
        Epoch e;
        e.cycles = uniform(3, 40);
        e.sigint_cycle = uniform(0, e.cycles - 1);
        e.sigint_idle = chance(0.3);
        e.empty_after = uniform(1, 3);
        const int fault = uniform(0, 99);
        const int card = uniform(0, 1);
        const int n = uniform(0, 8);
        const int ppm0 = uniform(-3000, 3000);
        const int ppm1 = uniform(-3000, 3000);
        if (fault < 8) {
            e.absent_card = card;
        } else if (fault < 30) {
            e.fail_card = card;
            e.fail_after = n;
        }
        if (fault >= 60) {
            e.ppm[0] = ppm0;
            e.ppm[1] = ppm1;
        }
        return e;
    }

    Cycle cycle() {
        Cycle c;
        c.blocks = uniform(0, 5);
        c.stop = static_cast<Stop>(uniform(0, 99) < 40 ? 0 : uniform(1, 6));
        std::string garbage = kStopTexts[uniform(0, std::size(kStopTexts) - 1)];
        if (means_run(garbage)) garbage = "0";
        std::string binary = random_bytes(uniform(1, 91));
        if (means_run(binary)) binary[0] = 'x';
        const std::string overlong = "1" + random_bytes(uniform(91, 300));
        c.stop_bytes = c.stop == Stop::kGarbage    ? garbage
                       : c.stop == Stop::kOverlong ? overlong
                       : c.stop == Stop::kBinary   ? binary
                                                   : "0";
        // An over-long file that ends in a newline is 91 characters and a value when it is 92.
        if (c.stop == Stop::kOverlong && c.stop_bytes.size() == PROPERTY_VALUE_MAX + 1u) {
            c.stop_bytes.back() = 'x';
        }
        c.start_bytes = kRunTexts[uniform(0, std::size(kRunTexts) - 1)];
        const int kind = uniform(0, 99);
        c.level_kind = kind < 88 ? 0 : kind < 91 ? 1 : kind < 94 ? 2 : kind < 97 ? 3 : 4;
        c.level = level_text();
        c.change_level = chance(0.25);
        c.level2 = level_text();
        c.reassert = chance(0.15);
        c.reassert_bytes = kRunTexts[uniform(0, std::size(kRunTexts) - 1)];
        c.race = chance(0.15);
        c.race_delay_us = uniform(0, 1000);
        c.stall = chance(0.05);
        c.stall_ms = uniform(0, 1500);
        c.stall_late = chance(0.5);
        c.stall_in_sigint_cycle = chance(0.3);
        c.idle_ms = uniform(0, 20);
        c.nofile = uniform(0, 99) < 15 ? std::min(uniform(1, 3), 2) : 0;
        c.nofile_ms = uniform(0, 150);
        c.clock_step_s = chance(0.1) ? uniform(-20 * 365, 20 * 365) * 86400 : 0;
        return c;
    }

  private:
    std::mt19937_64 rng_;
};

// --- Figures -----------------------------------------------------------------------------------

struct Figures {
    int epochs = 0;
    long cycles = 0;
    std::map<std::string, long> ends;    // how runs ended
    std::map<std::string, long> faults;  // faults applied
    long race_2_won = 0;
    long race_1_stood = 0;
    long levels_valid = 0;
    long levels_invalid = 0;
    long violations = 0;
    Usage first, last;  // of the epoch with the most cycles
    long first_cycles = -1;
    long fd_growth = 0, thread_growth = 0, rss_anon_growth_kb = 0;
};

// --- One service process -----------------------------------------------------------------------

class Storm {
  public:
    Storm(uint64_t seed, Clock::time_point end, int epoch_cycles)
        : seed_(seed), plan_(seed), end_(end), epoch_cycles_(epoch_cycles) {}

    void run();
    const Figures& figures() const { return fig_; }

  private:
    // What a cycle did, for its checks.
    struct Acted {
        size_t first_line = 0;        // the run's first output line
        bool sigint = false;          // SIGINT lands in this cycle, while idle or in the run
        bool sigint_sent = false;     // it was sent while the process was stopped
        bool stall = false;           // the process was stopped for the cycle's stall_ms
        bool empty = false;           // a SIGINT came before the run: it moves nothing
        bool ran_out = false;         // descriptors ran out
        bool level2_written = false;  // the second level was written during the run
        bool stopped = false;  // our stop was written (the run may have ended on its own meanwhile)
        Stop stop = Stop::kZero;  // the planned stop, or kUnset when its directory came too late
        bool raced = false;       // a new 1 was written as the run closed
    };

    bool run_epoch(const Epoch& e);
    bool run_cycle(const Epoch& e, const Cycle& c, bool sigint_now, bool interrupted);

    // Acts out `c` up to the run's "prop exit": the level, the start, the faults during the run
    // and its stop. False when the service did not answer in time (reported).
    bool act(const Epoch& e, const Cycle& c, bool sigint_now, bool interrupted, Acted* a);
    bool act_during_run(const Epoch& e, const Cycle& c, bool sigint_in_run, Acted* a);
    bool write_level(const Cycle& c);             // false with errno set
    bool write_stop(const Cycle& c, Stop* stop);  // false with errno set
    void step_clock(const Cycle& c);
    bool run_out_of_descriptors(const Cycle& c, bool idle, Acted* a);
    std::string context(const Cycle& c, const Acted& a) const;

    // Compares the run's lines, audio and acknowledgement with what `a` says was done; false on
    // any difference, and when the lines did not parse.
    bool check(const Epoch& e, const Cycle& c, const Acted& a, const RunLines& run, bool parsed);
    std::string check_end(const Epoch& e, const Acted& a, const RunLines& run, size_t played,
                          size_t delivered);
    bool check_audio(const Cycle& c, const Acted& a, size_t played);
    bool check_acknowledgement(const Cycle& c, const Acted& a, bool ended_itself, bool refused);

    void violation(const std::string& what);
    bool fail(const std::string& what);                // a violation; false
    void expect(bool holds, const std::string& what);  // a violation, with the run's lines

    // Reads output for `timeout` or until `done` holds.
    template <typename Done>
    bool until(Done done, std::chrono::milliseconds timeout);
    bool line_after(size_t from, const std::string& prefix) const;
    bool ended(const Acted& a) const { return line_after(a.first_line, kPropExitLine); }
    bool dead();

    uint64_t seed_;
    Plan plan_;
    Clock::time_point end_;
    int epoch_cycles_;  // cycles before each process's SIGINT; 0: from the plan
    Figures fig_;
    int epoch_index_ = 0;
    long cycle_index_ = 0;
    // What the files held at the last acknowledgement.
    size_t played_ = 0;
    size_t delivered_ = 0;
    size_t next_line_ = 0;               // the first output line after the last run's "prop exit"
    bool pending_start_ = false;         // a 1 that stood after the last run: that run follows now
    bool ack_refused_dir_ = false;       // the last acknowledgement was refused by a directory
    ServiceProcess* service_ = nullptr;  // the epoch's
    std::string dir_;
    std::string store_;
    std::string trigger_path_, level_path_;
    std::string played_path_, delivered_path_;  // what card 1 played, what card 0 captured
    std::string run_text_;                      // the run's lines, for the checks' messages
};

void Storm::violation(const std::string& what) {
    ++fig_.violations;
    printf("storm: violation: seed %llu epoch %d cycle %ld: %s\n",
           static_cast<unsigned long long>(seed_), epoch_index_, cycle_index_,
           printable(what).c_str());
    fflush(stdout);
}

bool Storm::fail(const std::string& what) {
    violation(what);
    return false;
}

void Storm::expect(bool holds, const std::string& what) {
    if (!holds) violation(what + " (lines: " + run_text_ + ")");
}

template <typename Done>
bool Storm::until(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        service_->drain_for(2ms);
    }
}

bool Storm::line_after(size_t from, const std::string& prefix) const {
    const auto& lines = service_->lines();
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].text.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

bool Storm::dead() {
    int status;
    return service_->wait_exit(0ms, &status);
}

void Storm::run() {
    while (Clock::now() < end_) {
        Epoch e = plan_.epoch();
        if (epoch_cycles_ > 0) e.sigint_cycle = epoch_cycles_;
        ++epoch_index_;
        ++fig_.epochs;
        run_epoch(e);
    }
}

bool Storm::run_epoch(const Epoch& e) {
    VirtualRig rig;
    dir_ = rig.store().substr(0, rig.store().rfind('/'));
    store_ = rig.store();
    trigger_path_ = store_ + "/" + kTrigger;
    level_path_ = store_ + "/" + kLevel;
    played_path_ = dir_ + "/card1-playback.raw";
    delivered_path_ = dir_ + "/card0-capture-copy.raw";
    played_ = delivered_ = 0;
    next_line_ = 0;
    pending_start_ = false;
    ack_refused_dir_ = false;
    rig.set_input(pseudo_random(kInputBlocks * kBlockFrames));
    // Sanitizer reports end the service at once and fail the cycle that follows.
    rig.add_env("ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=0");
    rig.add_env("UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1");
    if (e.absent_card >= 0) {
        rig.add_env("HDMI_PREVIEW_VCARD" + std::to_string(e.absent_card) + "_ABSENT=1");
        ++fig_.faults["absent"];
    }
    if (e.fail_card >= 0) {
        rig.add_env("HDMI_PREVIEW_VCARD" + std::to_string(e.fail_card) +
                    "_FAIL_AFTER=" + std::to_string(e.fail_after));
        ++fig_.faults[e.fail_card == 0 ? "capture_eio" : "playback_eio"];
    }
    for (int card = 0; card < 2; ++card) {
        if (e.ppm[card] == 0) continue;
        rig.add_env("HDMI_PREVIEW_VCARD" + std::to_string(card) +
                    "_PPM=" + std::to_string(e.ppm[card]));
        ++fig_.faults["ppm"];
    }
    rig.start(/*merge_output=*/true);
    ServiceProcess& service = rig.service();
    service_ = &service;
    if (!service.running()) {
        violation("the service did not start: " + service.error());
        return false;
    }
    if (!rig.wait_interrupt_handler(kDeadline)) {
        violation("the service installed no SIGINT handler within 6 s");
        return false;
    }

    bool ok = true;
    bool interrupted = false;
    Usage first;
    int done = 0;
    int empties = 0;
    for (int i = 0; ok && empties < e.empty_after; ++i) {
        const Cycle c = plan_.cycle();
        ++cycle_index_;
        ++fig_.cycles;
        // When the time is up the process is interrupted at once, and ends after its empty runs.
        const bool sigint_now = !interrupted && (i == e.sigint_cycle || Clock::now() >= end_);
        if (interrupted) ++empties;
        ok = run_cycle(e, c, sigint_now, interrupted);
        if (sigint_now) interrupted = true;
        if (++done == 1 && ok) first = usage_of(service.pid());
    }

    if (ok) {
        // Nothing may be played once the last run was acknowledged.
        std::this_thread::sleep_for(60ms);
        service.drain_for(1ms);
        if (file_size(played_path_) != played_ || file_size(delivered_path_) != delivered_) {
            violation("audio moved after the last acknowledgement");
        }
        const Usage last = usage_of(service.pid());
        const long fd_growth = last.fds - first.fds;
        const long thread_growth = last.threads - first.threads;
        const long anon_growth = last.rss_anon_kb - first.rss_anon_kb;
        fig_.fd_growth = std::max(fig_.fd_growth, fd_growth);
        fig_.thread_growth = std::max(fig_.thread_growth, thread_growth);
        fig_.rss_anon_growth_kb = std::max(fig_.rss_anon_growth_kb, anon_growth);
        if (done > fig_.first_cycles) {
            fig_.first_cycles = done;
            fig_.first = first;
            fig_.last = last;
        }
        if (fd_growth != 0 || thread_growth != 0 ||
            (!STORM_UNDER_ASAN && anon_growth > kRssSlackKb)) {
            violation("after " + std::to_string(done) + " cycles the service holds " +
                      usage_text(last) + ", after its first " + usage_text(first));
        }
    }

    int status = 0;
    if (!service.running()) {
        // Ended on its own, already reported; its last words are read below.
    } else if (service.send_signal(SIGTERM), !service.wait_exit(kDeadline, &status)) {
        violation("the service did not end within 6 s of SIGTERM");
        service.send_signal(SIGKILL);
        service.wait_exit(kDeadline, &status);
    } else if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGTERM) {
        violation("the service ended with status " + std::to_string(status) +
                  " instead of by SIGTERM");
    }
    service.read_to_end(1s);
    // Every acknowledgement finished its rename: no temporary of the store's writes is left.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(store_, ec)) {
        const std::string name = entry.path().filename().string();
        if (name != kTrigger && name != kLevel) violation("the store holds '" + name + "'");
    }
    for (const OutputLine& line : service.lines()) {
        if (line.text.find("runtime error") != std::string::npos ||
            line.text.find("Sanitizer") != std::string::npos) {
            violation("sanitizer: " + line.text);
        }
    }
    return ok;
}

bool Storm::run_cycle(const Epoch& e, const Cycle& c, bool sigint_now, bool interrupted) {
    Acted acted;
    if (!act(e, c, sigint_now, interrupted, &acted)) return false;
    std::vector<std::string> texts;
    for (size_t i = acted.first_line; i < service_->lines().size(); ++i) {
        texts.push_back(service_->lines()[i].text);
    }
    RunLines run;
    const bool parsed = parse_run_lines(texts, &run);
    next_line_ = acted.first_line + run.count;
    return check(e, c, acted, run, parsed);
}

bool Storm::act(const Epoch& e, const Cycle& c, bool sigint_now, bool interrupted, Acted* a) {
    ServiceProcess& service = *service_;
    a->first_line = next_line_;
    a->sigint = sigint_now;
    a->stall = c.stall || (sigint_now && c.stall_in_sigint_cycle);
    a->stop = c.stop;

    // The level for the whole run (a second one may land in the middle).
    if (!write_level(c)) return fail("cannot write the level: " + std::string(strerror(errno)));
    ++(level_valid(c) ? fig_.levels_valid : fig_.levels_invalid);

    // A run that a racing 1 started is already under way: its SIGINT lands in the middle.
    const bool sigint_idle = sigint_now && e.sigint_idle && !pending_start_;
    if (!pending_start_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.idle_ms));
        if (c.nofile == 1 && !run_out_of_descriptors(c, true, a)) return false;
        service.drain_for(1ms);
        if (file_size(played_path_) != played_ || file_size(delivered_path_) != delivered_) {
            return fail("audio moved while idle after the acknowledgement (played " +
                        std::to_string(file_size(played_path_)) + " bytes, " +
                        std::to_string(played_) + " at the acknowledgement)");
        }
        if (ended(*a)) return fail("a run took place without a start");
        if (sigint_idle) {
            service.send_signal(SIGINT);
            ++fig_.faults["sigint"];
        }
        if (!replace_file(dir_, trigger_path_, c.start_bytes)) {
            return fail("cannot write the trigger: " + std::string(strerror(errno)));
        }
        step_clock(c);
    }
    pending_start_ = false;
    a->empty = interrupted || sigint_idle;

    // The run's first line: the capturing line, or an open failure.
    if (!until(
            [&] {
                return line_after(a->first_line, kCapturingLine) ||
                       line_after(a->first_line, "Unable to open") || dead();
            },
            kDeadline)) {
        return fail("no run started within 6 s of trigger '" + c.start_bytes + "'" +
                    context(c, *a));
    }
    if (dead()) return fail("the service ended during the start" + context(c, *a));

    // Only a run that opened its streams is acted on: one that failed to open has already ended,
    // and what is written now would land after its acknowledgement.
    const bool opened_now = line_after(a->first_line, kCapturingLine);
    if (!a->empty && opened_now && !act_during_run(e, c, sigint_now && !sigint_idle, a)) {
        return false;
    }
    // A run may end on its own (a card fault, SIGINT, an open failure); a stop written just as it
    // did lands after the acknowledgement, which is the controller's right.
    service.drain_for(1ms);
    if (sigint_now && !sigint_idle) {
        // Also when the run already ended on its own: the process is interrupted all the same.
        if (!a->sigint_sent) service.send_signal(SIGINT);
        ++fig_.faults["sigint"];
    } else if (!ended(*a) && !a->empty && opened_now) {
        a->stopped = true;
        const bool written = write_stop(c, &a->stop);
        step_clock(c);
        if (!written) {
            return fail(std::string("cannot stop by ") + kStopNames[static_cast<int>(a->stop)] +
                        ": " + strerror(errno));
        }
    }
    // A stall while the run closes: the stop is seen, or the signal handled, only after it.
    if (a->stall && c.stall_late && !a->empty && opened_now) {
        service.send_signal(SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(c.stall_ms));
        service.send_signal(SIGCONT);
        ++fig_.faults["sigstop_at_stop"];
    }
    // The controller's new 1 racing the service's 2: written right after the frame count, while
    // the service writes its acknowledgement.
    if (c.race && a->stopped && a->stop != Stop::kDirectory) {
        if (!until([&] { return line_after(a->first_line, kCapturedPrefix) || dead(); },
                   kDeadline)) {
            return fail("no frame count within 6 s of the stop" + context(c, *a));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(c.race_delay_us));
        if (!replace_file(dir_, trigger_path_, "1")) return fail("cannot write the racing 1");
        a->raced = true;
    }
    if (!until([&] { return ended(*a) || dead(); }, kDeadline)) {
        return fail("no 'prop exit' within 6 s of the stop" + context(c, *a));
    }
    if (dead()) return fail("the service ended during the run" + context(c, *a));
    return true;
}

// The run under way until `c.blocks` blocks were played: a second level, a second text meaning
// 1 (which must not stop it), descriptors running out, a stall with SIGINT sent meanwhile.
bool Storm::act_during_run(const Epoch& e, const Cycle& c, bool sigint_in_run, Acted* a) {
    // Waits until `blocks` more blocks were played, or the run ended on its own.
    auto played_at_least = [&](int blocks) {
        return until(
            [&] {
                return file_size(played_path_) >= played_ + blocks * kBlockBytes || ended(*a) ||
                       dead();
            },
            kDeadline + std::chrono::milliseconds(a->stall ? c.stall_ms : 0));
    };
    if (!played_at_least(c.blocks / 2)) {
        return fail("the run played no audio within 6 s" + context(c, *a));
    }
    if (!ended(*a) && c.change_level && c.level_kind == 0) {
        a->level2_written = replace_file(dir_, level_path_, c.level2);
    }
    // Could land after a run that a card fault ended and start one: left to healthy cards.
    if (!ended(*a) && c.reassert && e.fail_card < 0) {
        replace_file(dir_, trigger_path_, c.reassert_bytes);
    }
    step_clock(c);
    // Once a block was played, the level written for this run has been read.
    if (!ended(*a) && c.nofile == 2 && c.blocks > 1 && e.fail_card < 0 &&
        !run_out_of_descriptors(c, false, a)) {
        return false;
    }
    if (!ended(*a) && a->stall && !c.stall_late) {
        service_->send_signal(SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(c.stall_ms));
        // A SIGINT sent while the process is stopped waits for the SIGCONT.
        if (sigint_in_run) {
            service_->send_signal(SIGINT);
            a->sigint_sent = true;
            ++fig_.faults["sigint_while_stopped"];
        }
        service_->send_signal(SIGCONT);
        ++fig_.faults["sigstop"];
    }
    if (!played_at_least(c.blocks)) {
        return fail("the run stopped playing before its stop" + context(c, *a));
    }
    return true;
}

bool Storm::write_level(const Cycle& c) {
    rmdir(level_path_.c_str());  // what a directory of the last cycle left; a file stays
    switch (c.level_kind) {
        case 0:
            return replace_file(dir_, level_path_, c.level);
        case 1:
            return unlink(level_path_.c_str()) == 0 || errno == ENOENT;
        case 2: {
            const std::string target = dir_ + "/storm-level-target";
            const std::string link = dir_ + "/storm-level-link";
            return replace_file(dir_, target, "7") && symlink(target.c_str(), link.c_str()) == 0 &&
                   rename(link.c_str(), level_path_.c_str()) == 0;
        }
        case 3: {
            const std::string fifo = dir_ + "/storm-level-fifo";
            return mkfifo(fifo.c_str(), 0644) == 0 &&
                   rename(fifo.c_str(), level_path_.c_str()) == 0;
        }
        default:
            return (unlink(level_path_.c_str()) == 0 || errno == ENOENT) &&
                   mkdir(level_path_.c_str(), 0755) == 0;
    }
}

bool Storm::write_stop(const Cycle& c, Stop* stop) {
    switch (*stop) {
        case Stop::kZero:
        case Stop::kGarbage:
        case Stop::kOverlong:
        case Stop::kBinary:
            return replace_file(dir_, trigger_path_, c.stop_bytes);
        case Stop::kSymlink: {
            const std::string target = dir_ + "/storm-target";
            const std::string link = dir_ + "/storm-link";
            return replace_file(dir_, target, "1") && symlink(target.c_str(), link.c_str()) == 0 &&
                   rename(link.c_str(), trigger_path_.c_str()) == 0;
        }
        case Stop::kFifo: {
            const std::string fifo = dir_ + "/storm-fifo";
            return mkfifo(fifo.c_str(), 0644) == 0 &&
                   rename(fifo.c_str(), trigger_path_.c_str()) == 0;
        }
        case Stop::kDirectory:
            // Not atomic: the trigger is missing for a moment, which stops the run too, and the
            // service's "2" may then take the place before the directory does.
            if (unlink(trigger_path_.c_str()) == 0 && mkdir(trigger_path_.c_str(), 0755) == 0) {
                return true;
            }
            if (errno != EEXIST) return false;
            *stop = Stop::kUnset;
            break;
        case Stop::kUnset:
            break;
    }
    return true;
}

// The controller's clock stepped: its files carry far-off times.
void Storm::step_clock(const Cycle& c) {
    const struct timespec t = {time(nullptr) + c.clock_step_s, 0}, times[2] = {t, t};
    for (const std::string& path : {trigger_path_, level_path_}) {
        if (c.clock_step_s != 0) utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    fig_.faults["clock_step"] += c.clock_step_s != 0;
}

// Descriptors run out: the limit drops to the service's lowest free descriptor and the files are
// written anew with their values, so the store's reads fail with EMFILE and the last value read
// (or written: the service's own "2" while idle) must stand.
bool Storm::run_out_of_descriptors(const Cycle& c, bool idle, Acted* a) {
    const pid_t pid = service_->pid();
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    struct rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);  // the service's hard limit is the storm's
    struct rlimit low = {0, old.rlim_max};
    for (struct stat st; lstat((fds + std::to_string(low.rlim_cur)).c_str(), &st) == 0;)
        ++low.rlim_cur;
    const size_t from = service_->lines().size();
    a->ran_out = prlimit(pid, RLIMIT_NOFILE, &low, &old) == 0;
    auto reported = [&] { return line_after(from, kUnreadablePrefix + kTrigger); };
    const bool seen = a->ran_out &&
                      replace_file(dir_, trigger_path_, read_property(store_, kTrigger)) &&
                      (c.level_kind != 0 ||
                       replace_file(dir_, level_path_, a->level2_written ? c.level2 : c.level)) &&
                      until(reported, kDeadline);
    service_->drain_for(std::chrono::milliseconds(c.nofile_ms));
    if (a->ran_out) prlimit(pid, RLIMIT_NOFILE, &old, nullptr);
    ++fig_.faults[idle ? "emfile_idle" : "emfile_streaming"];
    return seen || fail("no failed read reported within 6 s of running out of descriptors");
}

// What a timeout is reported with: the plan, the run's lines so far and the trigger.
std::string Storm::context(const Cycle& c, const Acted& a) const {
    std::string out = std::string(" [stop ") + kStopNames[static_cast<int>(c.stop)] + " after " +
                      std::to_string(c.blocks) + " blocks" + (a.sigint ? ", SIGINT" : "") +
                      (c.race ? ", race" : "") +
                      (a.stall ? ", stall " + std::to_string(c.stall_ms) + " ms" : "") + "; lines:";
    for (size_t i = a.first_line; i < service_->lines().size(); ++i) {
        out += " '" + service_->lines()[i].text + "'";
    }
    return out + "; trigger '" + read_property(store_, kTrigger) + "']";
}

bool Storm::check(const Epoch& e, const Cycle& c, const Acted& a, const RunLines& run,
                  bool parsed) {
    std::set<std::string> unreadable;  // reported once per key and shortage of descriptors
    for (const std::string& text : run.unreadable) {
        if (!a.ran_out || !kNoDescriptors.count(text) || !unreadable.insert(text).second) {
            violation("'" + text + "' without a shortage of descriptors, or twice in one");
        }
    }
    run_text_.clear();
    for (const std::string& l : run.lines) run_text_ += (run_text_.empty() ? "" : " | ") + l;
    if (!parsed ||
        (!run.opened && run.open_error != kOpenCaptureFailed &&
         run.open_error != kOpenPlaybackFailed) ||
        (!run.ack_error.empty() && run.ack_error != kAckRefusedDir)) {
        return fail("the run's lines are out of order or unknown: " + run_text_);
    }

    const long violations = fig_.violations;  // the cycle fails on any from here on
    const size_t played_now = file_size(played_path_);
    const size_t delivered_now = file_size(delivered_path_);
    const size_t played = played_now - played_;
    const size_t delivered = delivered_now - delivered_;
    const bool absent = e.absent_card >= 0;
    expect(run.opened != absent, absent ? "a run opened an absent card" : "a run failed to open");
    expect(run.frames * 4 == played, "'Captured " + std::to_string(run.frames) + " frames' but " +
                                         std::to_string(played / 4) + " frames were played");
    expect(played % kBlockBytes == 0 && delivered % kBlockBytes == 0,
           "a partial block was moved: played " + std::to_string(played) + ", captured " +
               std::to_string(delivered) + " bytes");
    expect(delivered == played || delivered == played + kBlockBytes,
           "captured " + std::to_string(delivered / kBlockBytes) + " blocks but played " +
               std::to_string(played / kBlockBytes));
    if (a.empty) expect(played == 0 && delivered == 0, "a run after SIGINT moved audio");
    if (run.write_failed) {
        expect(e.fail_card == 1 && delivered == played + kBlockBytes,
               "a write failed without a playback fault, or not after a block read");
    }
    if (e.fail_card >= 0 && run.opened && !a.empty) {
        expect(played <= static_cast<size_t>(e.fail_after) * kBlockBytes,
               "played past the card's failure after " + std::to_string(e.fail_after) + " periods");
    }
    const std::string end = check_end(e, a, run, played, delivered);
    ++fig_.ends[end];
    if (getenv("STORM_TRACE") != nullptr) {
        printf("storm: trace: epoch %d cycle %ld: %s, %zu blocks played, level '%s'%s%s%s\n",
               epoch_index_, cycle_index_, end.c_str(), played / kBlockBytes,
               printable(c.level).c_str(), c.race ? ", race" : "", a.stall ? ", stall" : "",
               c.change_level ? ", level change" : "");
    }
    const bool ended_itself = !a.stopped || end == "playback_eio" || end == "capture_eio";
    if (ended_itself && a.stopped) ++fig_.ends["stop_after_fault_end"];
    // The audio only of a run that passed every check above.
    if (played > 0 && fig_.violations == violations && !check_audio(c, a, played)) return false;
    if (check_acknowledgement(c, a, ended_itself, !run.ack_error.empty())) {
        // A proper file again, holding a stop.
        rmdir(trigger_path_.c_str());
        unlink(trigger_path_.c_str());
        expect(write_property(store_, kTrigger, "0"), "cannot restore the trigger");
    }
    played_ = played_now;
    delivered_ = delivered_now;
    return fig_.violations == violations;
}

// How the run ended: a stop drops the block read after it; a capture failure and SIGINT end it
// without one.
std::string Storm::check_end(const Epoch& e, const Acted& a, const RunLines& run, size_t played,
                             size_t delivered) {
    if (!run.opened) return "open_failed";
    if (a.empty) return "empty_after_sigint";
    if (run.write_failed) return "playback_eio";
    if (e.fail_card == 0 && delivered == played &&
        played == static_cast<size_t>(e.fail_after) * kBlockBytes) {
        return "capture_eio";
    }
    if (a.sigint) return "sigint";
    if (!a.stopped) {
        expect(false, "the run ended before its stop");
        return "";
    }
    expect(delivered == played + kBlockBytes,
           "a stopped run did not drop the block read after the stop");
    return std::string("stop_") + kStopNames[static_cast<int>(a.stop)];
}

// Every block the gain of the block captured with it (the first level, then, once changed, the
// second). False when the audio cannot be read back.
bool Storm::check_audio(const Cycle& c, const Acted& a, size_t played) {
    const Samples in = read_slice(delivered_path_, delivered_, played);
    const Samples out = read_slice(played_path_, played_, played);
    if (in.size() != out.size() || out.size() * 2 != played) {
        return fail("cannot read the run's audio back");
    }
    const int gain = c.level_kind == 0 ? atoi_of(c.level) : 0;
    const int gain2 = atoi_of(c.level2);
    bool second = false;
    for (size_t b = 0; b * kBlockSamples < out.size(); ++b) {
        const Samples block_in(in.begin() + b * kBlockSamples,
                               in.begin() + (b + 1) * kBlockSamples);
        const Samples block_out(out.begin() + b * kBlockSamples,
                                out.begin() + (b + 1) * kBlockSamples);
        if (!second && scaled(block_in, gain) == block_out) continue;
        if (a.level2_written && scaled(block_in, gain2) == block_out) {
            second = true;
            continue;
        }
        expect(false, "block " + std::to_string(b) + " of " +
                          std::to_string(out.size() / kBlockSamples) +
                          " is not the captured block at level " + std::to_string(gain) +
                          (a.level2_written ? " or " + std::to_string(gain2) : "") + " (" +
                          (level_valid(c) ? "valid" : "invalid") + " level text)");
        break;
    }
    return true;
}

// The acknowledgement: "2", unless a directory refused it, the controller's racing 1 stood, or
// the run ended on its own and the stop landed after the "2". True when the trigger must be made
// a file holding a stop again.
bool Storm::check_acknowledgement(const Cycle& c, const Acted& a, bool ended_itself, bool refused) {
    struct stat st;
    const bool is_dir = lstat(trigger_path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const std::string trigger = is_dir ? "<directory>" : read_property(store_, kTrigger);
    bool restore = false;
    if (is_dir) {
        expect(a.stop == Stop::kDirectory && a.stopped, "the trigger is a directory");
        // The refusal is reported once per cause: a second one in a row is silent.
        if (!ended_itself) {
            expect(refused != ack_refused_dir_,
                   refused ? "a refused acknowledgement reported twice in a row"
                           : "a refused acknowledgement was not reported");
        }
        restore = true;
    } else {
        expect(!refused, "an acknowledgement reported refused, yet the trigger is a file");
        const bool stop_landed_late =
            trigger != "2" && ended_itself && a.stopped &&
            (lstat(trigger_path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
             trigger == stored_value(c.stop_bytes, ""));
        if (a.raced && trigger == "1") {
            ++fig_.race_1_stood;
            pending_start_ = true;
        } else if (a.raced) {
            ++fig_.race_2_won;
            expect(trigger == "2", "trigger reads '" + trigger + "' after the racing 1");
        } else if (stop_landed_late) {
            restore = true;
        } else {
            expect(trigger == "2", "trigger reads '" + trigger + "' after 'prop exit'");
        }
    }
    // A directory that landed after the "2" refused nothing.
    ack_refused_dir_ = is_dir && !ended_itself;
    // The "2" replaced a symlink, and never wrote through it.
    if (a.stopped && a.stop == Stop::kSymlink) {
        std::ifstream in(dir_ + "/storm-target");
        std::string target;
        std::getline(in, target);
        expect(target == "1", "the symlink's target now holds '" + target + "'");
    }
    return restore;
}

bool parse_number(const char* text, uint64_t* out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    uint64_t seconds = 60;
    uint64_t cycles = 0;
    uint64_t seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch() /
                                          std::chrono::microseconds(1));
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--seconds" || arg == "--seed" || arg == "--cycles") && i + 1 < argc) {
            uint64_t v;
            if (!parse_number(argv[++i], &v)) {
                fprintf(stderr, "storm: %s '%s' is not a whole number\n", arg.c_str(), argv[i]);
                return 2;
            }
            (arg == "--seconds" ? seconds : arg == "--seed" ? seed : cycles) = v;
        } else {
            fprintf(stderr,
                    "storm: unknown argument '%s' (usage: storm [--seconds N] [--seed S] [--cycles "
                    "C])\n",
                    arg.c_str());
            return 2;
        }
    }
    printf("storm: seed %llu, %llu s\n", static_cast<unsigned long long>(seed),
           static_cast<unsigned long long>(seconds));

    // Every rig's folder goes under one of ours, so that what is left behind can be seen.
    const char* base = getenv("TMPDIR");
    std::string root = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                       "/hdmi-preview-storm.XXXXXX";
    if (mkdtemp(root.data()) == nullptr) {
        fprintf(stderr, "storm: cannot create a folder in %s (%s)\n",
                base != nullptr ? base : "/tmp", strerror(errno));
        return 1;
    }
    setenv("TMPDIR", root.c_str(), 1);

    const auto start = Clock::now();
    Storm storm(seed, start + std::chrono::seconds(seconds), static_cast<int>(cycles));
    storm.run();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Figures fig = storm.figures();

    // Nothing left behind: no child, no file.
    std::vector<std::string> leftovers;
    if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD) leftovers.push_back("a child");
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
        leftovers.push_back(entry.path().string());
    }
    std::filesystem::remove_all(root, ec);
    if (std::filesystem::exists(root)) leftovers.push_back(root);
    for (const std::string& what : leftovers) {
        ++fig.violations;
        printf("storm: violation: seed %llu: left behind: %s\n",
               static_cast<unsigned long long>(seed), what.c_str());
    }

    std::string ends, faults;
    for (const auto& [k, v] : fig.ends) ends += " " + k + "=" + std::to_string(v);
    for (const auto& [k, v] : fig.faults) faults += " " + k + "=" + std::to_string(v);
    printf(
        "storm: seed=%llu seconds=%.1f epochs=%d cycles=%ld | runs:%s | faults:%s | race: 2 "
        "won=%ld, 1 stood=%ld | levels: valid=%ld invalid=%ld | violations=%ld | longest "
        "process (%ld cycles): after first cycle %s; at end %s | growth max: fd %ld, threads %ld, "
        "anon RSS %ld kB%s\n",
        static_cast<unsigned long long>(seed), elapsed, fig.epochs, fig.cycles, ends.c_str(),
        faults.c_str(), fig.race_2_won, fig.race_1_stood, fig.levels_valid, fig.levels_invalid,
        fig.violations, fig.first_cycles, usage_text(fig.first).c_str(),
        usage_text(fig.last).c_str(), fig.fd_growth, fig.thread_growth, fig.rss_anon_growth_kb,
        STORM_UNDER_ASAN ? " (ASan: RSS not checked)" : "");
    return fig.violations == 0 ? 0 : 1;
}
