// The real service binary on a machine without sound cards: every run fails to open the capture
// stream, and is acknowledged all the same.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "gtest/gtest.h"
#include "protocol_lines.h"
#include "service_process.h"

#ifndef SERVICE_BINARY
#error "SERVICE_BINARY must name the service executable"
#endif

namespace {

using namespace std::chrono_literals;

const std::string kOpenError =
    capture_open_error_line("cannot open device 'hw:0,0': No such file or directory");
// Generous: these wait on the machine, not on the service's own timing.
constexpr auto kDeadline = 5s;

class ServiceNoCardsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access("/dev/snd/controlC0", F_OK) == 0 || access("/dev/snd/controlC1", F_OK) == 0) {
            GTEST_SKIP() << "this machine has sound cards; these tests need none";
        }
        ASSERT_FALSE(store_.path().empty());
    }

    void start(bool merge_output = false) {
        ASSERT_TRUE(service_.start(SERVICE_BINARY, {"HDMI_PREVIEW_PROPERTY_DIR=" + store_.path()},
                                   merge_output))
            << service_.error();
    }
    std::string trigger() const { return read_property(store_.path(), kTriggerProperty); }
    void set_trigger(const char* value) {
        ASSERT_TRUE(write_property(store_.path(), kTriggerProperty, value));
    }
    // One failed run after the trigger was set: its lines, and "2" in the trigger.
    void expect_failed_run(size_t nth) {
        EXPECT_TRUE(service_.wait_for_line(Stream::kErr, kOpenError, kDeadline, nth));
        EXPECT_TRUE(service_.wait_for_line(Stream::kOut, captured_line(0), kDeadline, nth));
        EXPECT_TRUE(service_.wait_for_line(Stream::kOut, kPropExitLine, kDeadline, nth));
        EXPECT_EQ(trigger(), kAcknowledgement);
    }

    TempDir store_;
    ServiceProcess service_;
};

// Each line on its stream, nothing else on either (alsa-lib's own messages are silenced).
TEST_F(ServiceNoCardsTest, FailedRunIsReportedAndAcknowledged) {
    set_trigger("1");
    start();
    expect_failed_run(0);
    service_.drain_for(100ms);
    EXPECT_EQ(service_.texts(Stream::kErr), std::vector<std::string>{kOpenError});
    EXPECT_EQ(service_.texts(Stream::kOut),
              (std::vector<std::string>{captured_line(0), kPropExitLine}));
}

// With both streams on one pipe the lines keep the order they were written in; "2" is in the
// trigger by the time kPropExitLine is printed.
TEST_F(ServiceNoCardsTest, LinesComeInOrderAndTheAcknowledgementPrecedesPropExit) {
    start(/*merge_output=*/true);
    set_trigger("1");
    ASSERT_TRUE(service_.wait_for_line(Stream::kOut, kPropExitLine, kDeadline));
    EXPECT_EQ(trigger(), kAcknowledgement);
    ASSERT_EQ(service_.lines().size(), 3u);
    EXPECT_EQ(service_.lines()[0].text, kOpenError);
    EXPECT_EQ(service_.lines()[1].text, captured_line(0));
    EXPECT_EQ(service_.lines()[2].text, kPropExitLine);
}

// Its own "2" starts nothing; each new 1 starts exactly one run.
TEST_F(ServiceNoCardsTest, RunsOncePerTriggerWrite) {
    start();
    set_trigger("1");
    expect_failed_run(0);
    service_.drain_for(300ms);
    EXPECT_EQ(service_.texts(Stream::kOut).size(), 2u) << "the acknowledgement started a run";
    set_trigger("1");
    expect_failed_run(1);
}

// A store the service may read but not write: the refusal of its "2" is reported once on
// standard error, and the 1 it could not overwrite starts no further run (before, one run every
// poll: 60 lines a second). As root, which writes anywhere, the service runs as nobody.
TEST_F(ServiceNoCardsTest, StoreItCannotWriteIsReportedOnceAndStartsNoMoreRuns) {
    const bool root = geteuid() == 0;
    set_trigger("1");
    ASSERT_EQ(chmod(store_.path().c_str(), root ? 0755 : 0555), 0);
    if (root) {
        ASSERT_TRUE(service_.start(
            "/usr/bin/setpriv", {"HDMI_PREVIEW_PROPERTY_DIR=" + store_.path()}, false,
            {"--reuid=65534", "--regid=65534", "--clear-groups", SERVICE_BINARY}))
            << service_.error();
    } else {
        start();
    }
    const std::string refused = acknowledgement_error_line("Permission denied");
    EXPECT_TRUE(service_.wait_for_line(Stream::kErr, refused, kDeadline));
    EXPECT_TRUE(service_.wait_for_line(Stream::kOut, kPropExitLine, kDeadline));
    service_.drain_for(500ms);
    EXPECT_EQ(service_.texts(Stream::kErr), (std::vector<std::string>{kOpenError, refused}));
    EXPECT_EQ(service_.texts(Stream::kOut),
              (std::vector<std::string>{captured_line(0), kPropExitLine}));
    EXPECT_EQ(trigger(), "1");
    chmod(store_.path().c_str(), 0700);
}

// SIGINT leaves the service polling; SIGTERM ends it.
TEST_F(ServiceNoCardsTest, InterruptKeepsPollingAndTerminateEnds) {
    start();
    set_trigger("1");
    expect_failed_run(0);
    service_.send_signal(SIGINT);
    service_.send_signal(SIGINT);
    set_trigger("1");
    expect_failed_run(1);
    int status = 0;
    EXPECT_FALSE(service_.wait_exit(100ms, &status)) << "SIGINT ended the process";
    service_.send_signal(SIGTERM);
    ASSERT_TRUE(service_.wait_exit(kDeadline, &status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

}  // namespace
