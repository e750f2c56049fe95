// The protocol's lines spelled out once more, as the controlling processes and the logs they scan
// know them: every test compares the service's output with protocol.h, so a change there would
// otherwise pass unnoticed.

#include "protocol_lines.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(ProtocolTest, KeysAndLinesAreThoseControllersExpect) {
    EXPECT_STREQ(kTriggerProperty, "persist.audio.hdmi.preview");
    EXPECT_STREQ(kLevelProperty, "persist.sys.voice.level");
    EXPECT_STREQ(kAcknowledgement, "2");
    const std::pair<std::string, std::string> lines[] = {
        {capturing_line(), "Capturing sample: 2 ch, 48000 hz, 16 bit"},
        {captured_line(0), "Captured 0 frames"},
        // 64-bit: the count stays right past 2^32 bytes.
        {captured_line(4294967296ull), "Captured 4294967296 frames"},
        {kPropExitLine, "prop exit"},
        {capture_open_error_line("x"), "Unable to open PCM device (x)"},
        {playback_open_error_line(0, "x"), "Unable to open PCM device 0 (x)"},
        {kWriteErrorLine, "Error capturing sample"},
        {acknowledgement_error_line("Permission denied"),
         "Unable to write 2 into persist.audio.hdmi.preview (Permission denied)"},
    };
    for (const auto& [built, expected] : lines) EXPECT_EQ(built, expected);
}

TEST(ProtocolTest, CapturedLineIsRecognisedOnlyWhole) {
    uint64_t frames = 0;
    EXPECT_TRUE(parse_captured_line("Captured 18446744073709551615 frames", &frames));
    EXPECT_EQ(frames, UINT64_MAX);
    EXPECT_TRUE(parse_captured_line("Captured 0 frames", &frames));
    EXPECT_EQ(frames, 0u);
    for (const char* other : {"Captured frames", "Captured -1 frames", "Captured 12 frames ",
                              "Captured 012 frames", "Captured 12", "prop exit", ""}) {
        EXPECT_FALSE(parse_captured_line(other)) << other;
    }
}

// The storm's view of a run: a parser that let a line through out of order would hide a fault.
TEST(ProtocolTest, RunLinesParseOnlyInOrder) {
    const std::string unreadable = kUnreadablePrefix + kLevelProperty + " (Too many open files)";
    const std::string refused = acknowledgement_error_line("Is a directory");
    RunLines run;
    ASSERT_TRUE(parse_run_lines({unreadable, capturing_line(), kWriteErrorLine, unreadable,
                                 captured_line(9), refused, kPropExitLine, capturing_line()},
                                &run));
    EXPECT_TRUE(run.opened && run.write_failed && run.frames == 9 && run.ack_error == refused &&
                run.unreadable.size() == 2 && run.count == 7);
    const std::vector<std::string> out_of_order[] = {
        {captured_line(0), kPropExitLine},
        {capturing_line(), kPropExitLine},
        {capturing_line(), captured_line(0), kWriteErrorLine, kPropExitLine},
        {capturing_line(), captured_line(0)},
    };
    for (const auto& lines : out_of_order) EXPECT_FALSE(parse_run_lines(lines, &run));
}

}  // namespace
