// The drift compensation: the controller with each resampler against a simulated pair of clocks,
// the resamplers themselves, and the loopback built with HDMI_PREVIEW_DRIFT_COMPENSATION over the
// fakes.

#include "drift.h"

#include <ctype.h>
#include <math.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "drift_simulation.h"
#include "fakes.h"
#include "gtest/gtest.h"
#include "loopback.h"
#include "pcm_open_req.h"

// Defined by the service in the real program; this executable has none.
volatile sig_atomic_t keep_running = 1;
char prop_value[PROPERTY_VALUE_MAX];

namespace {

using drift_simulation::kBackends;
using drift_simulation::kBlock;
using drift_simulation::kBuffer;
using drift_simulation::kChannels;
using drift_simulation::kRate;

constexpr size_t kFiveSeconds = 235;  // blocks
// Past the blocks from which a run takes its set point.
constexpr int kSetPointBlocks = 20;

// The tables run once per resampler built in, each instance named after it (DriftTest.X/samplerate,
// DriftTest.X/speex_q3), so that a build can select the rows its resampler adds and CTest can run
// them side by side.
class DriftTest : public testing::TestWithParam<const struct resampler_backend*> {};

std::string backend_test_name(const testing::TestParamInfo<const struct resampler_backend*>& info) {
    std::string name = info.param->name;
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(, DriftTest, testing::ValuesIn(kBackends), backend_test_name);

// Either clock faster, by an ordinary offset and by the tenfold one the virtual cards run: the
// queue never empties or overflows, is within 2 ms of its set point after 5 s, settles there, and
// the ratio on the offset: within a few ppm (no audible wobble) where the resampler takes any
// ratio, within a step and seldom changed where it moves in steps.
TEST_P(DriftTest, QueueAndRatioSettleForEitherClockFaster) {
    struct Case {
        double offset_ppm;
        double jitter;
    };
    const Case cases[] = {{300, 0}, {-300, 0}, {300, 2}, {-300, 2}, {3000, 2}, {-3000, 2}, {0, 2}};
    constexpr int kBlocks = 1500;
    constexpr int kSettled = 500;
    const struct resampler_backend* backend = GetParam();
    const double step = backend->ratio_step;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << backend->name << ", " << c.offset_ppm << " ppm, jitter " << c.jitter);
        const drift_simulation::Run run =
            drift_simulation::simulate(backend, c.offset_ppm, kBlocks, c.jitter);
        ASSERT_TRUE(run.created);
        EXPECT_GT(run.min_queue, 0.5 * kBlock);            // never near an underrun
        EXPECT_LE(run.max_queue, kBuffer - 0.5 * kBlock);  // nor near a full buffer
        EXPECT_LT(drift_simulation::peak_deviation(run, kFiveSeconds), 96);
        // A held step lets the queue swing by about a frame per 10 ppm of step.
        EXPECT_LT(drift_simulation::peak_deviation(run, kBlocks - kSettled),
                  4.0 + c.jitter + step * 1e5);
        double ratio_error = 0;
        int changes = 0;
        for (size_t b = kBlocks - kSettled; b < run.ratio.size(); ++b) {
            ratio_error = std::max(ratio_error, fabs(run.ratio[b] - 1 - c.offset_ppm * 1e-6));
            changes += run.ratio[b] != run.ratio[b - 1];
        }
        EXPECT_LT(ratio_error, step > 0 ? 1.01 * step : 4e-6);
        if (step > 0) {
            EXPECT_LE(changes, 10);
        }
    }
}

// A sine through the compensation keeps its shape: 2^16 frames from 5 s on, either clock faster
// or none, with the queue's jitter steering the ratio. 15 kHz also keeps its level: a filter too
// short for the band (speex at quality 0) takes a decibel off it.
TEST_P(DriftTest, SinesKeepTheirShape) {
    const struct resampler_backend* backend = GetParam();
    for (double offset_ppm : {300.0, -300.0, 0.0}) {
        for (double tone : {1000.0, 4000.0, 15000.0}) {
            SCOPED_TRACE(testing::Message()
                         << backend->name << ", " << offset_ppm << " ppm, " << tone << " Hz");
            constexpr size_t kFrames = 1 << 16;
            const drift_simulation::Run run = drift_simulation::simulate(
                backend, offset_ppm, kFiveSeconds + kFrames / kBlock + 4, 2, tone, true);
            ASSERT_GE(run.played.size(), (kFiveSeconds * kBlock + kFrames) * kChannels);
            const double cycles = tone / (kRate * (1 + offset_ppm * 1e-6));
            const int16_t* settled = &run.played[kFiveSeconds * kBlock * kChannels];
            EXPECT_GT(drift_simulation::snr_db(settled, kFrames, cycles), 60);
            EXPECT_NEAR(drift_simulation::level_db(settled, kFrames), 0, 0.3);
        }
    }
}

// Each backend takes every ratio the compensation may ask, across 1 and back, changed every few
// blocks, to within half its step (a step and a half next to 1, which the speex backend does not
// take once running and where it keeps the neighbour it holds), and plays as many frames as that
// ratio says. (A speex denominator whose rescaled phase overflows 32 bits refuses some of these
// changes, and its output then runs at a stale ratio.)
TEST_P(DriftTest, ResamplersTakeAndMeterEveryRatio) {
    std::vector<int16_t> in(kBlock * kChannels), out(2 * kBlock * kChannels);
    const struct resampler_backend* backend = GetParam();
    SCOPED_TRACE(backend->name);
    struct resampler* r = backend->create(kChannels, kRate, kBlock);
    ASSERT_NE(r, nullptr);
    // Past the filter's delay first.
    ASSERT_GE(backend->process(r, in.data(), kBlock, out.data(), 2 * kBlock), 0);
    for (int pass = 0; pass < 2; ++pass) {
        for (int k = -700; k <= 700; k += 7) {
            const double asked = 1 + (pass == 0 ? k : -k) * 7.3e-6;
            const double taken = backend->set_ratio(r, asked);
            ASSERT_GT(taken, 0) << asked;
            EXPECT_LE(fabs(taken - asked), 1.51 * backend->ratio_step + 1e-12) << asked;
            // Over 8 blocks, the filter's delay and the fraction carried over stay within a
            // couple of frames.
            int played = 0;
            for (int b = 0; b < 8; ++b) {
                played += backend->process(r, in.data(), kBlock, out.data(), 2 * kBlock);
            }
            EXPECT_NEAR(played, 8 * kBlock * taken, 3) << asked;
        }
    }
    backend->destroy(r);
}

// A ratio that moves back and forth across 1, as it does when the clocks agree, keeps a 4 kHz sine
// clean: a speex ratio that reduces to a smaller denominator (1/1) drops the fraction of its phase
// and clicks.
TEST_P(DriftTest, RatioAcrossOneKeepsTheSineClean) {
    constexpr double kTone = 4000;
    constexpr double kStep = 15.3e-6;
    std::vector<int16_t> in(kBlock * kChannels), out(2 * kBlock * kChannels), played;
    const struct resampler_backend* backend = GetParam();
    SCOPED_TRACE(backend->name);
    struct resampler* r = backend->create(kChannels, kRate, kBlock);
    ASSERT_NE(r, nullptr);
    for (int b = 0; b < 160; ++b) {
        ASSERT_GT(backend->set_ratio(r, b / 8 % 3 == 0   ? 1 + kStep
                                        : b / 8 % 3 == 1 ? 1
                                                         : 1 - kStep),
                  0);
        for (uint32_t i = 0; i < kBlock; ++i) {
            const double t = static_cast<double>(b * kBlock + i) / kRate;
            in[2 * i] = in[2 * i + 1] =
                static_cast<int16_t>(lrint(8000 * sin(2 * M_PI * kTone * t)));
        }
        const int frames = backend->process(r, in.data(), kBlock, out.data(), 2 * kBlock);
        ASSERT_GE(frames, 0);
        played.insert(played.end(), out.begin(), out.begin() + frames * kChannels);
    }
    backend->destroy(r);
    // Past the filter's delay; the ratio averages 1.
    EXPECT_GT(
        drift_simulation::snr_db(&played[4 * kBlock * kChannels], 150 * kBlock, kTone / kRate), 70);
}

// Offsets beyond the clamp are not followed: the ratio stops at its limit instead of running off.
TEST_P(DriftTest, RatioIsClamped) {
    const struct resampler_backend* backend = GetParam();
    SCOPED_TRACE(backend->name);
    DriftOwner drift(drift_create(kChannels, kRate, kBlock, kBuffer, backend), drift_destroy);
    ASSERT_TRUE(drift);
    std::vector<int16_t> block(kBlock * kChannels);
    uint32_t frames = 0;
    for (int b = 0; b < 1000; ++b) {
        drift_resample(drift.get(), block.data(), kBlock, 0, &frames);
    }
    EXPECT_NEAR(drift_ratio(drift.get()), 1.005, std::max(backend->ratio_step, 1e-9));
    EXPECT_LE(frames, static_cast<uint32_t>(kBlock * 1.005) + 2);
}

// After an underrun playback restarts with a block or more above the queue it lost: the ratio
// brings it back to the set point without carrying it far past (the settled loop carried it most
// of a block past or emptied it: the next underrun), with either clock faster.
TEST_P(DriftTest, QueueComesBackAfterAnUnderrunWithoutOvershoot) {
    const struct resampler_backend* backend = GetParam();
    for (const double offset_ppm : {-300.0, 300.0}) {
        SCOPED_TRACE(testing::Message() << backend->name << ", " << offset_ppm << " ppm");
        DriftOwner drift(drift_create(kChannels, kRate, kBlock, kBuffer, backend), drift_destroy);
        ASSERT_TRUE(drift);
        std::vector<int16_t> block(kBlock * kChannels);
        // Frames queued just before each write; playback takes a block and the offset each.
        double queued = kBlock;
        const auto step = [&](double reported) {
            uint32_t frames = 0;
            drift_resample(drift.get(), block.data(), kBlock, reported, &frames);
            queued += frames - kBlock * (1 + offset_ppm * 1e-6);
        };
        for (int b = 0; b < 1500; ++b) step(queued);  // settled
        for (int b = 0; b < 3; ++b) step(-1);         // stopped
        queued = 2.7 * kBlock;
        double lowest = queued;
        for (int b = 0; b < 3000; ++b) {
            step(queued);
            lowest = std::min(lowest, queued);
        }
        EXPECT_GT(lowest, kBlock - 200.0);
        EXPECT_NEAR(queued, kBlock, 20);
    }
}

// The set point is the queue that the run starts with, the uncompensated run's latency, and the
// ratio stays 1 while it is measured: a start with more queued holds that much, one with less
// holds a block, one past half the buffer holds half. An underrun during the measurement starts
// it over, so the queue of the stream that stopped does not count.
TEST(DriftSetPointTest, SetPointIsTheQueueTheRunStartsWith) {
    struct Case {
        double start_queue;    // frames before each write, with a jitter of a few frames
        double stopped_queue;  // before an underrun in the 5th running block; 0: none
        double set_point;
    };
    const Case cases[] = {
        {1300, 0, 1300}, {700, 0, 1024}, {3000, 0, 2048}, {1150, 400, 1150}, {1024, 0, 1024}};
    std::vector<int16_t> block(kBlock * kChannels);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.start_queue << ", " << c.stopped_queue);
        DriftOwner drift(drift_create(kChannels, kRate, kBlock, kBuffer), drift_destroy);
        ASSERT_TRUE(drift);
        uint32_t frames = 0;
        const auto step = [&](double queued) {
            drift_resample(drift.get(), block.data(), kBlock, queued, &frames);
        };
        step(-1);
        step(-1);
        if (c.stopped_queue > 0) {
            for (int b = 0; b < 4; ++b) step(c.stopped_queue);
            step(-1);
            step(-1);
        }
        for (int b = 0; b < kSetPointBlocks; ++b) {
            step(c.start_queue + (b % 3 - 1) * 4);
            // A quarter of a second, well inside the measurement.
            if (b < 12) {
                EXPECT_EQ(drift_ratio(drift.get()), 1.0) << b;
            }
        }
        EXPECT_NEAR(drift_set_point(drift.get()), c.set_point, 3);
    }
}

class DriftLoopbackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::reset();
        keep_running = 1;
        fakes::set_property(kTriggerProperty, "1");
        fakes::set_property(kLevelProperty, "7");
    }
    static uint64_t run(uint32_t bits = 16) {
        return fakes::transcribe([bits] { return run_loopback(0, 1, 0, 2, 48000, bits, 1024, 4); });
    }
    static void stop_at_read(int block) {
        fakes::script().on_read = [block](int b) {
            if (b == block) fakes::set_property(kTriggerProperty, "0");
        };
    }
};

// The run keeps its shape: per block a read, the queue asked of playback, a write of whole
// frames; the count is the frames written; the streams are closed capture first.
TEST_F(DriftLoopbackTest, RunPlaysTheResampledBlocksAndCountsThem) {
    fakes::script().playback_avail = {-1, -1, 3072, 3072, 3072};
    stop_at_read(5);
    const uint64_t frames = run();
    const std::vector<std::string> log = fakes::log();
    const std::vector<std::string> writes = fakes::entries("pcm_write");
    ASSERT_EQ(writes.size(), 5u);
    uint64_t written = 0;
    for (const std::vector<unsigned char>& w : fakes::written()) {
        EXPECT_EQ(w.size() % 4, 0u);
        // The first block too: a short one would leave playback below its start threshold.
        EXPECT_NEAR(static_cast<double>(w.size()) / 4, 1024, 2);
        written += w.size() / 4;
    }
    EXPECT_EQ(frames, written);
    // Capture is asked at every block of the first second (its rate), before playback.
    const std::string p = "pcm_get_htimestamp(playback)", c = "pcm_get_htimestamp(capture)";
    EXPECT_EQ(fakes::entries("pcm_get_htimestamp"),
              (std::vector<std::string>{c, p, c, p, c, p, c, p, c, p}));
    EXPECT_EQ(fakes::entries("out: "), std::vector<std::string>{fakes::out(capturing_line())});
    EXPECT_TRUE(fakes::entries("err: ").empty());
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ((std::vector<std::string>{log.end() - 2, log.end()}),
              (std::vector<std::string>{"pcm_close(capture)", "pcm_close(playback)"}));
    EXPECT_EQ(fakes::open_handles(), 0);
}

// A capture that refuses 48 kHz opens at the first source rate it takes, the record otherwise
// the same and playback's untouched, and its blocks play at 48 kHz after the capture rate line.
// (One that takes no rate fails as without the compensation: VirtualAbsentCardTest.)
TEST_F(DriftLoopbackTest, CaptureOpensAtTheRateItTakes) {
    const uint32_t order[] = {48000, 44100, 96000, 32000, 88200, 176400, 192000};
    for (const unsigned int rate : {44100u, 32000u, 192000u}) {
        SCOPED_TRACE(rate);
        SetUp();
        fakes::script().capture_rates = {rate};
        stop_at_read(3);
        run();
        // The records' rates, capture's opens and then playback's; the fifth argument repeats it.
        std::vector<uint32_t> expected(order, std::find(order, order + 7, rate) + 1), rates;
        expected.push_back(48000);
        for (const std::vector<uint32_t>& config : fakes::opened_configs()) {
            rates.push_back(config[1]);
        }
        EXPECT_EQ(rates, expected);
        const std::string opened = fakes::entries("pcm_open_req").back();
        EXPECT_EQ(opened.substr(opened.rfind(' ') + 1), std::to_string(rate));
        EXPECT_EQ(fakes::open_handles(), 0);
        EXPECT_EQ(fakes::entries("out: "),
                  (std::vector<std::string>{fakes::out(capturing_line()),
                                            fakes::out(capture_rate_line(rate))}));
        ASSERT_EQ(fakes::written().size(), 3u);
        for (const auto& w : fakes::written())
            EXPECT_NEAR(w.size() / 4.0, 48000.0 * 1024 / rate, 2);
    }
}

// The queue read from the streams steers the ratio the right way: a short queue (much room to
// write) makes the run play more frames than it captured, a long one fewer; frames waiting in
// capture count as queued.
TEST_F(DriftLoopbackTest, QueueSteersThePlayedFrames) {
    struct Case {
        int playback_avail;
        int capture_avail;  // -1: no timestamp
        int sign;
    };
    const Case cases[] = {
        {4096 - 200, -1, +1}, {4096 - 2000, -1, -1}, {4096 - 200, 0, +1}, {4096 - 700, 800, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.playback_avail << ", " << c.capture_avail);
        SetUp();
        fakes::script().keep_blocks = false;
        // The set point is taken at one block queued; then the queue moves.
        fakes::script().playback_avail.assign(kSetPointBlocks, 4096 - 1024);
        fakes::script().playback_avail.resize(400, c.playback_avail);
        fakes::script().capture_avail.assign(kSetPointBlocks, 0);
        fakes::script().capture_avail.resize(400, c.capture_avail);
        stop_at_read(400);
        const int64_t played = static_cast<int64_t>(run());
        const int64_t captured = 400 * 1024;
        EXPECT_EQ((played - captured > 100) - (captured - played > 100), c.sign)
            << played << " played, " << captured << " captured";
    }
}

// A converter that copies its input after a pause, as a slow CPU resamples.
int slow_pause_ms = 0;
struct resampler* slow_create(uint32_t, uint32_t, uint32_t) {
    static int token;
    return reinterpret_cast<struct resampler*>(&token);
}
void slow_destroy(struct resampler*) {}
double slow_set_ratio(struct resampler*, double ratio) { return ratio; }
int slow_process(struct resampler*, const int16_t* in, uint32_t in_frames, int16_t* out,
                 uint32_t out_capacity) {
    const timespec pause = {0, slow_pause_ms * 1000000L};
    nanosleep(&pause, nullptr);
    const uint32_t frames = std::min(in_frames, out_capacity);
    memcpy(out, in, size_t{frames} * kChannels * sizeof(int16_t));
    return static_cast<int>(frames);
}
const struct resampler_backend kSlowResampler = {"slow",         slow_create, slow_destroy,
                                                 slow_set_ratio, 0,           slow_process};

// The queue is held at the write, not at the instant capture completed the block: the time the
// run takes from that instant to its write (here the resampling) comes off the queue, up to a
// block, so a run that is slow to write keeps more queued instead of running playback dry.
TEST_F(DriftLoopbackTest, TimeBeforeTheWriteCountsAgainstTheQueue) {
    struct Case {
        int pause_ms;
        int queued;  // at the capture instant
        int sign;    // of the ratio's offset
    };
    const Case cases[] = {
        {0, 1200, -1},   // nothing in between: the queue is long
        {15, 1200, +1},  // 720 frames pass before the write: short
        {40, 2200, -1},  // a stall past a block counts as one block
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pause_ms << " ms, " << c.queued);
        SetUp();
        // The set point is taken at one block queued with nothing in between; then the case.
        slow_pause_ms = 0;
        fakes::script().playback_avail.assign(kSetPointBlocks, 4096 - 1024);
        fakes::script().playback_avail.resize(kSetPointBlocks + 12, 4096 - c.queued);
        fakes::script().capture_avail.assign(kSetPointBlocks + 12, 0);
        struct pcm_config config = {};
        struct pcm* capture = pcm_open_req(0, 0, PCM_IN, &config, 48000);
        struct pcm* playback = pcm_open(1, 0, PCM_OUT, &config);
        DriftOwner drift(drift_create(kChannels, kRate, kBlock, kBuffer, &kSlowResampler),
                         drift_destroy);
        ASSERT_TRUE(drift);
        std::vector<int16_t> block(size_t{kBlock} * kChannels);
        for (int i = 0; i < kSetPointBlocks + 12; ++i) {
            if (i == kSetPointBlocks) slow_pause_ms = c.pause_ms;
            uint32_t out_size = 0;
            drift_process(drift.get(), block.data(), kBlock * kChannels * 2, capture, playback,
                          &out_size);
        }
        const double offset = drift_ratio(drift.get()) - 1;
        EXPECT_EQ((offset > 100e-6) - (offset < -100e-6), c.sign) << offset * 1e6 << " ppm";
        pcm_close(capture);
        pcm_close(playback);
    }
}

// Only 16-bit samples are resampled: another width ends the run before it starts, with the
// streams released in the usual order.
TEST_F(DriftLoopbackTest, OtherSampleWidthsAreRefused) {
    EXPECT_EQ(run(32), 0u);
    EXPECT_EQ(fakes::entries("err: "),
              std::vector<std::string>{fakes::err(drift_error_line(2, 48000, 32))});
    EXPECT_TRUE(fakes::entries("out: ").empty());
    const std::vector<std::string> log = fakes::log();
    EXPECT_EQ((std::vector<std::string>{log.end() - 2, log.end()}),
              (std::vector<std::string>{"pcm_close(capture)", "pcm_close(playback)"}));
}

}  // namespace
