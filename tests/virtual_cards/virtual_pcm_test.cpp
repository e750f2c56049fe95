// The virtual card itself, through alsa-lib as any application sees it: paced by the real clock,
// fed from and recorded to raw files, with the xruns, failures and absences of a real card.

#include <alsa/asoundlib.h>
#include <stdint.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "service_process.h"
#include "virtual_rig.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

constexpr snd_pcm_uframes_t kPeriod = 1024;
constexpr unsigned int kPeriods = 4;
constexpr snd_pcm_uframes_t kBuffer = kPeriod * kPeriods;
constexpr double kPeriodMs = 1000.0 * kPeriod / 48000;
constexpr auto kDeadline = 5s;

Samples pattern(size_t frames) {
    Samples out(frames * 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<int16_t>(i * 3 + 1);
    return out;
}

void silent(const char*, int, const char*, int, const char*, ...) {}

// Each test gets its own folder of card files; the options travel in the environment, which the
// configuration reads at every open.
class VirtualPcmTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Failed opens are expected here; their causes come back as error codes.
        snd_lib_error_set_handler(silent);
        setenv("HDMI_PREVIEW_VCARD_PLUGIN", VCARD_PLUGIN, 1);
        setenv("ALSA_CONFIG_PATH", ALSA_STOCK_CONF ":" VCARD_CONF, 1);
    }
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        setenv("HDMI_PREVIEW_VCARD_DIR", dir_.path().c_str(), 1);
        for (const char* var : {"HDMI_PREVIEW_VCARD0_ABSENT", "HDMI_PREVIEW_VCARD0_FAIL_AFTER",
                                "HDMI_PREVIEW_VCARD0_PPM", "HDMI_PREVIEW_VCARD1_ABSENT",
                                "HDMI_PREVIEW_VCARD1_FAIL_AFTER", "HDMI_PREVIEW_VCARD1_PPM"}) {
            unsetenv(var);
        }
    }
    void TearDown() override {
        if (pcm_ != nullptr) snd_pcm_close(pcm_);
    }

    void set_input(const Samples& frames) {
        write_samples(dir_.path() + "/card0-capture.raw", frames);
    }

    // Opens "hw:card,0" as the service's adapter does: 2 ch, 48 kHz, S16_LE, 4 x 1024 frames.
    int open(int card, snd_pcm_stream_t stream, snd_pcm_uframes_t start_threshold,
             snd_pcm_uframes_t stop_threshold) {
        const std::string name = "hw:" + std::to_string(card) + ",0";
        int err = snd_pcm_open(&pcm_, name.c_str(), stream, 0);
        if (err < 0) {
            pcm_ = nullptr;
            return err;
        }
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_sw_params_t* sw;
        snd_pcm_sw_params_alloca(&sw);
        if ((err = snd_pcm_hw_params_any(pcm_, hw)) < 0 ||
            (err = snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
            (err = snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
            (err = snd_pcm_hw_params_set_channels(pcm_, hw, 2)) < 0 ||
            (err = snd_pcm_hw_params_set_rate(pcm_, hw, 48000, 0)) < 0 ||
            (err = snd_pcm_hw_params_set_period_size(pcm_, hw, kPeriod, 0)) < 0 ||
            (err = snd_pcm_hw_params_set_periods(pcm_, hw, kPeriods, 0)) < 0 ||
            (err = snd_pcm_hw_params(pcm_, hw)) < 0 ||
            (err = snd_pcm_sw_params_current(pcm_, sw)) < 0 ||
            (err = snd_pcm_sw_params_set_start_threshold(pcm_, sw, start_threshold)) < 0 ||
            (err = snd_pcm_sw_params_set_stop_threshold(pcm_, sw, stop_threshold)) < 0 ||
            (err = snd_pcm_sw_params_set_avail_min(pcm_, sw, kPeriod)) < 0 ||
            (err = snd_pcm_sw_params(pcm_, sw)) < 0) {
            return err;
        }
        return snd_pcm_prepare(pcm_);
    }
    snd_pcm_sframes_t read(Samples* into, size_t frames) {
        into->resize(frames * 2);
        return snd_pcm_readi(pcm_, into->data(), frames);
    }
    snd_pcm_sframes_t write(const Samples& frames) {
        return snd_pcm_writei(pcm_, frames.data(), frames.size() / 2);
    }
    // Waits until the stream has gone to XRUN on its own.
    bool wait_xrun() {
        return eventually([&] { return snd_pcm_avail(pcm_) == -EPIPE; }, kDeadline);
    }

    TempDir dir_;
    snd_pcm_t* pcm_ = nullptr;
};

TEST_F(VirtualPcmTest, CaptureDeliversTheFileThenSilenceAndKeepsACopy) {
    const Samples input = pattern(kPeriod + kPeriod / 2);
    set_input(input);
    ASSERT_EQ(open(0, SND_PCM_STREAM_CAPTURE, 1, kBuffer), 0);
    Samples got;
    ASSERT_EQ(read(&got, 2 * kPeriod), static_cast<snd_pcm_sframes_t>(2 * kPeriod));
    Samples expected = input;
    expected.resize(4 * kPeriod);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(read_samples(dir_.path() + "/card0-capture-copy.raw"), expected);
}

TEST_F(VirtualPcmTest, PlaybackAppendsWhatItIsGiven) {
    ASSERT_EQ(open(1, SND_PCM_STREAM_PLAYBACK, kBuffer / 2, kBuffer), 0);
    const Samples first = pattern(kPeriod);
    const Samples second = pattern(2 * kPeriod);
    ASSERT_EQ(write(first), static_cast<snd_pcm_sframes_t>(kPeriod));
    ASSERT_EQ(write(second), static_cast<snd_pcm_sframes_t>(2 * kPeriod));
    Samples both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(read_samples(dir_.path() + "/card1-playback.raw"), both);
}

// Capture hands out a period once its time has passed: ten periods take at least 213 ms.
TEST_F(VirtualPcmTest, CaptureRunsOnTheRealClock) {
    ASSERT_EQ(open(0, SND_PCM_STREAM_CAPTURE, 1, kBuffer * 10), 0);
    Samples got;
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(read(&got, kPeriod), static_cast<snd_pcm_sframes_t>(kPeriod));
    const double elapsed = Ms(Clock::now() - start).count();
    RecordProperty("ten_periods_ms", std::to_string(elapsed));
    EXPECT_GE(elapsed, 10 * kPeriodMs);
    EXPECT_LT(elapsed, 10 * kPeriodMs + 500);
}

// Playback takes a full buffer at once, then one period per period time.
TEST_F(VirtualPcmTest, PlaybackBlocksOnceTheBufferIsFull) {
    ASSERT_EQ(open(1, SND_PCM_STREAM_PLAYBACK, kBuffer / 2, kBuffer), 0);
    const Samples period = pattern(kPeriod);
    const auto start = Clock::now();
    for (unsigned int i = 0; i < kPeriods; ++i)
        ASSERT_EQ(write(period), static_cast<snd_pcm_sframes_t>(kPeriod));
    const double filled = Ms(Clock::now() - start).count();
    for (unsigned int i = 0; i < kPeriods; ++i)
        ASSERT_EQ(write(period), static_cast<snd_pcm_sframes_t>(kPeriod));
    const double elapsed = Ms(Clock::now() - start).count();
    EXPECT_LT(filled, kPeriodMs);
    EXPECT_GE(elapsed, kPeriods * kPeriodMs);
}

// Like a kernel driver: falling behind by the stop threshold stops the stream, the next transfer
// fails with EPIPE, and a prepare starts over.
TEST_F(VirtualPcmTest, UnderrunFailsTheNextWriteUntilPrepared) {
    ASSERT_EQ(open(1, SND_PCM_STREAM_PLAYBACK, kBuffer / 2, kBuffer), 0);
    const Samples period = pattern(kPeriod);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(write(period), static_cast<snd_pcm_sframes_t>(kPeriod));
    ASSERT_TRUE(wait_xrun());
    EXPECT_EQ(snd_pcm_state(pcm_), SND_PCM_STATE_XRUN);
    EXPECT_EQ(write(period), -EPIPE);
    ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
    EXPECT_EQ(write(period), static_cast<snd_pcm_sframes_t>(kPeriod));
}

TEST_F(VirtualPcmTest, OverrunFailsTheNextReadUntilPrepared) {
    set_input(pattern(16 * kPeriod));
    ASSERT_EQ(open(0, SND_PCM_STREAM_CAPTURE, 1, kBuffer), 0);
    Samples got;
    ASSERT_EQ(read(&got, kPeriod), static_cast<snd_pcm_sframes_t>(kPeriod));
    ASSERT_TRUE(wait_xrun());
    EXPECT_EQ(read(&got, kPeriod), -EPIPE);
    ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
    EXPECT_EQ(read(&got, kPeriod), static_cast<snd_pcm_sframes_t>(kPeriod));
}

TEST_F(VirtualPcmTest, FailsWithEioAfterTheGivenPeriods) {
    setenv("HDMI_PREVIEW_VCARD0_FAIL_AFTER", "3", 1);
    ASSERT_EQ(open(0, SND_PCM_STREAM_CAPTURE, 1, kBuffer * 10), 0);
    Samples got;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(read(&got, kPeriod), static_cast<snd_pcm_sframes_t>(kPeriod));
    EXPECT_EQ(read(&got, kPeriod), -EIO);
}

struct OpenCase {
    const char* name;
    const char* absent_var;  // set to 1, or nullptr
    int card;
    int error;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class VirtualPcmOpenTest : public VirtualPcmTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(VirtualPcmOpenTest, MissingCardsFailTheOpen) {
    const OpenCase& c = GetParam();
    if (c.absent_var != nullptr) setenv(c.absent_var, "1", 1);
    EXPECT_EQ(open(c.card, SND_PCM_STREAM_PLAYBACK, kBuffer / 2, kBuffer), c.error);
}

const OpenCase kOpenCases[] = {
    {"AbsentCaptureCard", "HDMI_PREVIEW_VCARD0_ABSENT", 0, -ENODEV},
    {"AbsentPlaybackCard", "HDMI_PREVIEW_VCARD1_ABSENT", 1, -ENODEV},
    {"UndefinedCard", nullptr, 2, -ENOENT},
};

INSTANTIATE_TEST_SUITE_P(Cards, VirtualPcmOpenTest, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct RateCase {
    const char* name;
    const char* ppm;
    double speed;  // the card's rate over the nominal one
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.name; }

class VirtualPcmRateTest : public VirtualPcmTest, public ::testing::WithParamInterface<RateCase> {};

// Twenty periods take at least their time at the card's own rate, and a fast card finishes them
// before a nominal one could.
TEST_P(VirtualPcmRateTest, RunsAtTheOffsetRate) {
    const RateCase& c = GetParam();
    setenv("HDMI_PREVIEW_VCARD0_PPM", c.ppm, 1);
    ASSERT_EQ(open(0, SND_PCM_STREAM_CAPTURE, 1, kBuffer * 10), 0);
    Samples got;
    const auto start = Clock::now();
    ASSERT_EQ(read(&got, 20 * kPeriod), static_cast<snd_pcm_sframes_t>(20 * kPeriod));
    const double elapsed = Ms(Clock::now() - start).count();
    RecordProperty("twenty_periods_ms", std::to_string(elapsed));
    EXPECT_GE(elapsed, 20 * kPeriodMs / c.speed);
    if (c.speed > 1) {
        EXPECT_LT(elapsed, 20 * kPeriodMs);
    }
}

const RateCase kRateCases[] = {
    {"TenPercentSlow", "-100000", 0.9},
    {"TenPercentFast", "100000", 1.1},
};

INSTANTIATE_TEST_SUITE_P(Offsets, VirtualPcmRateTest, ::testing::ValuesIn(kRateCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
