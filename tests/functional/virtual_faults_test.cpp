// The service on virtual cards that are missing, that fail in the middle of a run, or that it
// falls behind: every run ends cleanly and is acknowledged, and a late service catches up.

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "virtual_rig.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 5s;

struct AbsentCase {
    const char* name;
    const char* env;
    std::string error_line;
};

// Named in test listings by the case's name, not by its bytes.
void PrintTo(const AbsentCase& c, std::ostream* os) { *os << c.name; }

class VirtualAbsentCardTest : public ::testing::TestWithParam<AbsentCase> {};

// A missing card fails the open: the cause on standard error, no capturing line, nothing played,
// and the run acknowledged all the same.
TEST_P(VirtualAbsentCardTest, FailsTheOpenAndAcknowledges) {
    const AbsentCase& c = GetParam();
    VirtualRig rig;
    rig.set_input(ramp(16 * kBlockFrames));
    rig.add_env(c.env);
    rig.start(/*merge_output=*/true);
    rig.set_trigger("1");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline));
    EXPECT_EQ(rig.trigger(), kAcknowledgement);
    EXPECT_EQ(rig.service().texts(Stream::kOut),
              (std::vector<std::string>{c.error_line, captured_line(0), kPropExitLine}));
    EXPECT_EQ(rig.played_bytes(), 0u);
    EXPECT_EQ(rig.delivered_bytes(), 0u);
}

const AbsentCase kAbsentCases[] = {
    {"CaptureCard", "HDMI_PREVIEW_VCARD0_ABSENT=1",
     capture_open_error_line("cannot open device 'hw:0,0': No such device")},
    // The message names the device number, 0, not the card.
    {"PlaybackCard", "HDMI_PREVIEW_VCARD1_ABSENT=1",
     playback_open_error_line(0, "cannot open device 'hw:1,0': No such device")},
    // A card variable that holds no card id is refused before alsa-lib would parse it.
    {"CaptureCardIdWithComma", "HDMI_PREVIEW_CARD0=Loopback,DEV=1",
     capture_open_error_line(
         "HDMI_PREVIEW_CARD0 is not an ALSA card id: a character other than a letter, digit, '_' "
         "or '-'")},
    {"PlaybackCardIdOf16Characters", "HDMI_PREVIEW_CARD1=LoopbackPlayout1",
     playback_open_error_line(
         0, "HDMI_PREVIEW_CARD1 is not an ALSA card id: longer than 15 characters")},
};

INSTANTIATE_TEST_SUITE_P(Cards, VirtualAbsentCardTest, ::testing::ValuesIn(kAbsentCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
    const char* name;
    const char* env;
    std::vector<std::string> lines;  // standard output and error, in order
    size_t blocks_read;
};

// Named in test listings by the case's name, not by its bytes.
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class VirtualDeviceFailureTest : public ::testing::TestWithParam<FailureCase> {};

// A device that fails after six periods ends the run: silently for a read, with a message for
// a write; the six blocks played are counted and the run is acknowledged.
TEST_P(VirtualDeviceFailureTest, EndsTheRunAndAcknowledges) {
    const FailureCase& c = GetParam();
    VirtualRig rig;
    const Samples input = ramp(32 * kBlockFrames);
    rig.set_input(input);
    rig.set_level("7");
    rig.add_env(c.env);
    rig.start(/*merge_output=*/true);
    rig.set_trigger("1");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline));
    EXPECT_EQ(rig.trigger(), kAcknowledgement);
    EXPECT_EQ(rig.service().texts(Stream::kOut), c.lines);
    EXPECT_EQ(rig.delivered_bytes(), c.blocks_read * kBlockBytes);
    const Samples six_blocks(input.begin(), input.begin() + 6 * kBlockSamples);
    EXPECT_TRUE(same_samples(scaled(six_blocks, 7), rig.played()));
}

const FailureCase kFailureCases[] = {
    {"Capture",
     "HDMI_PREVIEW_VCARD0_FAIL_AFTER=6",
     {kCapturingLine, captured_line(6 * kBlockFrames), kPropExitLine},
     6},
    {"Playback",
     "HDMI_PREVIEW_VCARD1_FAIL_AFTER=6",
     {kCapturingLine, kWriteErrorLine, captured_line(6 * kBlockFrames), kPropExitLine},
     7},
};

INSTANTIATE_TEST_SUITE_P(Devices, VirtualDeviceFailureTest, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct StallCase {
    const char* name;
    std::chrono::milliseconds stall;
    bool capture_overruns;  // beyond capture's stop threshold, ten buffers (853 ms)
};

// Named in test listings by the case's name, not by its bytes.
void PrintTo(const StallCase& c, std::ostream* os) { *os << c.name; }

class VirtualStallTest : public ::testing::TestWithParam<StallCase> {};

// Stopped with SIGSTOP in the middle of a run and continued: playback underruns (and capture
// overruns, after a long stall); the service recovers and keeps streaming, every played block
// still the gain of a captured one.
TEST_P(VirtualStallTest, RecoversAndKeepsStreaming) {
    const StallCase& c = GetParam();
    VirtualRig rig;
    const Samples input = pseudo_random(256 * kBlockFrames);
    rig.set_input(input);
    rig.set_level("3");
    rig.start();
    rig.set_trigger("1");
    ASSERT_TRUE(rig.wait_played_blocks(8, kDeadline));
    rig.service().send_signal(SIGSTOP);
    std::this_thread::sleep_for(c.stall);  // the stimulus itself, not a wait for the service
    rig.service().send_signal(SIGCONT);
    const size_t resumed = rig.played_bytes() / kBlockBytes;
    ASSERT_TRUE(rig.wait_played_blocks(resumed + 20, kDeadline));
    rig.set_trigger("0");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline));
    EXPECT_EQ(rig.trigger(), kAcknowledgement);

    const Samples played = rig.played();
    const Samples delivered = rig.delivered();
    EXPECT_EQ(rig.service().texts(Stream::kOut),
              (std::vector<std::string>{kCapturingLine, captured_line(played.size() / 2),
                                        kPropExitLine}));
    EXPECT_TRUE(rig.service().texts(Stream::kErr).empty());
    ASSERT_EQ(delivered.size(), played.size() + kBlockSamples);
    EXPECT_TRUE(same_samples(scaled(Samples(delivered.begin(), delivered.end() - kBlockSamples), 3),
                             played));
    // Capture lost the frames it took in while the service was stopped only when it overran.
    Samples from_input = input;
    from_input.resize(delivered.size());
    EXPECT_EQ(from_input != delivered, c.capture_overruns);
}

const StallCase kStallCases[] = {
    {"ShortStall", 300ms, false},
    {"LongStall", 1200ms, true},
};

INSTANTIATE_TEST_SUITE_P(Stalls, VirtualStallTest, ::testing::ValuesIn(kStallCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
