// The process runner's waits and line handling, on a shell that prints known lines: the guest
// suite and the functional tests read the service's output only through them.

#include "service_process.h"

#include <signal.h>

#include <chrono>
#include <string>

#include "gtest/gtest.h"

namespace {

using namespace std::chrono_literals;

bool text_is(const OutputLine& line, const char* text) { return line.text == text; }

// "sh" without a path: looked up in PATH.
TEST(ServiceProcessTest, WaitForMatchGivesTheIndexOfTheFirstMatchFromTheGivenLine) {
    ServiceProcess shell;
    ASSERT_TRUE(shell.start("sh", {}, /*merge_output=*/true,
                            {"-c", "echo a; echo b >&2; echo a; exec sleep 10"}))
        << shell.error();
    auto a = [](const OutputLine& line) { return text_is(line, "a"); };
    EXPECT_EQ(shell.wait_for_match(a, 5s), 0);
    EXPECT_EQ(shell.wait_for_match(a, 5s, 1), 2);
    EXPECT_EQ(shell.wait_for_match([](const OutputLine& l) { return text_is(l, "b"); }, 5s), 1);
    EXPECT_EQ(shell.wait_for_match(a, 50ms, 3), -1);
    EXPECT_TRUE(shell.alive());
}

// A log follower's lines carry their own time: the filter rewrites them or drops them.
TEST(ServiceProcessTest, LineFilterRewritesAndDropsLines) {
    ServiceProcess shell;
    shell.set_line_filter([](OutputLine* line) {
        if (line->text.rfind("#", 0) == 0) return false;
        line->arrival = std::chrono::steady_clock::time_point(std::chrono::seconds(5));
        line->text = "seen " + line->text;
        return true;
    });
    ASSERT_TRUE(shell.start("/bin/sh", {}, false, {"-c", "echo '# note'; echo x; echo y >&2"}));
    shell.read_to_end(5s);
    ASSERT_EQ(shell.texts(Stream::kOut), std::vector<std::string>{"seen x"});
    ASSERT_EQ(shell.texts(Stream::kErr), std::vector<std::string>{"seen y"});
    for (const OutputLine& line : shell.lines()) {
        EXPECT_EQ(line.arrival.time_since_epoch(), std::chrono::seconds(5));
    }
    EXPECT_EQ(shell.transcript().size(), std::string("seen x | E:seen y | ").size());
    EXPECT_NE(shell.transcript().find("E:seen y | "), std::string::npos);
}

TEST(ServiceProcessTest, AliveUntilTheProcessHasEnded) {
    ServiceProcess shell;
    EXPECT_FALSE(shell.alive()) << "nothing started";
    ASSERT_TRUE(shell.start("/bin/sh", {}, false, {"-c", "exec sleep 10"}));
    EXPECT_TRUE(shell.alive());
    shell.send_signal(SIGTERM);
    EXPECT_TRUE(eventually([&] { return !shell.alive(); }, 5s));
    EXPECT_FALSE(shell.running()) << "an ended process is reaped";
}

}  // namespace
