// How the service reacts to the trigger and to SIGINT, on virtual cards that run at the real rate.

#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "virtual_rig.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 5s;
// The service polls every 50 ms and a block lasts 21.3 ms; the rest of each bound is room for a
// loaded machine (opening and closing the virtual cards takes well under a millisecond).
constexpr auto kStartBound = 50ms + 250ms;
constexpr auto kStopBound = 22ms + 250ms;

using Ms = std::chrono::duration<double, std::milli>;

double ms_between(Clock::time_point from, Clock::time_point to) { return Ms(to - from).count(); }

const OutputLine* find_line(const ServiceProcess& service, const std::string& text) {
    for (const OutputLine& line : service.lines()) {
        if (line.text == text) return &line;
    }
    return nullptr;
}

// The start reacts within one poll plus the opens, the stop within one block plus the closes;
// then the acknowledgement: "2" in the trigger and the two lines, in that order.
TEST(VirtualReactionTest, StartsWithinAPollAndStopsWithinABlock) {
    VirtualRig rig;
    rig.set_input(ramp(64 * kBlockFrames));
    rig.set_level("7");
    rig.start(/*merge_output=*/true);
    ASSERT_TRUE(rig.wait_interrupt_handler(kDeadline));

    const auto start = Clock::now();
    rig.set_trigger("1");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kCapturingLine, kDeadline));
    const double start_ms = ms_between(start, find_line(rig.service(), kCapturingLine)->arrival);
    ASSERT_TRUE(rig.wait_played_blocks(1, kDeadline));
    const double first_audio_ms = ms_between(start, Clock::now());
    ASSERT_TRUE(rig.wait_played_blocks(6, kDeadline));

    const auto stop = Clock::now();
    rig.set_trigger("0");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline));
    const size_t frames = rig.played_bytes() / 4;
    const OutputLine* captured = find_line(rig.service(), captured_line(frames));
    ASSERT_NE(captured, nullptr);
    const double stop_ms = ms_between(stop, captured->arrival);
    RecordProperty("start_ms", std::to_string(start_ms));
    RecordProperty("first_audio_ms", std::to_string(first_audio_ms));
    RecordProperty("stop_ms", std::to_string(stop_ms));
    EXPECT_LT(start_ms, Ms(kStartBound).count());
    EXPECT_LT(stop_ms, Ms(kStopBound).count());

    EXPECT_EQ(rig.trigger(), kAcknowledgement);
    EXPECT_EQ(rig.service().texts(Stream::kOut),
              (std::vector<std::string>{kCapturingLine, captured_line(frames), kPropExitLine}));
}

// SIGINT during a run ends it at the next block, without a block read and dropped; the run is
// acknowledged and the service goes on polling, but every later run is empty.
TEST(VirtualInterruptTest, DuringARunEndsItAtTheNextBlock) {
    VirtualRig rig;
    rig.set_input(ramp(64 * kBlockFrames));
    rig.set_level("7");
    rig.start();
    rig.set_trigger("1");
    ASSERT_TRUE(rig.wait_played_blocks(6, kDeadline));
    const size_t before = rig.played_bytes();
    rig.service().send_signal(SIGINT);
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline));
    EXPECT_EQ(rig.trigger(), kAcknowledgement);
    const size_t played = rig.played_bytes();
    // The block in flight when the signal came, and one more that may have been read before it.
    EXPECT_LE(played, before + 2 * kBlockBytes);
    EXPECT_EQ(rig.delivered_bytes(), played);
    EXPECT_EQ(rig.service().texts(Stream::kOut),
              (std::vector<std::string>{kCapturingLine, captured_line(played / 4), kPropExitLine}));

    rig.set_trigger("1");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline, 1));
    EXPECT_EQ(rig.trigger(), kAcknowledgement);
    EXPECT_EQ(rig.played_bytes(), played);
    EXPECT_EQ(rig.service().texts(Stream::kOut),
              (std::vector<std::string>{kCapturingLine, captured_line(played / 4), kPropExitLine,
                                        kCapturingLine, captured_line(0), kPropExitLine}));
    EXPECT_TRUE(rig.service().texts(Stream::kErr).empty());
}

// SIGINT while idle does not end the service: every later run opens the cards, prints its
// capturing line, plays nothing and reports 0 frames.
TEST(VirtualInterruptTest, WhileIdleLeavesEveryLaterRunEmpty) {
    VirtualRig rig;
    rig.set_input(ramp(16 * kBlockFrames));
    rig.set_level("7");
    rig.start();
    ASSERT_TRUE(rig.wait_interrupt_handler(kDeadline));
    rig.service().send_signal(SIGINT);
    std::vector<std::string> expected;
    for (size_t run = 0; run < 3; ++run) {
        rig.set_trigger("1");
        ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline, run));
        EXPECT_EQ(rig.trigger(), kAcknowledgement);
        expected.insert(expected.end(), {kCapturingLine, captured_line(0), kPropExitLine});
    }
    EXPECT_EQ(rig.service().texts(Stream::kOut), expected);
    EXPECT_TRUE(rig.service().texts(Stream::kErr).empty());
    EXPECT_EQ(rig.played_bytes(), 0u);
    EXPECT_EQ(rig.delivered_bytes(), 0u);
}

}  // namespace
