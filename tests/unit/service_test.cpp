#include "service.h"

#include <errno.h>
#include <setjmp.h>
#include <signal.h>

#include <string>
#include <vector>

#include "bsd_signal.h"
#include "fakes.h"
#include "gtest/gtest.h"
#include "loopback.h"

// The service's main(), built into this test under another name.
int service_main();

namespace {

using Log = std::vector<std::string>;

jmp_buf main_loop_exit;
int sleeps_left = 0;

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::reset();
        keep_running = 1;
    }
    void TearDown() override {
        signal(SIGINT, SIG_DFL);
        keep_running = 1;
    }

    static bool poll() {
        return fakes::transcribe([] { return poll_trigger(); });
    }

    // Runs main() for `polls` turns of its loop, each ending with its sleep; property reads are
    // logged, so that the log shows whether a poll came between a run and the sleep.
    static void run_main(int polls) {
        sleeps_left = polls;
        fakes::script().log_property_reads = true;
        fakes::script().on_sleep = [] {
            if (--sleeps_left == 0) longjmp(main_loop_exit, 1);
        };
        fakes::transcribe([] {
            if (setjmp(main_loop_exit) == 0) service_main();
        });
        fakes::script().on_sleep = nullptr;
        fakes::script().log_property_reads = false;
    }

    // The tail that follows every run: the count, the acknowledgement, "prop exit".
    static Log acknowledgement(uint64_t frames) {
        return {fakes::out(captured_line(frames)), fakes::acknowledgement_write(),
                fakes::out(kPropExitLine)};
    }
    static Log tail(size_t n) {
        const Log& log = fakes::log();
        return n > log.size() ? log : Log(log.end() - n, log.end());
    }
};

TEST_F(ServiceTest, TriggerTextsWithIntegerValueOneStartARun) {
    // The longest value the platform allows fills prop_value to its last byte.
    const std::string longest = "1" + std::string(PROPERTY_VALUE_MAX - 2, 'x');
    const char* starting[] = {"1", "01", "+1", "  1", "1abc", "1.5", longest.c_str()};
    const char* idle[] = {"", "0", "2", "-1", "x1", " 0 1", "11"};
    for (const char* text : starting) {
        fakes::reset();
        fakes::script().capture_not_ready = true;  // a run that ends at once
        fakes::set_property(kTriggerProperty, text);
        EXPECT_TRUE(poll()) << "'" << text << "'";
        // Counted by the failed open's line: with drift compensation a capture open that fails
        // is tried at the other source rates too.
        EXPECT_EQ(fakes::entries(fakes::err(capture_open_error_line("capture broken"))).size(), 1u)
            << "'" << text << "'";
    }
    for (const char* text : idle) {
        fakes::reset();
        fakes::set_property(kTriggerProperty, text);
        EXPECT_FALSE(poll()) << "'" << text << "'";
        EXPECT_EQ(fakes::log(), Log{}) << "'" << text << "'";
        EXPECT_EQ(fakes::property(kTriggerProperty), text) << "an idle poll writes nothing";
    }
    fakes::reset();
    EXPECT_FALSE(poll()) << "unset trigger";
}

// Whatever ends the run, the count is printed, "2" is written and "prop exit" follows, in that
// order, after the run has released everything; then the loop sleeps its poll period, as after an
// idle poll.
TEST_F(ServiceTest, AcknowledgesEveryKindOfEnding) {
    struct Case {
        const char* name;
        void (*arrange)();
        uint64_t frames;
        Log errors;
    };
    const Case cases[] = {
        {"capture open fails",
         [] { fakes::script().capture_not_ready = true; },
         0,
         {fakes::err(capture_open_error_line("capture broken"))}},
        {"playback open fails",
         [] { fakes::script().playback_not_ready = true; },
         0,
         {fakes::err(playback_open_error_line(0, "playback broken"))}},
        {"controller writes 0",
         [] {
             fakes::script().on_read = [](int b) {
                 if (b == 3) fakes::set_property(kTriggerProperty, "0");
             };
         },
         3 * 1024,
         {}},
        {"interrupt during the run",
         [] {
             fakes::script().on_read = [](int b) {
                 if (b == 1) handle_interrupt(SIGINT);
             };
         },
         2 * 1024,
         {}},
        {"read fails", [] { fakes::script().reads_before_failure = 2; }, 2 * 1024, {}},
        {"write fails",
         [] { fakes::script().writes_before_failure = 1; },
         1 * 1024,
         {fakes::err(kWriteErrorLine)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fakes::set_property(kTriggerProperty, "1");
        c.arrange();
        run_main(1);
        Log expected = acknowledgement(c.frames);
        expected.push_back("usleep(50000)");
        EXPECT_EQ(tail(4), expected);
        EXPECT_EQ(fakes::entries("err: "), c.errors);
        EXPECT_EQ(fakes::open_handles(), 0);
        // The acknowledgement overwrote whatever stopped the run, and it starts nothing.
        EXPECT_EQ(fakes::property(kTriggerProperty), "2");
        EXPECT_FALSE(poll());
    }
}

TEST_F(ServiceTest, CaptureFailureOrder) {
    fakes::set_property(kTriggerProperty, "1");
    fakes::script().capture_not_ready = true;
    poll();
    const Log expected_tail = {fakes::err(capture_open_error_line("capture broken")),
                               "pcm_close(capture)", fakes::out(captured_line(0)),
                               fakes::acknowledgement_write(), fakes::out(kPropExitLine)};
    EXPECT_EQ(tail(5), expected_tail);
}

// A store that refuses the "2" leaves the trigger at 1. That 1 starts no further run: each poll
// retries the "2" instead, and each cause of the refusal is reported once. The service is itself
// again once the "2" is written, or once the controller has written the trigger again.
TEST_F(ServiceTest, RefusedAcknowledgementIsReportedOnceAndStartsNoRun) {
    const std::string refused_line = fakes::err(acknowledgement_error_line("Permission denied"));
    fakes::set_property(kTriggerProperty, "1");
    fakes::script().capture_not_ready = true;  // every run ends at once
    fakes::fail_property_set(-EACCES);
    EXPECT_TRUE(poll());
    // The refusal follows the write; "prop exit" still ends the poll.
    EXPECT_EQ(fakes::entries("property_set"), Log{fakes::acknowledgement_write()});
    EXPECT_EQ(fakes::entries("out: ").back(), "out: prop exit");
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(poll()) << "poll " << i;
    EXPECT_EQ(fakes::entries(fakes::err(capture_open_error_line("capture broken"))).size(), 1u)
        << "the stale 1 started a run";
    EXPECT_EQ(fakes::entries("property_set").size(), 6u) << "each poll retries the 2";
    EXPECT_EQ(fakes::entries("err: "),
              (Log{fakes::err(capture_open_error_line("capture broken")), refused_line}));

    fakes::fail_property_set(-EROFS);  // a new cause is reported
    EXPECT_FALSE(poll());
    EXPECT_EQ(fakes::entries("err: ").back(),
              fakes::err(acknowledgement_error_line("Read-only file system")));

    fakes::fail_property_set(0);  // the store is writable again: the 2 lands, nothing starts
    EXPECT_FALSE(poll());
    EXPECT_EQ(fakes::property(kTriggerProperty), "2");
    EXPECT_FALSE(poll());
    fakes::set_property(kTriggerProperty, "1");
    EXPECT_TRUE(poll()) << "a new 1 after the 2 is a new request";

    // Refused again, then the controller replaces the stale 1 with 0 and later writes 1 anew.
    fakes::reset();
    fakes::script().capture_not_ready = true;
    fakes::fail_property_set(-EACCES);
    fakes::set_property(kTriggerProperty, "1");
    EXPECT_TRUE(poll());
    fakes::set_property(kTriggerProperty, "0");
    EXPECT_FALSE(poll());
    fakes::set_property(kTriggerProperty, "1");
    EXPECT_TRUE(poll());
    fakes::set_property(kTriggerProperty, "0");
    fakes::set_property(kTriggerProperty, "1");
    EXPECT_TRUE(poll()) << "0 then 1 between two polls: a 1 written anew";
    EXPECT_EQ(fakes::entries("err: Unable to write").size(), 1u) << "the same cause, once";
    // Leaves the service as the other tests expect it: nothing pending.
    fakes::fail_property_set(0);
    EXPECT_FALSE(poll());
    EXPECT_FALSE(poll());
}

// A stop that the "2" cannot replace (a directory in the trigger's place) refuses the
// acknowledgement, but leaves no stale 1 behind: the next 1 is a new request and starts a run,
// even when no poll saw the trigger in between.
TEST_F(ServiceTest, RefusedAcknowledgementAfterAStopLeavesNoStale1) {
    fakes::set_property(kTriggerProperty, "1");
    fakes::script().on_read = [](int block) {
        if (block != 2) return;
        fakes::unset_property(kTriggerProperty);  // reads as unset, as a directory does
        fakes::fail_property_set(-EISDIR);
    };
    EXPECT_TRUE(poll());
    EXPECT_EQ(fakes::entries("err: "),
              Log{fakes::err(acknowledgement_error_line("Is a directory"))});
    // The controller puts a file back and starts a preview before the service polls again.
    fakes::script().on_read = [](int) { fakes::set_property(kTriggerProperty, "0"); };
    fakes::fail_property_set(0);
    fakes::set_property(kTriggerProperty, "1");
    EXPECT_TRUE(poll()) << "the new 1 was taken for the stale one";
    EXPECT_EQ(fakes::property(kTriggerProperty), "2");
    EXPECT_EQ(fakes::entries("pcm_open_req").size(), 2u);
}

// The handler stays installed, restarts interrupted calls, and only clears keep_running: a
// SIGINT while idle leaves the process polling, and every later run opens both streams, prints
// its capturing line, moves nothing and reports 0 frames.
TEST_F(ServiceTest, InterruptWhileIdleLeavesLaterRunsEmpty) {
    ASSERT_NE(bsd_signal(SIGINT, handle_interrupt), SIG_ERR);
    struct sigaction installed;
    ASSERT_EQ(sigaction(SIGINT, nullptr, &installed), 0);
    EXPECT_TRUE(installed.sa_flags & SA_RESTART);
    EXPECT_FALSE(installed.sa_flags & SA_RESETHAND);

    raise(SIGINT);
    EXPECT_EQ(keep_running, 0);
    raise(SIGINT);  // a second one changes nothing, and does not end the process
    ASSERT_EQ(sigaction(SIGINT, nullptr, &installed), 0);
    EXPECT_EQ(installed.sa_handler, handle_interrupt);

    for (int run = 0; run < 2; ++run) {
        fakes::reset();
        fakes::set_property(kTriggerProperty, "1");
        EXPECT_TRUE(poll());
        EXPECT_EQ(fakes::reads(), 0);
        EXPECT_EQ(fakes::entries("pcm_open").size(), 2u);
        EXPECT_EQ(fakes::entries("out: "),
                  (Log{fakes::out(capturing_line()), fakes::out(captured_line(0)),
                       fakes::out(kPropExitLine)}));
    }
}

}  // namespace
