#include <stdlib.h>
#include <string.h>

#include "loopback.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "samples are read as host integers");

void apply_level_gain(void* block, uint32_t size) {
    property_get(kLevelProperty, prop_value, "0");
    const int32_t level = static_cast<int16_t>(static_cast<uint16_t>(atoi(prop_value)));

    // Samples are copied in and out with memcpy: the block need not be 2-byte aligned, and the
    // compiler still turns the walk into plain (vector) loads and stores.
    unsigned char* bytes = static_cast<unsigned char*>(block);
    const uint32_t samples = size / 2;
    for (uint32_t i = 0; i < samples; ++i) {
        int16_t sample;
        memcpy(&sample, bytes + 2 * i, sizeof sample);
        // |sample / 7| <= 4681 and |level| <= 32768, so the product fits in 32 bits.
        int32_t scaled = sample / 7 * level;
        // Clamped, not wrapped: a wrapped product turns a loud passage into full-scale noise.
        if (scaled > INT16_MAX) scaled = INT16_MAX;
        if (scaled < INT16_MIN) scaled = INT16_MIN;
        const int16_t out = static_cast<int16_t>(scaled);
        memcpy(bytes + 2 * i, &out, sizeof out);
    }
}
