// The drift compensation: the controller against a simulated pair of clocks, and the loopback
// built with HDMI_PREVIEW_DRIFT_COMPENSATION over the fakes.

#include "drift.h"

#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fakes.h"
#include "gtest/gtest.h"
#include "loopback.h"

// Defined by the service in the real program; this executable has none.
volatile sig_atomic_t keep_running = 1;
char prop_value[PROPERTY_VALUE_MAX];

namespace {

constexpr uint32_t kChannels = 2;
constexpr uint32_t kRate = 48000;
constexpr uint32_t kBlock = 1024;
constexpr uint32_t kBuffer = 4096;

struct Simulation {
    double min_queue = 1e9;          // just before a write, once started
    double max_queue = 0;            // just after a write
    double settled_queue_error = 0;  // largest |queue - set point| over the last blocks
    double settled_ratio_error = 0;  // largest |ratio - (1 + offset)|, same blocks
};

// Capture delivers a block per tick of its clock; playback takes block * (1 + offset) frames in
// the same time. As on a device, playback starts once two blocks are queued, and until then the
// queue is unknown. `jitter` frames of deterministic noise stand for the wake-up's scatter.
Simulation simulate(double offset_ppm, int blocks, int settled_blocks, double jitter) {
    DriftOwner drift(drift_create(kChannels, kRate, kBlock, kBuffer), drift_destroy);
    EXPECT_TRUE(drift);
    Simulation sim;
    if (!drift) return sim;
    std::vector<int16_t> block(kBlock * kChannels);
    double queue = 0;
    uint32_t seed = 1;
    for (int b = 0; b < blocks; ++b) {
        for (uint32_t i = 0; i < kBlock; ++i) {
            const int16_t s =
                static_cast<int16_t>(8000 * sin(2 * M_PI * 1000 * (b * kBlock + i) / kRate));
            block[2 * i] = block[2 * i + 1] = s;
        }
        const bool started = b >= 2;
        if (started) queue -= kBlock * (1 + offset_ppm * 1e-6);
        seed = seed * 1103515245u + 12345u;
        const double noise = jitter * (static_cast<double>(seed >> 16 & 0x7fff) / 16383.5 - 1);
        uint32_t frames = 0;
        drift_resample(drift.get(), block.data(), kBlock, started ? queue + noise : -1, &frames);
        if (started) sim.min_queue = std::min(sim.min_queue, queue);
        queue += frames;
        sim.max_queue = std::max(sim.max_queue, queue);
        if (b >= blocks - settled_blocks) {
            sim.settled_queue_error = std::max(sim.settled_queue_error,
                                               fabs(queue - frames - drift_set_point(drift.get())));
            sim.settled_ratio_error = std::max(
                sim.settled_ratio_error, fabs(drift_ratio(drift.get()) - 1 - offset_ppm * 1e-6));
        }
    }
    return sim;
}

// Either clock faster, by an ordinary offset and by the tenfold one the virtual cards run: the
// queue never empties or overflows, settles on its set point, and the ratio on the offset.
TEST(DriftTest, QueueAndRatioSettleForEitherClockFaster) {
    struct Case {
        double offset_ppm;
        double jitter;
    };
    const Case cases[] = {{300, 0}, {-300, 0}, {300, 2}, {-300, 2}, {3000, 2}, {-3000, 2}, {0, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset_ppm << " ppm, jitter " << c.jitter);
        const Simulation sim = simulate(c.offset_ppm, 4000, 1000, c.jitter);
        EXPECT_GT(sim.min_queue, 0.5 * kBlock);              // never near an underrun
        EXPECT_LE(sim.max_queue, kBuffer - 0.5 * kBlock);    // nor near a full buffer
        EXPECT_LT(sim.settled_queue_error, 4.0 + c.jitter);  // frames
        EXPECT_LT(sim.settled_ratio_error, 3e-6);            // a few ppm: no audible wobble
    }
}

// Offsets beyond the clamp are not followed: the ratio stops at its limit instead of running off.
TEST(DriftTest, RatioIsClamped) {
    DriftOwner drift(drift_create(kChannels, kRate, kBlock, kBuffer), drift_destroy);
    ASSERT_TRUE(drift);
    std::vector<int16_t> block(kBlock * kChannels);
    uint32_t frames = 0;
    for (int b = 0; b < 1000; ++b) drift_resample(drift.get(), block.data(), kBlock, 0, &frames);
    EXPECT_NEAR(drift_ratio(drift.get()), 1.005, 1e-9);
    EXPECT_LE(frames, static_cast<uint32_t>(kBlock * 1.005) + 2);
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
    // Capture is asked only once playback runs, for the instant its block was complete.
    const std::string p = "pcm_get_htimestamp(playback)", c = "pcm_get_htimestamp(capture)";
    EXPECT_EQ(fakes::entries("pcm_get_htimestamp"),
              (std::vector<std::string>{p, p, p, c, p, c, p, c}));
    EXPECT_EQ(fakes::entries("out: "),
              std::vector<std::string>{"out: Capturing sample: 2 ch, 48000 hz, 16 bit"});
    EXPECT_TRUE(fakes::entries("err: ").empty());
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ((std::vector<std::string>{log.end() - 2, log.end()}),
              (std::vector<std::string>{"pcm_close(capture)", "pcm_close(playback)"}));
    EXPECT_EQ(fakes::open_handles(), 0);
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
        fakes::script().playback_avail.assign(400, c.playback_avail);
        fakes::script().capture_avail.assign(400, c.capture_avail);
        stop_at_read(400);
        const int64_t played = static_cast<int64_t>(run());
        const int64_t captured = 400 * 1024;
        EXPECT_EQ((played - captured > 100) - (captured - played > 100), c.sign)
            << played << " played, " << captured << " captured";
    }
}

// Only 16-bit samples are resampled: another width ends the run before it starts, with the
// streams released in the usual order.
TEST_F(DriftLoopbackTest, OtherSampleWidthsAreRefused) {
    EXPECT_EQ(run(32), 0u);
    EXPECT_EQ(fakes::entries("err: "),
              std::vector<std::string>{
                  "err: Unable to set up drift compensation for 2 ch, 48000 hz, 32 bit"});
    EXPECT_TRUE(fakes::entries("out: ").empty());
    const std::vector<std::string> log = fakes::log();
    EXPECT_EQ((std::vector<std::string>{log.end() - 2, log.end()}),
              (std::vector<std::string>{"pcm_close(capture)", "pcm_close(playback)"}));
}

}  // namespace
