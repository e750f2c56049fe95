// The virtual card itself, through alsa-lib as any application sees it: paced by the real clock,
// fed from and recorded to raw files, with the xruns, failures and absences of a real card.

#include <alsa/asoundlib.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
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

// A read that finds a few frames takes them and waits for the rest: the next period's wake-up
// completes it, though fewer than avail_min frames are then new.
TEST_F(VirtualPcmTest, ReadThatTookAFewFramesCompletesAtTheNextPeriod) {
    ASSERT_EQ(open(0, SND_PCM_STREAM_CAPTURE, 1, kBuffer * 10), 0);
    Samples got;
    ASSERT_EQ(read(&got, kPeriod), static_cast<snd_pcm_sframes_t>(kPeriod));
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(2ms);
        ASSERT_EQ(read(&got, kPeriod), static_cast<snd_pcm_sframes_t>(kPeriod));
        // Late by a period, it would find most of the next period waiting.
        EXPECT_LT(snd_pcm_avail(pcm_), static_cast<snd_pcm_sframes_t>(kPeriod / 4)) << "read " << i;
    }
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

// Lines of the card's events file, split into words.
std::vector<std::vector<std::string>> events(const std::string& path) {
    std::vector<std::vector<std::string>> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        out.emplace_back();
        for (std::string w; words >> w;) out.back().push_back(w);
    }
    return out;
}

// Each start names the file frame at position 0 and the period's length; each xrun follows its
// start. A restart after an underrun continues after the last frame given.
TEST_F(VirtualPcmTest, EventsFileRecordsEachStartAndXrun) {
    setenv("HDMI_PREVIEW_VCARD1_PPM", "100000", 1);
    ASSERT_EQ(open(1, SND_PCM_STREAM_PLAYBACK, kBuffer / 2, kBuffer), 0);
    const Samples period = pattern(kPeriod);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(write(period), static_cast<snd_pcm_sframes_t>(kPeriod));
        ASSERT_TRUE(wait_xrun());
        ASSERT_EQ(snd_pcm_prepare(pcm_), 0);
    }
    const auto lines = events(dir_.path() + "/card1-events.txt");
    ASSERT_EQ(lines.size(), 4u);
    // 1024 frames at 48 kHz, 10% fast: 19.39 ms, rounded up to the nanosecond.
    const std::vector<std::string> starts[] = {
        {"start", "playback", lines[0].at(2), "0", "19393940", "1024"},
        {"start", "playback", lines[2].at(2), "2048", "19393940", "1024"},
    };
    EXPECT_EQ(lines[0], starts[0]);
    EXPECT_EQ(lines[2], starts[1]);
    for (size_t i : {1, 3}) {
        ASSERT_EQ(lines[i].size(), 4u);
        EXPECT_EQ(lines[i][0], "xrun");
        EXPECT_EQ(lines[i][1], "playback");
        EXPECT_GT(std::stoll(lines[i][2]), std::stoll(lines[i - 1][2]));
        EXPECT_EQ(lines[i][3], "2048");  // everything given was played
    }
}

struct PositionCase {
    const char* name;
    snd_pcm_stream_t stream;
    const char* ppm;
    double speed;  // the card's rate over the nominal one
};

void PrintTo(const PositionCase& c, std::ostream* os) { *os << c.name; }

class VirtualPcmPositionTest : public VirtualPcmTest,
                               public ::testing::WithParamInterface<PositionCase> {};

double seconds_between(const snd_htimestamp_t& later, const snd_htimestamp_t& earlier) {
    return static_cast<double>(later.tv_sec - earlier.tv_sec) +
           static_cast<double>(later.tv_nsec - earlier.tv_nsec) * 1e-9;
}

// The position follows the card's clock between wake-ups too, as a DMA position register does:
// two readings within a period differ by the frames of the time between their timestamps, so a
// reading and its timestamp belong together.
TEST_P(VirtualPcmPositionTest, MovesWithTheClockBetweenPeriods) {
    const PositionCase& c = GetParam();
    const bool playback = c.stream == SND_PCM_STREAM_PLAYBACK;
    setenv(playback ? "HDMI_PREVIEW_VCARD1_PPM" : "HDMI_PREVIEW_VCARD0_PPM", c.ppm, 1);
    ASSERT_EQ(open(playback ? 1 : 0, c.stream, playback ? kBuffer / 2 : 1, kBuffer * 10), 0);
    Samples block;
    if (playback) {
        for (unsigned int i = 0; i < kPeriods; ++i)
            ASSERT_EQ(write(pattern(kPeriod)), static_cast<snd_pcm_sframes_t>(kPeriod));
    } else {
        ASSERT_EQ(read(&block, kPeriod), static_cast<snd_pcm_sframes_t>(kPeriod));
    }
    snd_pcm_uframes_t first = 0, second = 0;
    snd_htimestamp_t first_at, second_at;
    std::this_thread::sleep_for(2ms);
    ASSERT_EQ(snd_pcm_htimestamp(pcm_, &first, &first_at), 0);
    std::this_thread::sleep_for(10ms);
    ASSERT_EQ(snd_pcm_htimestamp(pcm_, &second, &second_at), 0);
    const double expected = seconds_between(second_at, first_at) * 48000 * c.speed;
    RecordProperty("frames_moved", std::to_string(second - first));
    EXPECT_GT(second, first);
    EXPECT_NEAR(static_cast<double>(second - first), expected, 2.0);
}

const PositionCase kPositionCases[] = {
    {"CaptureNominal", SND_PCM_STREAM_CAPTURE, "0", 1.0},
    {"CaptureTenPercentFast", SND_PCM_STREAM_CAPTURE, "100000", 1.1},
    {"CaptureTenPercentSlow", SND_PCM_STREAM_CAPTURE, "-100000", 0.9},
    {"PlaybackTenPercentFast", SND_PCM_STREAM_PLAYBACK, "100000", 1.1},
    {"PlaybackTenPercentSlow", SND_PCM_STREAM_PLAYBACK, "-100000", 0.9},
};

INSTANTIATE_TEST_SUITE_P(Clocks, VirtualPcmPositionTest, ::testing::ValuesIn(kPositionCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
