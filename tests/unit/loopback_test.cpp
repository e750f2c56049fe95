#include "loopback.h"

#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "fakes.h"
#include "gtest/gtest.h"
#include "pcm_open_req.h"

namespace {

using Log = std::vector<std::string>;

constexpr char kCaptureOpen[] =
    "pcm_open_req(card 0, device 0, in, {2 ch, 48000 hz, period 1024 x 4, format 0, thresholds "
    "0/0/0}) rate 48000";
constexpr char kPlaybackOpen[] =
    "pcm_open(card 1, device 0, out, {2 ch, 48000 hz, period 1024 x 4, format 0, thresholds "
    "0/0/0})";
const std::string kCapturing = fakes::out(capturing_line());

class LoopbackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::reset();
        keep_running = 1;
        fakes::set_property(kTriggerProperty, "1");
        fakes::set_property(kLevelProperty, "7");
    }
    void TearDown() override { keep_running = 1; }

    // The service's parameters.
    uint64_t run() {
        return fakes::transcribe([] { return run_loopback(0, 1, 0, 2, 48000, 16, 1024, 4); });
    }

    // Stops the run by writing 0 into the trigger while block `block` is being read.
    static void stop_at_read(int block) {
        fakes::script().on_read = [block](int b) {
            if (b == block) fakes::set_property(kTriggerProperty, "0");
        };
    }
};

// Every failure to set up: the message, which stream it goes to, what is released and in which
// order (a handle that came back not ready is closed too), and the result.
TEST_F(LoopbackTest, SetupFailuresReleaseWhatWasOpened) {
    struct Case {
        const char* name;
        void (*arrange)(fakes::PcmScript&);
        Log expected;
    };
    const Case cases[] = {
        {"capture null",
         [](fakes::PcmScript& s) { s.capture_null = true; },
         {kCaptureOpen, fakes::err(capture_open_error_line("no PCM handle"))}},
        {"capture not ready",
         [](fakes::PcmScript& s) { s.capture_not_ready = true; },
         {kCaptureOpen, "pcm_get_error(capture)",
          fakes::err(capture_open_error_line("capture broken")), "pcm_close(capture)"}},
        {"playback null",
         [](fakes::PcmScript& s) { s.playback_null = true; },
         {kCaptureOpen, kPlaybackOpen, fakes::err(playback_open_error_line(0, "no PCM handle")),
          "pcm_close(capture)"}},
        {"playback not ready",
         [](fakes::PcmScript& s) { s.playback_not_ready = true; },
         {kCaptureOpen, kPlaybackOpen, "pcm_get_error(playback)",
          fakes::err(playback_open_error_line(0, "playback broken")), "pcm_close(capture)",
          "pcm_close(playback)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::reset();
        fakes::set_property(kTriggerProperty, "1");
        c.arrange(fakes::script());
        EXPECT_EQ(run(), 0u);
        EXPECT_EQ(fakes::log(), c.expected);
        EXPECT_EQ(fakes::open_handles(), 0);
    }
}

// The playback message carries the device number, not the card.
TEST_F(LoopbackTest, PlaybackFailureNamesTheDevice) {
    fakes::script().playback_not_ready = true;
    fakes::transcribe([] { return run_loopback(0, 1, 3, 2, 48000, 16, 1024, 4); });
    EXPECT_EQ(fakes::entries("err: "),
              Log{fakes::err(playback_open_error_line(3, "playback broken"))});
}

TEST_F(LoopbackTest, AllocationFailureClosesBothStreams) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address space limits do not mix with AddressSanitizer's shadow memory";
#else
    // A buffer larger than the data segment may grow makes malloc fail for real.
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_DATA, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = 512u << 20;
    ASSERT_EQ(setrlimit(RLIMIT_DATA, &limited), 0);
    if (void* p = malloc(size_t{1} << 30)) {
        free(p);
        setrlimit(RLIMIT_DATA, &old);
        GTEST_SKIP() << "RLIMIT_DATA is not enforced here (an emulator)";
    }
    fakes::script().buffer_size = 1024u << 20;
    const uint64_t frames = run();
    setrlimit(RLIMIT_DATA, &old);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(fakes::log(),
              (Log{kCaptureOpen, kPlaybackOpen, "pcm_get_buffer_size(capture)",
                   fakes::err(protocol_detail::line(kAllocationErrorFormat, 1u << 30)),
                   "pcm_close(capture)", "pcm_close(playback)"}));
#endif
}

// Each way a streaming run ends: how many blocks are played, what is printed, and that both
// streams are closed, capture first. The last rows run other frame shapes than the service's:
// 32 bits opens both streams as S32_LE, and the count divides the bytes by channels * bits / 8.
TEST_F(LoopbackTest, StreamingEndings) {
    struct Case {
        const char* name;
        void (*arrange)();
        int blocks_played;
        Log errors;
        uint32_t channels = 2;
        uint32_t bits = 16;
        uint64_t frames = 0;  // when not blocks_played whole 1024-frame blocks
        enum pcm_format format = PCM_FORMAT_S16_LE;
    };
    const Case cases[] = {
        {"trigger changed while block 3 was read", [] { stop_at_read(3); }, 3, {}},
        {"trigger changed during the first read", [] { stop_at_read(0); }, 0, {}},
        {"interrupt while block 2 was read",
         [] {
             fakes::script().on_read = [](int b) {
                 if (b == 2) keep_running = 0;
             };
         },
         3,
         {}},
        {"interrupt before the run", [] { keep_running = 0; }, 0, {}},
        {"first read fails", [] { fakes::script().reads_before_failure = 0; }, 0, {}},
        {"read fails after 5 blocks", [] { fakes::script().reads_before_failure = 5; }, 5, {}},
        {"write fails after 4 blocks",
         [] { fakes::script().writes_before_failure = 4; },
         4,
         {fakes::err(kWriteErrorLine)}},
        {"2 ch 32 bit, trigger changed while block 3 was read",
         [] { stop_at_read(3); },
         3,
         {},
         2,
         32,
         3 * 4096 / 8,
         PCM_FORMAT_S32_LE},
        {"6 ch 24 bit, trigger changed while block 3 was read",
         [] { stop_at_read(3); },
         3,
         {},
         6,
         24,
         3 * 4096 / 18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.arrange();
        const uint64_t frames = fakes::transcribe(
            [&c] { return run_loopback(0, 1, 0, c.channels, 48000, c.bits, 1024, 4); });
        EXPECT_EQ(frames, c.frames != 0 ? c.frames : uint64_t{1024} * c.blocks_played);
        EXPECT_EQ(static_cast<int>(fakes::written().size()), c.blocks_played);
        EXPECT_EQ(fakes::entries("err: "), c.errors);
        EXPECT_EQ(fakes::entries("out: "),
                  Log{fakes::out(capturing_line(c.channels, 48000, c.bits))});
        const std::string format = "format " + std::to_string(c.format) + ",";
        for (const std::string& open : fakes::entries("pcm_open")) {
            EXPECT_NE(open.find(format), std::string::npos) << open;
        }
        const Log& log = fakes::log();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ((Log{log.end() - 2, log.end()}),
                  (Log{"pcm_close(capture)", "pcm_close(playback)"}));
        EXPECT_EQ(fakes::open_handles(), 0);
    }
}

TEST_F(LoopbackTest, InterruptBeforeTheRunOpensBothStreamsAndReadsNothing) {
    keep_running = 0;
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(fakes::log(), (Log{kCaptureOpen, kPlaybackOpen, "pcm_get_buffer_size(capture)",
                                 kCapturing, "pcm_close(capture)", "pcm_close(playback)"}));
}

// The block read after a stop is never played: every played block is one read before the stop,
// in order, none skipped.
TEST_F(LoopbackTest, BlockReadAfterStopIsDropped) {
    stop_at_read(4);
    run();
    ASSERT_EQ(fakes::written().size(), 4u);
    for (int b = 0; b < 4; ++b) {
        int16_t first;
        memcpy(&first, fakes::written()[b].data(), 2);
        EXPECT_EQ(first, b * 7) << "block " << b;
    }
    EXPECT_EQ(fakes::reads(), 5);
}

// The transfer size is pcm_get_buffer_size taken as bytes, for the buffer, every transfer and the
// count, whatever it is (here not a multiple of the frame size).
TEST_F(LoopbackTest, TransferSizeIsTheBufferSizeInBytes) {
    fakes::script().buffer_size = 4098;
    stop_at_read(2);
    EXPECT_EQ(run(), 2u * 4098 / 4);
    EXPECT_EQ(fakes::entries("pcm_write"),
              (Log{"pcm_write(playback, 4098)", "pcm_write(playback, 4098)"}));
    EXPECT_EQ(fakes::written()[0].size(), 4098u);
}

// The level is read afresh for each block: a change lands at a block boundary, never inside one.
TEST_F(LoopbackTest, LevelChangeAppliesFromTheNextBlock) {
    fakes::script().fill = [](int, unsigned char* data, uint32_t size) {
        const int16_t sample = 7000;
        for (uint32_t i = 0; i + 1 < size; i += 2) memcpy(data + i, &sample, 2);
    };
    fakes::script().on_read = [](int b) {
        if (b == 2) fakes::set_property(kLevelProperty, "3");
        if (b == 4) fakes::set_property(kTriggerProperty, "0");
    };
    run();
    ASSERT_EQ(fakes::written().size(), 4u);
    const int16_t expected[] = {7000, 7000, 3000, 3000};
    for (int b = 0; b < 4; ++b) {
        const std::vector<unsigned char>& block = fakes::written()[b];
        for (size_t i = 0; i < block.size(); i += 2) {
            int16_t sample;
            memcpy(&sample, block.data() + i, 2);
            ASSERT_EQ(sample, expected[b]) << "block " << b << " byte " << i;
        }
    }
    EXPECT_EQ(fakes::property_reads(kLevelProperty), 4);
    EXPECT_EQ(fakes::property_reads(kTriggerProperty), 5);
}

// The count is kept in 64 bits: a run of more than 2^32 bytes still reports every frame.
TEST_F(LoopbackTest, FrameCountPassesFourGigabytes) {
    constexpr uint32_t kBlock = 1u << 20;
    constexpr int kBlocks = 4097;  // 4097 MiB played
    fakes::script().buffer_size = kBlock;
    fakes::script().keep_blocks = false;
    fakes::script().fill = [](int, unsigned char*, uint32_t) {};
    stop_at_read(kBlocks);
    EXPECT_EQ(run(), uint64_t{kBlocks} * kBlock / 4);
}

}  // namespace
