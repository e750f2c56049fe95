// The adapter's pcm_get_htimestamp on a virtual card: what the drift compensation reads the
// playback queue from. Fails (-1) until the stream runs, then reports the room left to write on
// the monotonic clock.

#include <stdlib.h>
#include <time.h>
#include <tinyalsa/asoundlib.h>

#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "service_process.h"

namespace {

constexpr unsigned int kPeriod = 1024;
constexpr unsigned int kBuffer = 4 * kPeriod;

using PcmOwner = std::unique_ptr<struct pcm, decltype(&pcm_close)>;

class PcmHtimestampTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("HDMI_PREVIEW_VCARD_PLUGIN", VCARD_PLUGIN, 1);
        setenv("ALSA_CONFIG_PATH", ALSA_STOCK_CONF ":" VCARD_CONF, 1);
        setenv("HDMI_PREVIEW_VCARD_DIR", dir_.path().c_str(), 1);
    }
    static PcmOwner open(unsigned int card, unsigned int flags) {
        pcm_config config = {};
        config.channels = 2;
        config.rate = 48000;
        config.period_size = kPeriod;
        config.period_count = 4;
        return PcmOwner(pcm_open(card, 0, flags, &config), pcm_close);
    }

    TempDir dir_;
};

double seconds_since(const timespec& stamp) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - stamp.tv_sec) + (now.tv_nsec - stamp.tv_nsec) * 1e-9;
}

TEST_F(PcmHtimestampTest, PlaybackReportsTheRoomLeftOnceRunning) {
    PcmOwner playback = open(1, PCM_OUT);
    ASSERT_TRUE(pcm_is_ready(playback.get())) << pcm_get_error(playback.get());
    const std::vector<char> block(kPeriod * 4);
    unsigned int avail = 12345;
    timespec stamp = {};
    // Below the start threshold (half the buffer) the stream is not running yet.
    EXPECT_EQ(pcm_get_htimestamp(playback.get(), &avail, &stamp), -1);
    ASSERT_EQ(pcm_write(playback.get(), block.data(), block.size()), 0);
    EXPECT_EQ(pcm_get_htimestamp(playback.get(), &avail, &stamp), -1);
    EXPECT_EQ(avail, 12345u);
    ASSERT_EQ(pcm_write(playback.get(), block.data(), block.size()), 0);
    ASSERT_EQ(pcm_get_htimestamp(playback.get(), &avail, &stamp), 0);
    // Two periods written and at most one played: the room is the buffer less what is queued.
    EXPECT_GE(avail, kBuffer - 2 * kPeriod);
    EXPECT_LE(avail, kBuffer - kPeriod);
    EXPECT_GE(seconds_since(stamp), 0.0);
    EXPECT_LT(seconds_since(stamp), 0.1);
    // A full buffer leaves at most a period of room (the write blocks until one is free).
    for (int i = 0; i < 4; ++i) ASSERT_EQ(pcm_write(playback.get(), block.data(), block.size()), 0);
    ASSERT_EQ(pcm_get_htimestamp(playback.get(), &avail, &stamp), 0);
    EXPECT_LE(avail, kPeriod);
}

TEST_F(PcmHtimestampTest, CaptureReportsFramesReadyAndAFailedOpenFails) {
    PcmOwner capture = open(0, PCM_IN);
    ASSERT_TRUE(pcm_is_ready(capture.get())) << pcm_get_error(capture.get());
    std::vector<char> block(kPeriod * 4);
    ASSERT_EQ(pcm_read(capture.get(), block.data(), block.size()), 0);
    unsigned int avail = 0;
    timespec stamp = {};
    ASSERT_EQ(pcm_get_htimestamp(capture.get(), &avail, &stamp), 0);
    EXPECT_LT(avail, kBuffer);

    PcmOwner absent = open(5, PCM_OUT);  // the rig has cards 0 and 1 only
    ASSERT_FALSE(pcm_is_ready(absent.get()));
    EXPECT_EQ(pcm_get_htimestamp(absent.get(), &avail, &stamp), -1);
}

}  // namespace
