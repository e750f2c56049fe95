#pragma once

// The service under test in a guest, and the way each test drives it: started from its binary
// with the store named by HDMI_PREVIEW_PROPERTY_DIR, or, with --installed, the one systemd runs
// from the package, driven through hdmi-preview-prop and read from the journal (the user running
// the suite then needs the audio and systemd-journal groups besides the store's).

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "guest_audio.h"
#include "service_process.h"

// Set once by main() before any test runs; an empty binary means the installed service.
struct GuestConfig {
    std::string service_binary;
    // The PCM library the service was built against ($HDMI_PREVIEW_SYSTEST_PCM_LIBRARY, e.g.
    // tinyalsa-2.0.0); empty for our adapter over alsa-lib.
    std::string pcm_library;
    bool installed() const { return service_binary.empty(); }
    bool tinyalsa() const { return !pcm_library.empty(); }
};
GuestConfig& guest_config();

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints "SYSTEST FIGURE name: value" at once: the host shows it with the results.
void figure(const char* name, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The store as a controller sees it; installed, writes go through the tool as its users' do. A
// refused write is noted in `error` unless it already holds an earlier one.
bool set_prop(const char* key, const std::string& value, std::string* error = nullptr);
std::string get_prop(const char* key);

// Starts the service, with `env` ("KEY=VALUE") besides the suite's environment, or for the
// installed one (which `env` does not reach) a follower of its journal from now on whose lines
// arrive at the journal's times (CLOCK_MONOTONIC, as now()). False with the cause in `err`.
bool start_service(ServiceProcess* service, std::string* err,
                   const std::vector<std::string>& env = {});
// Kills what start_service started and reaps it.
void end_service(ServiceProcess* service);

// A line's arrival on now()'s scale.
double seconds_at(const OutputLine& line);
// Index of the first line from `from` on that equals `text` (or, for the second form, is a
// "Captured N frames" line), reading output for up to `timeout` seconds; -1 when none came.
long wait_line(ServiceProcess* service, const std::string& text, double timeout, size_t from = 0);
long wait_captured_line(ServiceProcess* service, double timeout, size_t from = 0);
// Sleeps `seconds` while reading the service's output, so that its lines keep their arrival times.
void pause_reading(ServiceProcess* service, double seconds);
// Waits until `key` reads `value` (reading output meanwhile); returns the time it was seen, or 0
// at the deadline.
double wait_prop(ServiceProcess* service, const char* key, const char* value, double timeout);

// The service between the player and the recorder.
struct GuestRig {
    ServiceProcess service;
    Player player;
    Recorder recorder;
    // Set before start(): where the player and the recorder are, and the service's extra
    // environment (as start_service's `env`).
    const char* player_device = "hw:0,1";
    const char* recorder_device = "hw:1,1";
    std::vector<std::string> service_env;

    // Trigger 0 and level 7, then the recorder, the player and the service. False with the cause
    // in `error`.
    bool start(std::string* error);
    void stop();
};

// A fixture whose tests each judge a part of one scenario, which runs once before the first of
// them: `scenario` fills an Outcome (which holds a `setup_error`); a test does not run once the
// setup has failed.
template <typename Outcome, void (*scenario)(Outcome*)>
class ScenarioTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        run_ = Outcome();
        scenario(&run_);
    }
    void SetUp() override { ASSERT_TRUE(run_.setup_error.empty()) << run_.setup_error; }
    static const Outcome& run() { return run_; }

  private:
    static inline Outcome run_;
};
