#pragma once

// The audio loopback: one run that copies capture to playback block by block, and the level
// gain applied to every block between the read and the write.

#include <cutils/properties.h>
#include <signal.h>
#include <stdint.h>

#include "protocol.h"

// Process-wide state that the service defines and owns and the run reads.
//
// The stop flag: 1 at process start; the interrupt handler stores 0 and nothing stores 1 again.
// Volatile so that every check reads it anew from memory.
extern volatile sig_atomic_t keep_running;
static_assert(sizeof(sig_atomic_t) == 4, "keep_running is a 32-bit integer");

// The buffer that every property read of the program fills; each reader parses it at once and
// keeps nothing of it. Sized to the platform's maximum value length, so no read can overrun it.
// Main thread only.
extern char prop_value[PROPERTY_VALUE_MAX];

// Reads the trigger into prop_value and returns true when its integer value (atoi) is 1.
bool preview_requested();

// One loopback run from capture (card_in, device) to playback (card_out, device), both with one
// configuration, capture opened first.
// In: keep_running, and the trigger and the level, each read once per block.
// Out: the capturing line on standard output once the run has its streams and buffers; then
// every block read while the trigger reads 1, scaled, on playback (a block read after a stop is
// dropped). A block is the capture stream's pcm_get_buffer_size, taken as a count of BYTES. The run
// ends at the first read or write failure, a trigger other than 1, or keep_running cleared.
// Returns the frames played, bytes written / (channels * bits / 8), 64-bit so that it stays right
// past 2^32 bytes; 0 when a stream cannot be opened or the buffer cannot be allocated (the cause
// on standard error).
// Releases the buffer, the capture stream and the playback stream, in that order, before it
// returns; nothing outlives the call.
uint64_t run_loopback(uint32_t card_in, uint32_t card_out, uint32_t device, uint32_t channels,
                      uint32_t rate, uint32_t bits, uint32_t period_size, uint32_t period_count);

// Reads the level property (an unset or non-numeric level is 0) and scales the `size` BYTES at
// `block`, signed 16-bit little-endian samples, in place: each sample becomes (sample / 7) * level,
// the division truncating toward zero, the product clamped to -32768..32767. Only the low 16 bits
// of the level count, read as a signed number, so "-1" scales like -1. Every whole sample inside
// the block is scaled; an odd last byte is left as it is, and no byte past the block is touched.
void apply_level_gain(void* block, uint32_t size);
