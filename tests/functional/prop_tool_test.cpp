// The store's command-line tool, run as a user runs it.

#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "service_process.h"

#ifndef PROP_TOOL_BINARY
#error "PROP_TOOL_BINARY must name the property tool"
#endif

namespace {

using namespace std::chrono_literals;

struct Result {
    int exit_code = -1;
    std::vector<std::string> out;
    std::vector<std::string> err;
};

class PropToolTest : public ::testing::Test {
  protected:
    Result tool(const std::vector<std::string>& args, const std::string& dir = "") {
        ServiceProcess p;
        Result r;
        if (!p.start(PROP_TOOL_BINARY,
                     {"HDMI_PREVIEW_PROPERTY_DIR=" + (dir.empty() ? store_.path() : dir)}, false,
                     args)) {
            ADD_FAILURE() << p.error();
            return r;
        }
        int status = 0;
        if (!p.wait_exit(5s, &status)) {
            ADD_FAILURE() << "the tool did not end";
            return r;
        }
        p.read_to_end(5s);
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = p.texts(Stream::kOut);
        r.err = p.texts(Stream::kErr);
        return r;
    }
    TempDir store_;
};

TEST_F(PropToolTest, SetGetList) {
    EXPECT_EQ(tool({"set", "persist.audio.hdmi.preview", "1"}).exit_code, 0);
    EXPECT_EQ(tool({"set", "persist.sys.voice.level", "7"}).exit_code, 0);
    Result got = tool({"get", "persist.audio.hdmi.preview"});
    EXPECT_EQ(got.exit_code, 0);
    EXPECT_EQ(got.out, std::vector<std::string>{"1"});
    EXPECT_EQ(tool({"get", "unset.key", "0"}).out, std::vector<std::string>{"0"});
    EXPECT_EQ(tool({"get", "unset.key"}).out, std::vector<std::string>{""});
    EXPECT_EQ(tool({"list"}).out, (std::vector<std::string>{"[persist.audio.hdmi.preview]: [1]",
                                                            "[persist.sys.voice.level]: [7]"}));
}

// A refused request: one line naming the key and the cause, a non-zero exit, nothing written.
TEST_F(PropToolTest, RefusalsNameTheKeyAndTheCause) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string long_value(92, 'v');
    const std::string long_key(32, 'k');
    const Case cases[] = {
        {{"set", "../x", "1"},
         "hdmi-preview-prop: cannot set '../x': key holds a character outside A-Z a-z 0-9 . _ - : "
         "@"},
        {{"set", ".hidden", "1"}, "hdmi-preview-prop: cannot set '.hidden': key starts with '.'"},
        {{"set", "", "1"}, "hdmi-preview-prop: cannot set '': key is empty"},
        {{"set", long_key, "1"},
         "hdmi-preview-prop: cannot set '" + long_key + "': key is longer than 31 characters"},
        {{"set", "a.key", long_value},
         "hdmi-preview-prop: cannot set 'a.key': value is longer than 91 characters"},
        {{"set", "a.key", "1\n2"}, "hdmi-preview-prop: cannot set 'a.key': value holds a newline"},
        {{"get", "a/b"},
         "hdmi-preview-prop: cannot get 'a/b': key holds a character outside A-Z a-z 0-9 . _ - : "
         "@"},
    };
    for (const Case& c : cases) {
        Result r = tool(c.args);
        EXPECT_NE(r.exit_code, 0) << c.err;
        EXPECT_EQ(r.err, std::vector<std::string>{c.err});
    }
    EXPECT_EQ(std::filesystem::directory_iterator(store_.path()),
              std::filesystem::directory_iterator());
}

// set makes a missing store one level deep, no deeper.
TEST_F(PropToolTest, StoreThatCannotBeWritten) {
    const std::string parent = store_.path() + "/missing";
    const std::string missing = parent + "/store";
    Result r = tool({"set", "a.key", "1"}, missing);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, std::vector<std::string>{"hdmi-preview-prop: cannot set 'a.key' in " +
                                              missing + ": No such file or directory"});
    EXPECT_FALSE(std::filesystem::exists(parent));
    EXPECT_EQ(tool({"list"}, missing).exit_code, 1);
}

TEST_F(PropToolTest, UsageErrors) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"get"}, {"set", "k"}, {"frob"}, {"list", "x"}}) {
        Result r = tool(args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_FALSE(r.err.empty());
    }
}

}  // namespace
