#include "service.h"

#include <cutils/properties.h>
#include <inttypes.h>
#include <stdio.h>

#include "loopback.h"

volatile sig_atomic_t keep_running = 1;
char prop_value[PROPERTY_VALUE_MAX];

namespace {
// Capture card 0 to playback card 1, device 0 on both, 2 ch, 48 kHz, 16 bit, 4 periods of 1024
// frames.
constexpr uint32_t kCardIn = 0;
constexpr uint32_t kCardOut = 1;
constexpr uint32_t kDevice = 0;
constexpr uint32_t kChannels = 2;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kBits = 16;
constexpr uint32_t kPeriodSize = 1024;
constexpr uint32_t kPeriodCount = 4;
}  // namespace

void handle_interrupt(int /*signum*/) { keep_running = 0; }

bool poll_trigger() {
    if (!preview_requested()) return false;
    const uint64_t frames = run_loopback(kCardIn, kCardOut, kDevice, kChannels, kRate, kBits,
                                         kPeriodSize, kPeriodCount);
    printf("Captured %" PRIu64 " frames\n", frames);
    // The acknowledgement overwrites whatever stopped the run, so a run starts again only when
    // the controller writes 1 anew.
    property_set(kTriggerProperty, "2");
    puts("prop exit");
    return true;
}
