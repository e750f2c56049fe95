// What the service plays: every block the level gain of the block captured, bit for bit, on
// virtual cards that run at the real rate.

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "virtual_rig.h"

namespace {

using namespace std::chrono_literals;

// Generous: these wait on the machine, not on the service's own timing.
constexpr auto kDeadline = 5s;
constexpr size_t kInputFrames = 64 * kBlockFrames;

struct GainCase {
    const char* name;
    Samples (*signal)(size_t frames);
    const char* level;
    int gain;
};

// Named in test listings by the case's name, not by its bytes.
void PrintTo(const GainCase& c, std::ostream* os) { *os << c.name; }

class VirtualGainTest : public ::testing::TestWithParam<GainCase> {};

// A run at a fixed level, stopped through the trigger: the played audio is the gain applied to
// what was captured, and the block read after the stop is dropped.
TEST_P(VirtualGainTest, PlaysTheLevelGainOfEveryCapturedBlock) {
    const GainCase& c = GetParam();
    VirtualRig rig;
    const Samples input = c.signal(kInputFrames);
    rig.set_input(input);
    rig.set_level(c.level);
    rig.start();
    rig.set_trigger("1");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kCapturingLine, kDeadline));
    ASSERT_TRUE(rig.wait_played_blocks(10, kDeadline));
    rig.set_trigger("0");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline));
    EXPECT_EQ(rig.trigger(), kAcknowledgement);

    const Samples played = rig.played();
    const Samples delivered = rig.delivered();
    ASSERT_EQ(played.size() % kBlockSamples, 0u);
    EXPECT_EQ(rig.service().texts(Stream::kOut),
              (std::vector<std::string>{kCapturingLine, captured_line(played.size() / 2),
                                        kPropExitLine}));
    EXPECT_TRUE(rig.service().texts(Stream::kErr).empty());
    // Capture delivered the input from its start (silence after its end, if the stop came late).
    Samples expected_input = input;
    expected_input.resize(delivered.size());
    EXPECT_TRUE(same_samples(expected_input, delivered));
    // One block more was read than played: the one read after the stop.
    EXPECT_EQ(delivered.size(), played.size() + kBlockSamples);
    expected_input.resize(played.size());
    EXPECT_TRUE(same_samples(scaled(expected_input, c.gain), played));
}

const GainCase kGainCases[] = {
    {"RampUnity", ramp, "7", 7},
    {"RampThreeSevenths", ramp, "3", 3},
    {"RampMuted", ramp, "0", 0},
    {"RampSaturated", ramp, "14", 14},
    {"RampInverted", ramp, "-1", -1},
    {"NoiseUnity", pseudo_random, "7", 7},
    {"NoiseThreeSevenths", pseudo_random, "3", 3},
    {"NoiseMuted", pseudo_random, "0", 0},
    {"NoiseSaturated", pseudo_random, "14", 14},
    {"NoiseInverted", pseudo_random, "-1", -1},
};

INSTANTIATE_TEST_SUITE_P(Levels, VirtualGainTest, ::testing::ValuesIn(kGainCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The level is read once per block: a change applies from a block boundary on, never inside a
// block, and every block carries the old level or the new one.
TEST(VirtualLevelChangeTest, AppliesFromABlockBoundaryOn) {
    const std::vector<int> levels = {7, 3, -1};
    VirtualRig rig;
    const Samples input = pseudo_random(kInputFrames);
    rig.set_input(input);
    rig.set_level(std::to_string(levels[0]));
    rig.start();
    rig.set_trigger("1");
    for (size_t i = 1; i < levels.size(); ++i) {
        ASSERT_TRUE(rig.wait_played_blocks(8 * i, kDeadline));
        rig.set_level(std::to_string(levels[i]));
    }
    ASSERT_TRUE(rig.wait_played_blocks(8 * levels.size(), kDeadline));
    rig.set_trigger("0");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline));

    const Samples played = rig.played();
    ASSERT_EQ(played.size() % kBlockSamples, 0u);
    ASSERT_LE(played.size(), input.size());
    // Which level each block carries, in order; the noise tells all three apart in every block.
    size_t current = 0;
    for (size_t block = 0; block < played.size() / kBlockSamples; ++block) {
        const auto begin = input.begin() + static_cast<ptrdiff_t>(block * kBlockSamples);
        const Samples in(begin, begin + static_cast<ptrdiff_t>(kBlockSamples));
        const Samples out(played.begin() + static_cast<ptrdiff_t>(block * kBlockSamples),
                          played.begin() + static_cast<ptrdiff_t>((block + 1) * kBlockSamples));
        while (current < levels.size() && scaled(in, levels[current]) != out) ++current;
        ASSERT_LT(current, levels.size())
            << "block " << block << " is no level of the sequence, or a mix of two";
    }
    EXPECT_EQ(current, levels.size() - 1) << "the last level never reached the output";
}

}  // namespace
