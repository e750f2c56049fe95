#pragma once

// What the service and the processes around it see of each other: the two property keys, the
// value the service writes back after a run, and every line it prints. The service prints with
// the formats below; tests build the lines they expect with the functions, which use the same
// formats, so a line is spelled in one place only.

#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

// The trigger: another process writes 1 to start a preview and anything else to stop it; the
// service writes kAcknowledgement after every run.
inline constexpr char kTriggerProperty[] = "persist.audio.hdmi.preview";
// The level: every sample is scaled by level/7.
inline constexpr char kLevelProperty[] = "persist.sys.voice.level";
inline constexpr char kAcknowledgement[] = "2";

// The stream that the service runs, as its "Capturing sample" line names it.
inline constexpr uint32_t kPreviewChannels = 2;
inline constexpr uint32_t kPreviewRate = 48000;
inline constexpr uint32_t kPreviewBits = 16;

// Standard output.
inline constexpr char kCapturingFormat[] = "Capturing sample: %u ch, %u hz, %u bit\n";
inline constexpr char kCapturedFormat[] = "Captured %" PRIu64 " frames\n";
inline constexpr char kPropExitLine[] = "prop exit";

// Standard error.
inline constexpr char kCaptureOpenErrorFormat[] = "Unable to open PCM device (%s)\n";
inline constexpr char kPlaybackOpenErrorFormat[] = "Unable to open PCM device %u (%s)\n";
inline constexpr char kAllocationErrorFormat[] = "Unable to allocate %u bytes\n";
inline constexpr char kWriteErrorLine[] = "Error capturing sample";
inline constexpr char kAcknowledgementErrorFormat[] = "Unable to write %s into %s (%s)\n";
inline constexpr char kDriftErrorFormat[] =
    "Unable to set up drift compensation for %u ch, %u hz, %u bit\n";

namespace protocol_detail {
// One printed line without its newline.
template <typename... Args>
std::string line(const char* format, Args... args) {
    char text[512];
    if (snprintf(text, sizeof text, format, args...) < 0) return std::string();
    std::string out(text);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}
}  // namespace protocol_detail

// The lines as they arrive, without the newline.
inline std::string capturing_line(uint32_t channels = kPreviewChannels,
                                  uint32_t rate = kPreviewRate, uint32_t bits = kPreviewBits) {
    return protocol_detail::line(kCapturingFormat, channels, rate, bits);
}
inline std::string captured_line(uint64_t frames) {
    return protocol_detail::line(kCapturedFormat, frames);
}
inline std::string capture_open_error_line(const std::string& cause) {
    return protocol_detail::line(kCaptureOpenErrorFormat, cause.c_str());
}
inline std::string playback_open_error_line(uint32_t device, const std::string& cause) {
    return protocol_detail::line(kPlaybackOpenErrorFormat, device, cause.c_str());
}
inline std::string drift_error_line(uint32_t channels, uint32_t rate, uint32_t bits) {
    return protocol_detail::line(kDriftErrorFormat, channels, rate, bits);
}
inline std::string acknowledgement_error_line(const std::string& cause) {
    return protocol_detail::line(kAcknowledgementErrorFormat, kAcknowledgement, kTriggerProperty,
                                 cause.c_str());
}

// Whether `line` is a "Captured N frames" line; if so, stores N in `frames` (when not null).
inline bool parse_captured_line(const std::string& line, uint64_t* frames = nullptr) {
    const std::string prefix = captured_line(0).substr(0, captured_line(0).find('0'));
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    const char* digits = line.c_str() + prefix.size();
    if (*digits < '0' || *digits > '9') return false;
    const uint64_t n = strtoull(digits, nullptr, 10);
    if (line != captured_line(n)) return false;
    if (frames != nullptr) *frames = n;
    return true;
}
