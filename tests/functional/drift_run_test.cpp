// The service with drift compensation on a pair of virtual cards whose clocks are 3000 ppm apart,
// either way, for a minute (standing for 300 ppm over ten minutes): no underrun, no overrun, and
// the latency from capture to playback held at its set point. The same with a capture card that
// opens only at a source's rate, or opens at 48 kHz and delivers a source's rate: the capture rate
// line, and a latency as low as the longer or shorter blocks allow.
//
// Capture delivers short pulses, one every 100 ms. The cards log when each stream started and
// at which file frame, so the instant at which every captured and every played frame passed
// the card is known on the card's own clock; a pulse's latency is the time between the two.
//
// The same program, built without the option, prints the figures of the uncompensated run and
// checks nothing. HDMI_PREVIEW_DRIFT_RUN_SECONDS sets every run's length (else 60 s, and 20 s for
// the rows of source rates).

#include <math.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "virtual_rig.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 5s;
constexpr double kRate = 48000;
constexpr size_t kMarkerSpacing = 4800;  // frames played: 100 ms
constexpr size_t kFirstMarker = 100;     // frames into the first block
constexpr double kMarkerSigma = 3;       // frames: well inside the audio band
constexpr int16_t kMarkerPeak = 16000;
// The controller holds the queue that the run started with, at least one block, so a frame waits
// one block to be read and at least one to be played, plus the resampler's own delay. The start's
// queue is the mean over the writes of its first third of a second once playback runs, which
// play the pulses captured in about its first 0.45 s.
constexpr double kSetPointFrames = 1024;
constexpr double kStartSeconds = 0.45;
constexpr double kSettledAfterSeconds = 5;
constexpr double kToleranceMs = 2;

#ifdef HDMI_PREVIEW_DRIFT_COMPENSATION
constexpr bool kCompensated = true;
#else
constexpr bool kCompensated = false;
#endif

int run_seconds(int by_default) {
    const char* text = getenv("HDMI_PREVIEW_DRIFT_RUN_SECONDS");
    const int seconds = text != nullptr ? atoi(text) : 0;
    return seconds > 0 ? seconds : by_default;
}

Samples markers(size_t frames, size_t spacing) {
    Samples out(frames * 2, 0);
    for (size_t centre = kFirstMarker; centre + 32 < frames; centre += spacing) {
        for (size_t i = centre - 16; i <= centre + 16; ++i) {
            const double x = (static_cast<double>(i) - centre) / kMarkerSigma;
            const auto s = static_cast<int16_t>(lround(kMarkerPeak * exp(-0.5 * x * x)));
            out[2 * i] = s;
            out[2 * i + 1] = static_cast<int16_t>(-s);
        }
    }
    return out;
}

// Pulses in the left channel: the sub-frame position of each peak (a parabola through the
// largest sample and its neighbours).
std::vector<double> pulses(const Samples& samples) {
    std::vector<double> out;
    const size_t frames = samples.size() / 2;
    auto left = [&](size_t i) { return static_cast<double>(samples[2 * i]); };
    for (size_t i = 1; i + 1 < frames; ++i) {
        if (left(i) < kMarkerPeak / 2.0 || left(i) < left(i - 1) || left(i) < left(i + 1)) continue;
        if (!out.empty() && i - out.back() < kMarkerSpacing / 2) continue;
        const double a = left(i - 1), b = left(i), c = left(i + 1);
        const double curve = a - 2 * b + c;
        out.push_back(static_cast<double>(i) + (curve != 0 ? 0.5 * (a - c) / curve : 0.0));
    }
    return out;
}

// A stream's start as the card logged it: from `start_ns` on, file frame `file_frame` + p passed
// the card p * ns_per_frame later.
struct Start {
    double start_ns;
    double file_frame;
    double ns_per_frame;
};

struct CardLog {
    std::vector<Start> starts;
    int xruns = 0;
    // Each xrun: how long after the stream's start it ran dry (or full), and how much later the
    // service next came to the card and found it so. A late service points at the host (a
    // stall), a prompt one at the controller.
    std::string xrun_details;
};

CardLog read_log(const std::string& path, const std::string& stream) {
    CardLog log;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, which;
        words >> kind >> which;
        if (which != stream) continue;
        double seen_ns, position;
        if (kind == "xrun" && !log.starts.empty() && words >> seen_ns >> position) {
            ++log.xruns;
            const Start& s = log.starts.back();
            const double dry_ns = s.start_ns + position * s.ns_per_frame;
            std::ostringstream detail;
            detail << " [" << stream << " xrun at " << (dry_ns - log.starts.front().start_ns) * 1e-9
                   << " s, seen " << (seen_ns - dry_ns) * 1e-6 << " ms later]";
            log.xrun_details += detail.str();
        }
        if (kind != "start") continue;
        double start_ns, file_frame, period_ns, period_frames;
        if (words >> start_ns >> file_frame >> period_ns >> period_frames) {
            log.starts.push_back({start_ns, file_frame, period_ns / period_frames});
        }
    }
    return log;
}

// The instant (ns) at which file frame `frame` passed the card.
double time_of(const CardLog& log, double frame) {
    const Start* at = &log.starts.front();
    for (const Start& s : log.starts) {
        if (s.file_frame <= frame) at = &s;
    }
    return at->start_ns + (frame - at->file_frame) * at->ns_per_frame;
}

// utime + stime of a process, in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) ticks += std::stod(field);  // fields 14 and 15
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct DriftCase {
    const char* name;
    const char* capture_ppm;
    const char* playback_ppm;
    double card_rate = kRate;    // the only rate card 0 opens at
    double source_rate = kRate;  // the rate card 0 delivers at, nominally
    // A minute for the clocks to drift apart; a rate is taken within the first second.
    int seconds = 60;
};

void PrintTo(const DriftCase& c, std::ostream* os) { *os << c.name; }

class DriftRunTest : public ::testing::TestWithParam<DriftCase> {};

TEST_P(DriftRunTest, HoldsTheLatencyWithoutUnderrunsOrOverruns) {
    const DriftCase& c = GetParam();
    const int seconds = run_seconds(c.seconds);
    VirtualRig rig;
    const std::string folder = rig.store().substr(0, rig.store().rfind('/'));
    const size_t spacing = static_cast<size_t>(c.source_rate / 10);  // 100 ms
    rig.set_input(markers(static_cast<size_t>((seconds + 5) * c.source_rate), spacing));
    rig.set_level("7");
    rig.add_env("HDMI_PREVIEW_VCARD0_RATE=" + std::to_string(lround(c.card_rate)));
    rig.add_env(std::string("HDMI_PREVIEW_VCARD0_PPM=") + c.capture_ppm);
    rig.add_env(std::string("HDMI_PREVIEW_VCARD1_PPM=") + c.playback_ppm);
    rig.start();
    // The run checks the controller, not the host's scheduler: on a loaded 2-core machine a
    // service at normal priority now and then waits longer than the block it has queued. As an
    // audio service on a device, it runs at a real-time priority when the test may grant one.
    sched_param priority = {};
    priority.sched_priority = 10;
    const bool real_time = sched_setscheduler(rig.service().pid(), SCHED_FIFO, &priority) == 0;
    rig.set_trigger("1");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kCapturingLine, kDeadline));
    const double cpu_before = cpu_seconds(rig.service().pid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpu_seconds(rig.service().pid()) - cpu_before;
    rig.set_trigger("0");
    ASSERT_TRUE(rig.service().wait_for_line(Stream::kOut, kPropExitLine, kDeadline));
    EXPECT_EQ(rig.trigger(), kAcknowledgement);

    const CardLog capture = read_log(folder + "/card0-events.txt", "capture");
    const CardLog playback = read_log(folder + "/card1-events.txt", "playback");
    ASSERT_EQ(capture.starts.size(), 1u + capture.xruns);
    ASSERT_FALSE(playback.starts.empty());

    // Pulse k of the output is the marker captured about one latency earlier; the latency moves
    // slowly (or by a gap's length at an underrun), so each pulse is matched near the last one's.
    const std::vector<double> played = pulses(rig.played());
    ASSERT_FALSE(played.empty());
    // The first block is played at the ratio of the rate card 0 opened at.
    const double resampler_delay = played.front() - kFirstMarker * kRate / c.card_rate;
    // A frame waits a block to be read, then the queue: at least a block as played, or what is
    // left of the two blocks' worth that start playback (half the buffer) when the next comes.
    const double played_block = kBlockFrames * kRate / c.source_rate;
    const double queue = std::max(played_block, 2 * kSetPointFrames - played_block);
    const double floor_ms =
        (kBlockFrames / c.source_rate + (queue + resampler_delay) / kRate) * 1e3;
    double latency_ms = floor_ms;
    std::vector<std::pair<double, double>> latencies;  // seconds since the start, ms
    double start_sum = 0;
    int start_count = 0;
    for (const double frame : played) {
        const double played_ns = time_of(playback, frame);
        const double guess_ns = played_ns - latency_ms * 1e6 - capture.starts.front().start_ns;
        const double marker = std::max(
            0.0, round((guess_ns / capture.starts.front().ns_per_frame - kFirstMarker) / spacing));
        const double captured_frame = kFirstMarker + marker * spacing;
        latency_ms = (played_ns - time_of(capture, captured_frame)) * 1e-6;
        latencies.emplace_back(captured_frame / c.source_rate, latency_ms);
        if (captured_frame / c.source_rate < kStartSeconds) {
            start_sum += latency_ms;
            ++start_count;
        }
    }
    const double set_point_ms =
        kCompensated && start_count > 0 ? std::max(floor_ms, start_sum / start_count) : floor_ms;
    double at_5s = NAN, peak_deviation = 0, peak_deviation_settled = 0;
    std::ostringstream series;
    for (const auto& [since_start, latency] : latencies) {
        latency_ms = latency;
        const double deviation = latency_ms - set_point_ms;
        series << since_start << ' ' << latency_ms << '\n';
        if (std::isnan(at_5s) && since_start >= kSettledAfterSeconds) at_5s = latency_ms;
        if (fabs(deviation) > fabs(peak_deviation)) peak_deviation = deviation;
        if (since_start >= kSettledAfterSeconds && fabs(deviation) > fabs(peak_deviation_settled)) {
            peak_deviation_settled = deviation;
        }
    }

    // For the figures: one line each, and the latency series when asked for.
    std::ostringstream figures;
    figures << c.name << (kCompensated ? " compensated" : " uncompensated") << ": underruns "
            << playback.xruns << ", overruns " << capture.xruns << " in " << seconds
            << " s; latency set point " << set_point_ms << " ms (resampler delay "
            << resampler_delay << " frames), at 5 s " << at_5s << " ms, at the end " << latency_ms
            << " ms, peak deviation " << peak_deviation << " ms (" << peak_deviation_settled
            << " ms after 5 s); CPU " << cpu / seconds * 1e3 << " ms per s of audio"
            << (real_time ? "" : " (normal priority)") << playback.xrun_details
            << capture.xrun_details;
    std::cout << figures.str() << std::endl;
    RecordProperty("figures", figures.str());
    if (const char* out = getenv("HDMI_PREVIEW_DRIFT_RUN_SERIES")) {
        std::ofstream(std::string(out) + "/" + c.name + (kCompensated ? "-on" : "-off") + ".txt")
            << series.str();
    }

    if (!kCompensated) return;
    if (c.source_rate != kRate) {
        EXPECT_TRUE(
            rig.service().wait_for_line(Stream::kOut, capture_rate_line(c.source_rate), 0s));
        EXPECT_LE(set_point_ms, floor_ms + kToleranceMs);
    }
    EXPECT_EQ(playback.xruns, 0);
    EXPECT_EQ(capture.xruns, 0);
    EXPECT_LE(fabs(peak_deviation_settled), kToleranceMs);
    // Every marker captured in the run was played but those still queued at the stop.
    EXPECT_GE(played.size() + 3, static_cast<size_t>(seconds * kRate / kMarkerSpacing));
}

// Capture's clock and playback's are 3000 ppm apart, each 1500 ppm off nominal.
const DriftCase kDriftCases[] = {
    {"PlaybackFast", "-1500", "1500"},
    {"PlaybackSlow", "1500", "-1500"},
    {"Source44100", "0", "0", 44100, 44100, 20},
    {"Source32000", "0", "0", 32000, 32000, 20},
    {"Source96000", "0", "0", 96000, 96000, 20},
    {"Delivers44100", "-81250", "0", 48000, 44100, 20},  // opens at 48 kHz
    {"Delivers32000", "-333333", "0", 48000, 32000, 20},
};

INSTANTIATE_TEST_SUITE_P(Clocks, DriftRunTest, ::testing::ValuesIn(kDriftCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
