#pragma once

// The preview control: the interrupt handler and one poll of the trigger. main() installs the
// handler and polls for ever; the unit tests call the pieces directly.

#include <stdint.h>

// The poll period, in microseconds. Every poll is followed by this sleep, also one that ran a
// loopback.
inline constexpr uint32_t kPollIntervalUs = 50000;

// The SIGINT handler: stores 0 into keep_running and does nothing else.
void handle_interrupt(int signum);

// One poll: reads the trigger and, when it reads 1, runs one loopback with the service's fixed
// parameters, prints "Captured N frames", writes "2" into the trigger and prints "prop exit",
// whatever ended the run. Returns true when a run took place.
// When the store refuses the "2", the cause is printed on standard error (once per cause) and
// later polls start no run while the trigger still holds that 1: they retry the "2" instead, until
// it is written or the controller writes the trigger again (a 1 written anew is a request).
bool poll_trigger();
