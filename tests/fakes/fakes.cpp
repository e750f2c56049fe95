#include "fakes.h"

#include <cutils/properties.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "pcm_open_req.h"
#include "property_serial.h"

struct pcm {
    bool capture;
    bool ready;
};

namespace fakes {

namespace {
struct State {
    PcmScript script;
    std::vector<std::string> log;
    std::vector<std::vector<unsigned char>> written;
    std::vector<std::vector<uint32_t>> configs;
    int reads = 0;
    int writes = 0;
    int capture_htimestamps = 0;
    int playback_htimestamps = 0;
    int open_handles = 0;
    std::map<std::string, std::string> properties;
    std::map<std::string, int> property_reads;
    // Bumped by every write of a key; property_serial answers the serial of the last read.
    uint32_t last_serial = 0;
    std::map<std::string, uint32_t> serials;
    std::map<std::string, uint32_t> read_serials;
    int property_set_result = 0;
    // Output capture: the files that fd 1 and fd 2 point at, read from where the log has got to.
    FILE* out_file = nullptr;
    FILE* err_file = nullptr;
};

State& state() {
    static State s;
    return s;
}

void take_output(FILE* file, const char* tag) {
    if (file == nullptr) return;
    char line[4096];
    while (fgets(line, sizeof line, file) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        state().log.push_back(std::string(tag) + text);
    }
    clearerr(file);
}

void sync_output() {
    fflush(stdout);
    fflush(stderr);
    take_output(state().out_file, "out: ");
    take_output(state().err_file, "err: ");
}

void record(const std::string& event) {
    sync_output();
    state().log.push_back(event);
}

const char* name(const struct pcm* pcm) {
    return pcm == nullptr ? "null" : pcm->capture ? "capture" : "playback";
}

void keep_config(const pcm_config* c) {
    static_assert(sizeof(pcm_config) % sizeof(uint32_t) == 0, "pcm_config is not whole words");
    std::vector<uint32_t> words(sizeof(pcm_config) / sizeof(uint32_t));
    memcpy(words.data(), c, sizeof(pcm_config));
    state().configs.push_back(words);
}

struct pcm* open_handle(bool capture, bool null, bool ready) {
    if (null) return nullptr;
    ++state().open_handles;
    return new ::pcm{capture, ready};
}

std::string describe(const char* fn, unsigned card, unsigned device, unsigned flags,
                     const pcm_config* c) {
    char text[256];
    snprintf(text, sizeof text,
             "%s(card %u, device %u, %s, {%u ch, %u hz, period %u x %u, format %d, thresholds "
             "%u/%u/%u})",
             fn, card, device,
             flags == PCM_IN    ? "in"
             : flags == PCM_OUT ? "out"
                                : "?",
             c->channels, c->rate, c->period_size, c->period_count, static_cast<int>(c->format),
             c->start_threshold, c->stop_threshold, c->silence_threshold);
    return text;
}
}  // namespace

void reset() {
    State& s = state();
    s.script = PcmScript{};
    s.log.clear();
    s.written.clear();
    s.configs.clear();
    s.reads = s.writes = s.capture_htimestamps = s.playback_htimestamps = 0;
    s.open_handles = 0;
    s.properties.clear();
    s.property_reads.clear();
    s.serials.clear();
    s.read_serials.clear();
    s.property_set_result = 0;
}

PcmScript& script() { return state().script; }
const std::vector<std::string>& log() { return state().log; }
const std::vector<std::vector<unsigned char>>& written() { return state().written; }
const std::vector<std::vector<uint32_t>>& opened_configs() { return state().configs; }
int reads() { return state().reads; }
int writes() { return state().writes; }
int open_handles() { return state().open_handles; }

void set_property(const std::string& key, const std::string& value) {
    state().properties[key] = value;
    state().serials[key] = ++state().last_serial;
}
void unset_property(const std::string& key) {
    state().properties.erase(key);
    state().serials[key] = ++state().last_serial;
}
void fail_property_set(int err) { state().property_set_result = err; }
std::string property(const std::string& key) {
    auto it = state().properties.find(key);
    return it == state().properties.end() ? "" : it->second;
}
int property_reads(const std::string& key) { return state().property_reads[key]; }

std::vector<std::string> entries(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& e : state().log) {
        if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    }
    return out;
}

Transcript::Transcript() {
    fflush(stdout);
    fflush(stderr);
    State& s = state();
    s.out_file = tmpfile();
    s.err_file = tmpfile();
    saved_out_ = dup(STDOUT_FILENO);
    saved_err_ = dup(STDERR_FILENO);
    // The code writes through fd 1 and 2; the log reads through separate descriptions of the same
    // files, so each keeps its own offset.
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fileno(s.out_file));
    int out_fd = open(path, O_WRONLY);
    snprintf(path, sizeof path, "/proc/self/fd/%d", fileno(s.err_file));
    int err_fd = open(path, O_WRONLY);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    close(out_fd);
    close(err_fd);
}

Transcript::~Transcript() {
    sync_output();
    dup2(saved_out_, STDOUT_FILENO);
    dup2(saved_err_, STDERR_FILENO);
    close(saved_out_);
    close(saved_err_);
    State& s = state();
    fclose(s.out_file);
    fclose(s.err_file);
    s.out_file = s.err_file = nullptr;
}

}  // namespace fakes

using fakes::record;
using fakes::state;

extern "C" struct pcm* pcm_open_req(unsigned int card, unsigned int device, unsigned int flags,
                                    struct pcm_config* config, unsigned int rate) {
    record(fakes::describe("pcm_open_req", card, device, flags, config) + " rate " +
           std::to_string(rate));
    fakes::keep_config(config);
    const fakes::PcmScript& s = state().script;
    const bool rate_taken = s.capture_rates.empty() ||
                            std::count(s.capture_rates.begin(), s.capture_rates.end(), rate) > 0;
    return fakes::open_handle(true, s.capture_null, !s.capture_not_ready && rate_taken);
}

extern "C" struct pcm* pcm_open(unsigned int card, unsigned int device, unsigned int flags,
                                struct pcm_config* config) {
    record(fakes::describe("pcm_open", card, device, flags, config));
    fakes::keep_config(config);
    const fakes::PcmScript& s = state().script;
    return fakes::open_handle(false, s.playback_null, !s.playback_not_ready);
}

extern "C" int pcm_is_ready(struct pcm* pcm) { return pcm != nullptr && pcm->ready; }

extern "C" const char* pcm_get_error(struct pcm* pcm) {
    record(std::string("pcm_get_error(") + fakes::name(pcm) + ")");
    return pcm != nullptr && pcm->capture ? "capture broken" : "playback broken";
}

extern "C" unsigned int pcm_get_buffer_size(struct pcm* pcm) {
    record(std::string("pcm_get_buffer_size(") + fakes::name(pcm) + ")");
    return state().script.buffer_size;
}

extern "C" int pcm_read(struct pcm* pcm, void* data, unsigned int count) {
    fakes::State& s = state();
    const int block = s.reads++;
    record(std::string("pcm_read(") + fakes::name(pcm) + ", " + std::to_string(count) + ")");
    if (s.script.reads_before_failure >= 0 && block >= s.script.reads_before_failure) return -5;
    unsigned char* bytes = static_cast<unsigned char*>(data);
    if (s.script.fill) {
        s.script.fill(block, bytes, count);
    } else {
        const int16_t sample = static_cast<int16_t>(block * 7);
        for (unsigned int i = 0; i + 1 < count; i += 2) memcpy(bytes + i, &sample, 2);
    }
    if (s.script.on_read) s.script.on_read(block);
    return 0;
}

extern "C" int pcm_write(struct pcm* pcm, const void* data, unsigned int count) {
    fakes::State& s = state();
    const int block = s.writes++;
    record(std::string("pcm_write(") + fakes::name(pcm) + ", " + std::to_string(count) + ")");
    if (s.script.writes_before_failure >= 0 && block >= s.script.writes_before_failure) return -5;
    if (s.script.keep_blocks) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        s.written.emplace_back(bytes, bytes + count);
    }
    return 0;
}

extern "C" int pcm_get_htimestamp(struct pcm* pcm, unsigned int* avail, struct timespec* tstamp) {
    fakes::State& s = state();
    record(std::string("pcm_get_htimestamp(") + fakes::name(pcm) + ")");
    if (pcm == nullptr) return -1;
    const size_t call =
        static_cast<size_t>((pcm->capture ? s.capture_htimestamps : s.playback_htimestamps)++);
    const std::vector<int>& script =
        pcm->capture ? s.script.capture_avail : s.script.playback_avail;
    if (call >= script.size() || script[call] < 0) return -1;
    *avail = static_cast<unsigned int>(script[call]);
    clock_gettime(CLOCK_MONOTONIC, tstamp);
    return 0;
}

extern "C" int pcm_close(struct pcm* pcm) {
    record(std::string("pcm_close(") + fakes::name(pcm) + ")");
    if (pcm != nullptr) {
        --state().open_handles;
        delete pcm;
    }
    return 0;
}

extern "C" int property_get(const char* key, char* value, const char* default_value) {
    fakes::State& s = state();
    ++s.property_reads[key];
    s.read_serials[key] = s.serials[key];
    if (s.script.log_property_reads) record(std::string("property_get(") + key + ")");
    auto it = s.properties.find(key);
    const std::string text =
        it != s.properties.end() && !it->second.empty() ? it->second : default_value;
    const size_t n = std::min(text.size(), static_cast<size_t>(PROPERTY_VALUE_MAX - 1));
    memcpy(value, text.data(), n);
    value[n] = '\0';
    return static_cast<int>(n);
}

extern "C" int property_set(const char* key, const char* value) {
    record(std::string("property_set(") + key + ", " + value + ")");
    if (state().property_set_result != 0) return state().property_set_result;
    fakes::set_property(key, value);
    return 0;
}

extern "C" uint32_t property_serial(const char* key) { return state().read_serials[key]; }

extern "C" int usleep(useconds_t usec) {
    record("usleep(" + std::to_string(usec) + ")");
    if (state().script.on_sleep) state().script.on_sleep();
    return 0;
}
