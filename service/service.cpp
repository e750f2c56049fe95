#include "service.h"

#include <cutils/properties.h>
#include <stdio.h>
#include <string.h>

#include "loopback.h"
#include "property_serial.h"

volatile sig_atomic_t keep_running = 1;
char prop_value[PROPERTY_VALUE_MAX];

namespace {
// Capture card 0 to playback card 1, device 0 on both, 2 ch, 48 kHz, 16 bit, 4 periods of 1024
// frames.
constexpr uint32_t kCardIn = 0;
constexpr uint32_t kCardOut = 1;
constexpr uint32_t kDevice = 0;
constexpr uint32_t kPeriodSize = 1024;
constexpr uint32_t kPeriodCount = 4;

// An acknowledgement that could not be written while the trigger still reads 1 (the run ended by
// SIGINT or a stream failure). That 1 is no new request: it is not taken as one, or a store the
// service cannot write would restart the run at every poll. A run that a stop ended leaves no
// stale 1 (the refusal came from what replaced it, e.g. a directory), so any later 1 is new.
bool ack_pending = false;
// The change serial of that stale 1 (0: the store cannot tell). A 1 of another serial was written
// anew, even when nothing else came between two polls, and is a request.
uint32_t stale_serial = 0;
// The cause (negative errno) last reported of a failed acknowledgement, 0 after a success: each
// cause is reported once, not at every retry.
int ack_reported = 0;

// Writes "2" into the trigger; returns false when the store refused it.
bool acknowledge() {
    const int err = property_set(kTriggerProperty, kAcknowledgement);
    if (err != 0 && err != ack_reported) {
        fprintf(stderr, kAcknowledgementErrorFormat, kAcknowledgement, kTriggerProperty,
                strerror(-err));
    }
    ack_reported = err;
    if (err == 0) {
        ack_pending = false;
    } else if (!ack_pending) {
        ack_pending = preview_requested();
        stale_serial = property_serial(kTriggerProperty);
    }
    return err == 0;
}
}  // namespace

void handle_interrupt(int /*signum*/) { keep_running = 0; }

bool poll_trigger() {
    const bool requested = preview_requested();
    if (ack_pending) {
        if (requested && property_serial(kTriggerProperty) == stale_serial) {
            // Still the 1 that the "2" should have replaced: retried at every poll until it is
            // written, or until the controller has written the trigger again.
            acknowledge();
            return false;
        }
        ack_pending = false;
    }
    if (!requested) return false;
    const uint64_t frames = run_loopback(kCardIn, kCardOut, kDevice, kPreviewChannels, kPreviewRate,
                                         kPreviewBits, kPeriodSize, kPeriodCount);
    printf(kCapturedFormat, frames);
    // The acknowledgement overwrites whatever stopped the run, so a run starts again only when
    // the controller writes 1 anew.
    acknowledge();
    puts(kPropExitLine);
    return true;
}
