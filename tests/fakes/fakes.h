#pragma once

// Link-time fakes of the PCM library and the property store for the unit tests, scriptable, with
// every call recorded in order. While a Transcript is active, what the code under test prints on
// standard output and standard error is recorded in the same log ("out: ..." / "err: ..."), at
// the place where it was printed relative to the calls.

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "protocol_lines.h"

namespace fakes {

// Log entries of what the code under test printed (under a Transcript) and of the service's
// acknowledgement, built from the protocol's own lines.
inline std::string out(const std::string& line) { return "out: " + line; }
inline std::string err(const std::string& line) { return "err: " + line; }
inline std::string acknowledgement_write() {
    return std::string("property_set(") + kTriggerProperty + ", " + kAcknowledgement + ")";
}

struct PcmScript {
    bool capture_null = false;  // pcm_open_req returns NULL
    bool capture_not_ready = false;
    std::vector<unsigned int> capture_rates;  // the rates pcm_open_req is ready at; empty: any
    bool playback_null = false;               // pcm_open returns NULL
    bool playback_not_ready = false;
    uint32_t buffer_size = 4096;     // what pcm_get_buffer_size reports
    int reads_before_failure = -1;   // successful reads before one fails; -1: none fails
    int writes_before_failure = -1;  // likewise for writes
    bool keep_blocks = true;         // keep a copy of every written block in written()
    // Fills each captured block; the default writes the block's index into every sample.
    std::function<void(int block, unsigned char* data, uint32_t size)> fill;
    // Runs inside the pcm_read of block `block` (0-based), after the block has been filled: the
    // place to change a property or clear keep_running "while the read was blocked".
    std::function<void(int block)> on_read;
    // What pcm_get_htimestamp reports as avail on each stream, call by call (the timestamp is the
    // moment of the call); a negative entry fails that call with -1, and so does every call past
    // the end.
    std::vector<int> playback_avail;
    std::vector<int> capture_avail;
    // Runs inside usleep, which records "usleep(N)" and returns at once without sleeping: the
    // place to leave the service's endless poll loop (longjmp; the loop holds nothing to release).
    std::function<void()> on_sleep;
    bool log_property_reads = false;  // property_get records "property_get(key)"
};

// Clears the script, the log, the recorded blocks and the property store.
void reset();
PcmScript& script();

// The recorded calls (and, under a Transcript, output lines), in order.
const std::vector<std::string>& log();
// Blocks passed to pcm_write, in order (when keep_blocks).
const std::vector<std::vector<unsigned char>>& written();
// The configuration record that each open (pcm_open_req, pcm_open) was given, word by word, in
// the order of the opens: as many 32-bit words as the build's struct pcm_config has.
const std::vector<std::vector<uint32_t>>& opened_configs();
int reads();
int writes();
// Handles opened and not yet closed.
int open_handles();

// The fake property store.
void set_property(const std::string& key, const std::string& value);
void unset_property(const std::string& key);
std::string property(const std::string& key);  // "" when unset
int property_reads(const std::string& key);
// From now on property_set stores nothing and returns `err` (a negative errno); 0 restores it.
void fail_property_set(int err);

// Redirects standard output and standard error for its lifetime; see above.
class Transcript {
  public:
    Transcript();
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

  private:
    int saved_out_ = -1;
    int saved_err_ = -1;
};

// Runs `body` under a Transcript and returns what it returned; assert after it, so that a failure
// message is not swallowed by the redirection.
template <typename Body>
auto transcribe(Body body) {
    Transcript transcript;
    return body();
}

// The log entries that start with `prefix` ("out: ", "err: ", "pcm_close", ...).
std::vector<std::string> entries(const std::string& prefix);

}  // namespace fakes
