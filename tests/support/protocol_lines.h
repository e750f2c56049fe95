#pragma once

// The service's lines as the tests expect them, built from the protocol's own formats: each line
// as it arrives, without its newline. And a run's lines read back in order (parse_run_lines).

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

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
inline std::string capture_rate_line(uint32_t capture_rate, uint32_t rate = kPreviewRate) {
    return protocol_detail::line(kCaptureRateFormat, capture_rate, rate);
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

// The property store's report of a failed read, "Unable to read KEY (cause)", up to the key.
inline const std::string kUnreadablePrefix = "Unable to read ";

// Whether `line` was printed with `format`, as far as the text before its first conversion tells.
inline bool printed_with(const std::string& line, const char* format) {
    const size_t fixed = strcspn(format, "%");
    return line.compare(0, fixed, format, fixed) == 0;
}

// One run as parse_run_lines reads it.
struct RunLines {
    size_t count = 0;                // lines taken: through "prop exit", or all when it never came
    std::vector<std::string> lines;  // the run's own lines, in order
    std::vector<std::string> unreadable;  // the store's reports, wherever they fell
    bool opened = false;                  // it began with the capturing line...
    std::string open_error;               // ...or with this open failure
    bool write_failed = false;            // the write error came before the count
    uint64_t frames = 0;                  // the count
    std::string ack_error;                // the acknowledgement's failure; empty: none
};

// Reads the run that starts at the first of `lines` (standard output and error merged) through
// its "prop exit", setting the store's reports aside. True when the run's own lines are, in
// order: the capturing line or an open failure, at most one write error, the count, at most one
// acknowledgement failure, and "prop exit".
inline bool parse_run_lines(const std::vector<std::string>& lines, RunLines* run) {
    *run = RunLines();
    for (const std::string& line : lines) {
        ++run->count;
        if (line.rfind(kUnreadablePrefix, 0) == 0) {
            run->unreadable.push_back(line);
            continue;
        }
        run->lines.push_back(line);
        if (line == kPropExitLine) break;
    }
    const std::vector<std::string>& own = run->lines;
    if (own.empty()) return false;
    if (own[0] == capturing_line()) {
        run->opened = true;
    } else if (printed_with(own[0], kCaptureOpenErrorFormat) ||
               printed_with(own[0], kPlaybackOpenErrorFormat)) {
        run->open_error = own[0];
    } else {
        return false;
    }
    size_t at = 1;
    if (at < own.size() && own[at] == kWriteErrorLine) {
        run->write_failed = true;
        ++at;
    }
    if (at == own.size() || !parse_captured_line(own[at++], &run->frames)) return false;
    if (at < own.size() && printed_with(own[at], kAcknowledgementErrorFormat)) {
        run->ack_error = own[at++];
    }
    return at + 1 == own.size() && own[at] == kPropExitLine;
}
