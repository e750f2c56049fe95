// A playback device that another process holds fails the run at once, and once it is free the
// next run streams (the failed run left nothing open). tinyalsa opens the device blocking, so
// with it the run waits for the device instead: no error, no frame played, and it streams once
// the device is free.

#include "gtest/gtest.h"
#include "guest_rig.h"
#include "protocol_lines.h"

namespace {

struct BusyRun {
    std::string setup_error;
    std::string transcript;
    long failure = -1, captured = -1;
    bool failure_on_stderr = false;
    bool open_waits = false;
    std::string failure_text;
    double t_trigger = 0, t_failure = 0, t_ack = 0;
    // Once the device is free.
    std::string free_setup_error;
    long capturing = -1, captured_free = -1;
};

void hold_playback(BusyRun* r) {
    if (!set_prop(kTriggerProperty, "0", &r->setup_error) ||
        !set_prop(kLevelProperty, "7", &r->setup_error)) {
        return;
    }
    r->open_waits = guest_config().tinyalsa();
    const double wait = r->open_waits ? 1 : 3;
    snd_pcm_t* holder = nullptr;
    const int e = snd_pcm_open(&holder, "hw:1,0", SND_PCM_STREAM_PLAYBACK, 0);
    if (e < 0) {
        r->setup_error = format("cannot hold hw:1,0: %s", snd_strerror(e));
        return;
    }
    ServiceProcess service;
    if (!start_service(&service, &r->setup_error)) {
        snd_pcm_close(holder);
        return;
    }
    // The cause after the device number is the PCM library's.
    std::string failure_prefix = playback_open_error_line(0, "");
    failure_prefix.pop_back();
    r->t_trigger = now();
    set_prop(kTriggerProperty, "1", &r->setup_error);
    r->failure = service.wait_for_match(
        [&](const OutputLine& line) { return line.text.rfind(failure_prefix, 0) == 0; },
        std::chrono::milliseconds(static_cast<long>(wait * 1000)));
    r->captured = wait_line(&service, captured_line(0), wait, r->failure >= 0 ? r->failure : 0);
    r->t_ack = wait_prop(&service, kTriggerProperty, kAcknowledgement, wait);
    if (r->failure >= 0) {
        const OutputLine& line = service.lines()[r->failure];
        r->failure_on_stderr = line.stream == Stream::kErr;
        r->failure_text = line.text;
        r->t_failure = seconds_at(line);
    }
    const size_t released_at = service.lines().size();
    snd_pcm_close(holder);

    Recorder recorder;
    Player player;
    if (recorder.start(&r->free_setup_error) && player.start(&r->free_setup_error)) {
        // A waiting run goes on as soon as the device is free.
        const size_t from = r->open_waits ? released_at : service.lines().size();
        set_prop(kTriggerProperty, "1", &r->free_setup_error);
        r->capturing = wait_line(&service, capturing_line(), 3, from);
        set_prop(kTriggerProperty, "0", &r->free_setup_error);
        r->captured_free = wait_captured_line(&service, 3, r->capturing >= 0 ? r->capturing : from);
    }
    r->transcript = service.transcript();
    end_service(&service);
}

using BusyPlaybackTest = ScenarioTest<BusyRun, hold_playback>;

TEST_F(BusyPlaybackTest, FailsTheRunAtOnce) {
    const BusyRun& r = run();
    if (r.open_waits) {
        EXPECT_TRUE(r.failure < 0 && r.captured < 0 && r.t_ack == 0)
            << "the open should wait for the device: " << r.transcript;
        figure("busy_open", "the run waits for the device (the library opens it blocking)");
        return;
    }
    EXPECT_TRUE(r.failure >= 0 && r.failure_on_stderr && r.captured > r.failure && r.t_ack > 0)
        << format("error line %ld (stderr %d), Captured 0 %ld, trigger 2 %d: %s", r.failure,
                  r.failure_on_stderr, r.captured, r.t_ack > 0, r.transcript.c_str());
    if (r.failure >= 0) {
        figure("busy_failure_reaction", "%.1f ms (trigger 1 to the open error)",
               (r.t_failure - r.t_trigger) * 1e3);
        figure("busy_failure_text", "%s", r.failure_text.c_str());
    }
}

TEST_F(BusyPlaybackTest, NextRunStreamsOnceFree) {
    ASSERT_TRUE(run().free_setup_error.empty()) << run().free_setup_error;
    EXPECT_TRUE(run().capturing >= 0 && run().captured_free > run().capturing)
        << format("Capturing %ld, Captured %ld: %s", run().capturing, run().captured_free,
                  run().transcript.c_str());
}

}  // namespace
