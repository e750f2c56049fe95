#include <string.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "fakes.h"
#include "gtest/gtest.h"
#include "loopback.h"

namespace {

class LevelGainTest : public ::testing::Test {
  protected:
    void SetUp() override { fakes::reset(); }

    // Scales one stereo frame holding `sample` twice at the level text (nullopt: unset).
    static int16_t scale(int16_t sample, std::optional<const char*> level) {
        if (level) fakes::set_property(kLevelProperty, *level);
        int16_t frame[2] = {sample, sample};
        apply_level_gain(frame, sizeof frame);
        EXPECT_EQ(frame[0], frame[1]) << "both samples of a frame are scaled alike";
        return frame[0];
    }
};

TEST_F(LevelGainTest, ScalesByLevelOverSeven) {
    struct Case {
        int16_t sample;
        std::optional<const char*> level;
        int16_t stored;
    };
    const Case cases[] = {
        {32767, "7", 32767}, {1000, "7", 994},        {-1000, "7", -994},
        {6, "7", 0},         {-32768, "7", -32767},   {1000, "3", 426},
        {1000, "0", 0},      {700, "-1", -100},       {1000, "65543", 994},  // low 16 bits: 7
        {1000, " +3", 426},  {1000, "3abc", 426},     {1000, "", 0},
        {1000, "abc", 0},    {1000, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.sample << " at level '" << c.level.value_or("unset") << "'");
        fakes::reset();
        EXPECT_EQ(scale(c.sample, c.level), c.stored);
    }
}

// A product beyond 16 bits is clamped, not wrapped.
TEST_F(LevelGainTest, SaturatesInsteadOfWrapping) {
    struct Case {
        int16_t sample;
        const char* level;
        int16_t stored;
    };
    const Case cases[] = {
        {32767, "14", 32767},   {-32768, "14", -32768},  {32767, "-14", -32768},
        {-32768, "-14", 32767}, {20000, "8", 22856},     {30000, "8", 32767},
        {-30000, "8", -32768},  {32767, "32767", 32767}, {-32768, "-32768", 32767},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sample << " at level " << c.level);
        fakes::reset();
        EXPECT_EQ(scale(c.sample, c.level), c.stored);
    }
}

TEST_F(LevelGainTest, SmallSamplesBecomeZeroAtEveryLevel) {
    for (const char* level : {"1", "7", "14", "100", "-1", "32767", "-32768"}) {
        for (int16_t s = -6; s <= 6; ++s) {
            fakes::reset();
            EXPECT_EQ(scale(s, level), 0) << s << " at level " << level;
        }
    }
}

// The walk covers every whole sample of the block and no byte beyond it, whatever the size; an
// odd last byte is left as it was.
TEST_F(LevelGainTest, TouchesOnlyTheBlock) {
    fakes::set_property(kLevelProperty, "0");
    for (uint32_t size = 0; size <= 13; ++size) {
        SCOPED_TRACE(testing::Message() << "size " << size);
        constexpr size_t kGuard = 8;
        std::vector<unsigned char> padded(size + kGuard, 0x55);
        apply_level_gain(padded.data(), size);
        for (uint32_t i = 0; i < padded.size(); ++i) {
            const bool whole_sample = i < size / 2 * 2;
            EXPECT_EQ(padded[i], whole_sample ? 0 : 0x55) << "byte " << i;
        }
        // The same block at the very end of its heap allocation, where AddressSanitizer reports
        // any access past it.
        std::vector<unsigned char> exact(size, 0x55);
        apply_level_gain(exact.data(), size);
        EXPECT_TRUE(std::equal(exact.begin(), exact.end(), padded.begin()));
    }
}

TEST_F(LevelGainTest, ReadsTheLevelOncePerBlock) {
    std::vector<int16_t> block(2048, 1000);
    fakes::set_property(kLevelProperty, "3");
    apply_level_gain(block.data(), 4096);
    EXPECT_EQ(fakes::property_reads(kLevelProperty), 1);
    for (int16_t s : block) ASSERT_EQ(s, 426);
}

}  // namespace
