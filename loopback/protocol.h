#pragma once

// What the service and the processes around it see of each other: the two property keys, the
// value the service writes back after a run, and every line it prints. The service prints with
// the formats below; the tests build the lines they expect from the same formats
// (tests/support/protocol_lines.h), so a line is spelled in one place only.

#include <inttypes.h>
#include <stdint.h>
#include <stdlib.h>

// The trigger: another process writes 1 to start a preview and anything else to stop it; the
// service writes kAcknowledgement after every run.
inline constexpr char kTriggerProperty[] = "persist.audio.hdmi.preview";
// The level: every sample is scaled by level/7.
inline constexpr char kLevelProperty[] = "persist.sys.voice.level";
inline constexpr char kAcknowledgement[] = "2";
// A trigger text asks for a preview when its integer value, as atoi reads it, is 1 ("1", "01",
// "+1", " 1", "1abc"); anything else, "2" included, does not.
inline bool requests_preview(const char* text) { return atoi(text) == 1; }

// The stream that the service runs, as its "Capturing sample" line names it.
inline constexpr uint32_t kPreviewChannels = 2;
inline constexpr uint32_t kPreviewRate = 48000;
inline constexpr uint32_t kPreviewBits = 16;

// Standard output.
inline constexpr char kCapturingFormat[] = "Capturing sample: %u ch, %u hz, %u bit\n";
inline constexpr char kCapturedFormat[] = "Captured %" PRIu64 " frames\n";
inline constexpr char kPropExitLine[] = "prop exit";
// With drift compensation, after the capturing line, when capture runs at another rate.
inline constexpr char kCaptureRateFormat[] = "Capture rate %u hz, resampled to %u hz\n";

// Standard error.
inline constexpr char kCaptureOpenErrorFormat[] = "Unable to open PCM device (%s)\n";
inline constexpr char kPlaybackOpenErrorFormat[] = "Unable to open PCM device %u (%s)\n";
inline constexpr char kAllocationErrorFormat[] = "Unable to allocate %u bytes\n";
inline constexpr char kWriteErrorLine[] = "Error capturing sample";
inline constexpr char kAcknowledgementErrorFormat[] = "Unable to write %s into %s (%s)\n";
inline constexpr char kDriftErrorFormat[] =
    "Unable to set up drift compensation for %u ch, %u hz, %u bit\n";
