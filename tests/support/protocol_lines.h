#pragma once

// The service's lines as the tests expect them, built from the protocol's own formats: each line
// as it arrives, without its newline.

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "protocol.h"

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
