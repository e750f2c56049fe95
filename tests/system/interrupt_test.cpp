// SIGINT during a preview ends the run; the service acknowledges and keeps polling, but every
// later run ends at once, without streaming.

#include <signal.h>

#include "gtest/gtest.h"
#include "guest_rig.h"
#include "protocol_lines.h"

namespace {

struct InterruptRun {
    std::string setup_error;
    std::string transcript;
    long capturing = -1, captured = -1, prop_exit = -1;
    uint64_t frames = 0;
    double t_interrupt = 0, t_captured = 0, t_ack = 0;
    bool alive_after_run = false;
    // The run after the interrupt.
    long capturing2 = -1, captured2 = -1;
    double t_ack2 = 0;
    bool alive_at_end = false;
};

void interrupt(InterruptRun* r) {
    GuestRig rig;
    if (!rig.start(&r->setup_error)) return;
    ServiceProcess* service = &rig.service;
    set_prop(kTriggerProperty, "1", &r->setup_error);
    r->capturing = wait_line(service, capturing_line(), 3);
    pause_reading(service, 0.5);
    r->t_interrupt = now();
    service->send_signal(SIGINT);
    const size_t after_capturing = r->capturing >= 0 ? r->capturing : 0;
    r->captured = wait_captured_line(service, 3, after_capturing);
    r->t_ack = wait_prop(service, kTriggerProperty, kAcknowledgement, 3);
    r->prop_exit = wait_line(service, kPropExitLine, 3, r->captured >= 0 ? r->captured : 0);
    if (r->captured >= 0) {
        parse_captured_line(service->lines()[r->captured].text, &r->frames);
        r->t_captured = seconds_at(service->lines()[r->captured]);
    }
    r->alive_after_run = service->alive();

    // Still polling: a new trigger opens the streams, but the cleared flag ends the run at once.
    set_prop(kTriggerProperty, "1", &r->setup_error);
    r->capturing2 =
        wait_line(service, capturing_line(), 3, r->prop_exit >= 0 ? r->prop_exit + 1 : 0);
    r->captured2 = wait_line(service, captured_line(0), 3, r->capturing2 >= 0 ? r->capturing2 : 0);
    r->t_ack2 = wait_prop(service, kTriggerProperty, kAcknowledgement, 3);
    r->alive_at_end = service->alive();
    r->transcript = service->transcript();
    rig.stop();
}

using InterruptTest = ScenarioTest<InterruptRun, interrupt>;

TEST_F(InterruptTest, EndsTheRun) {
    const InterruptRun& r = run();
    EXPECT_TRUE(r.capturing >= 0 && r.captured > r.capturing && r.frames > 0 &&
                r.prop_exit > r.captured && r.t_ack > 0 && r.alive_after_run)
        << format(
               "Capturing %ld, Captured %ld (%llu frames), prop exit %ld, trigger 2 %d, "
               "alive %d: %s",
               r.capturing, r.captured, (unsigned long long)r.frames, r.prop_exit, r.t_ack > 0,
               r.alive_after_run, r.transcript.c_str());
    if (r.captured >= 0) figure("sigint_reaction", "%.1f ms", (r.t_captured - r.t_interrupt) * 1e3);
}

TEST_F(InterruptTest, PollingGoesOnWithEmptyRuns) {
    const InterruptRun& r = run();
    EXPECT_TRUE(r.capturing2 >= 0 && r.captured2 > r.capturing2 && r.t_ack2 > 0 && r.alive_at_end)
        << format("Capturing %ld, Captured 0 %ld, trigger 2 %d: %s", r.capturing2, r.captured2,
                  r.t_ack2 > 0, r.transcript.c_str());
}

}  // namespace
