// The loopback built against a device's variant of tinyalsa (tests/fakes/variant): pcm_open_req is
// the variant's and the record has a tenth word, which the run sets to the channel count.

#include <string>
#include <vector>

#include "fakes.h"
#include "gtest/gtest.h"
#include "loopback.h"

// Defined by the service in the real program; this executable has none.
volatile sig_atomic_t keep_running = 1;
char prop_value[PROPERTY_VALUE_MAX];

namespace {

using Words = std::vector<uint32_t>;

// Both opens get the same record: the stock words as the run fills them, then the channels again.
TEST(LoopbackVariantTest, BothOpensCarryTheChannelsInTheTenthWord) {
    struct Case {
        const char* name;
        uint32_t channels, rate, bits, period_size, period_count;
        Words record;
    };
    const Case cases[] = {
        {"the service's parameters", 2, 48000, 16, 1024, 4, {2, 48000, 1024, 4, 0, 0, 0, 0, 0, 2}},
        {"mono, 32 bit", 1, 44100, 32, 256, 2, {1, 44100, 256, 2, 1, 0, 0, 0, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::reset();
        keep_running = 1;
        fakes::set_property(kTriggerProperty, "1");
        fakes::script().on_read = [](int) { fakes::set_property(kTriggerProperty, "0"); };
        fakes::transcribe([&c] {
            return run_loopback(0, 1, 0, c.channels, c.rate, c.bits, c.period_size, c.period_count);
        });
        EXPECT_EQ(fakes::opened_configs(), (std::vector<Words>{c.record, c.record}));
        // The capture open is the variant's, with the rate repeated as its fifth argument.
        const std::vector<std::string> opens = fakes::entries("pcm_open_req(");
        ASSERT_EQ(opens.size(), 1u);
        const std::string rate = " rate " + std::to_string(c.rate);
        EXPECT_EQ(opens[0].substr(opens[0].size() - rate.size()), rate);
        EXPECT_EQ(fakes::open_handles(), 0);
    }
}

}  // namespace
