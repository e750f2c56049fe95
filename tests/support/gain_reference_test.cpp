// The reference that the functional and guest suites check the service's audio against: a fault
// here would pass a wrong service, so its corners are pinned by hand-worked values.

#include "gain_reference.h"

#include "gtest/gtest.h"

namespace {

struct Case {
    int16_t sample;
    int level;
    int16_t expected;
};

TEST(GainReferenceTest, MatchesHandWorkedValues) {
    const Case cases[] = {
        {700, 7, 700},        {13, 7, 7},            // divides first: 13 / 7 = 1
        {-13, 7, -7},         {6, 7, 0},             // truncates toward zero
        {100, 3, 42},         {100, 0, 0},           //
        {32767, 14, 32767},   {-32768, 14, -32768},  // clamped, not wrapped
        {-32768, -1, 4681},   {100, -1, -14},        // a negative level inverts
        {100, 65536 + 3, 42}, {100, 65535, -14},     // only the low 16 bits count
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scaled(c.sample, c.level), c.expected) << c.sample << " at level " << c.level;
    }
}

TEST(GainReferenceTest, BlockFormScalesEachSampleInOrder) {
    EXPECT_EQ(scaled(std::vector<int16_t>{14, -14, 32767, 0}, 14),
              (std::vector<int16_t>{28, -28, 32767, 0}));
    EXPECT_TRUE(scaled(std::vector<int16_t>{}, 7).empty());
}

}  // namespace
