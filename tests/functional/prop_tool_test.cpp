// The store's command-line tool, run as a user runs it.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "protocol_lines.h"
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
        return run(PROP_TOOL_BINARY, args, dir);
    }
    // The tool as nobody (65534), without supplementary groups, through util-linux's setpriv:
    // for a root caller, whom directory permissions do not stop.
    Result tool_as_nobody(const std::vector<std::string>& args) {
        std::vector<std::string> setpriv_args = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                 PROP_TOOL_BINARY};
        setpriv_args.insert(setpriv_args.end(), args.begin(), args.end());
        return run("/usr/bin/setpriv", setpriv_args, "");
    }
    Result run(const std::string& binary, const std::vector<std::string>& args,
               const std::string& dir) {
        ServiceProcess p;
        Result r;
        if (!p.start(binary, {"HDMI_PREVIEW_PROPERTY_DIR=" + (dir.empty() ? store_.path() : dir)},
                     false, args)) {
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

    bool exists(const std::string& key) {
        return std::filesystem::exists(store_.path() + "/" + key);
    }

    TempDir store_;
};

TEST_F(PropToolTest, SetGetList) {
    EXPECT_EQ(tool({"set", kTriggerProperty, "1"}).exit_code, 0);
    EXPECT_EQ(tool({"set", kLevelProperty, "7"}).exit_code, 0);
    Result got = tool({"get", kTriggerProperty});
    EXPECT_EQ(got.exit_code, 0);
    EXPECT_EQ(got.out, std::vector<std::string>{"1"});
    EXPECT_EQ(tool({"get", "unset.key", "0"}).out, std::vector<std::string>{"0"});
    EXPECT_EQ(tool({"get", "unset.key"}).out, std::vector<std::string>{""});
    EXPECT_EQ(tool({"list"}).out,
              (std::vector<std::string>{"[" + std::string(kTriggerProperty) + "]: [1]",
                                        "[" + std::string(kLevelProperty) + "]: [7]"}));
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
        {{"set", "a.key", "1\x1b[2J"},
         "hdmi-preview-prop: cannot set 'a.key': value holds a control character"},
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

// A fresh store needs no mkdir: set makes it, readable by all whatever the umask.
TEST_F(PropToolTest, SetMakesAMissingStore) {
    const std::string fresh = store_.path() + "/fresh";
    const mode_t old_umask = umask(077);
    Result r = tool({"set", "a.key", "5"}, fresh);
    umask(old_umask);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.err.empty());
    struct stat st = {};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(tool({"get", "a.key"}, fresh).out, std::vector<std::string>{"5"});
}

TEST_F(PropToolTest, HelpVersionStore) {
    struct Case {
        std::vector<std::string> args;
        std::string first_line;  // a regular expression
    };
    const Case cases[] = {
        {{"--help"}, R"(usage: hdmi-preview-prop get KEY \[DEFAULT\])"},
        {{"-h"}, R"(usage: hdmi-preview-prop get KEY \[DEFAULT\])"},
        {{"--version"}, R"(hdmi-preview-prop [0-9]+\.[0-9]+(\.[0-9]+)*)"},
        {{"store"}, store_.path()},
    };
    for (const Case& c : cases) {
        Result r = tool(c.args);
        EXPECT_EQ(r.exit_code, 0) << c.args[0];
        EXPECT_TRUE(r.err.empty()) << c.args[0];
        ASSERT_FALSE(r.out.empty()) << c.args[0];
        EXPECT_TRUE(std::regex_match(r.out[0], std::regex(c.first_line)))
            << c.args[0] << ": " << r.out[0];
    }
    // The verbs, the store and the exit codes are in the help.
    const std::vector<std::string> help = tool({"--help"}).out;
    for (const char* word :
         {"acknowledge", "store", "HDMI_PREVIEW_PROPERTY_DIR", "2 usage error"}) {
        EXPECT_TRUE(std::any_of(help.begin(), help.end(), [&](const std::string& l) {
            return l.find(word) != l.npos;
        })) << word;
    }
}

// What the unit runs after the service has ended: the trigger gets "2" when it reads 1 as the
// service reads it (atoi), and is left alone otherwise, unset included.
TEST_F(PropToolTest, AcknowledgeOnlyATriggerThatReadsOne) {
    const std::string trigger = kTriggerProperty;
    struct Case {
        const char* before;  // nullptr: unset
        const char* after;
        bool says;  // one line on standard output
    };
    const Case cases[] = {
        {"1", "2", true},    {"01", "2", true},     {"+1", "2", true},         {" 1", "2", true},
        {"1abc", "2", true}, {"0", "0", false},     {"2", "2", false},         {"11", "11", false},
        {"-1", "-1", false}, {"abc", "abc", false}, {nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(store_.path() + "/" + trigger);
        if (c.before != nullptr) {
            ASSERT_TRUE(write_property(store_.path(), trigger, c.before));
        }
        Result r = tool({"acknowledge"});
        const std::string label = c.before != nullptr ? c.before : "(unset)";
        EXPECT_EQ(r.exit_code, 0) << label;
        EXPECT_TRUE(r.err.empty()) << label;
        EXPECT_EQ(r.out.size(), c.says ? 1u : 0u) << label;
        if (c.after == nullptr) {
            EXPECT_FALSE(exists(trigger));
        } else {
            EXPECT_EQ(read_property(store_.path(), trigger), c.after) << label;
        }
    }
}

// Only those who may write the store's directory may set: anyone else gets one line naming the
// store and the cause, status 1, and the value stays. Reads stay open to all.
TEST_F(PropToolTest, SetRefusedToOthers) {
    ASSERT_TRUE(write_property(store_.path(), "a.key", "1"));
    Result r;
    if (geteuid() == 0) {
        // Root passes directory permissions, so the tool runs as nobody on a store that only its
        // owner may write.
        ASSERT_EQ(chmod(store_.path().c_str(), 0755), 0);
        r = tool_as_nobody({"set", "a.key", "2"});
        EXPECT_EQ(tool_as_nobody({"get", "a.key"}).out, std::vector<std::string>{"1"});
    } else {
        ASSERT_EQ(chmod(store_.path().c_str(), 0555), 0);
        if (access(store_.path().c_str(), W_OK) == 0) {
            chmod(store_.path().c_str(), 0700);
            GTEST_SKIP() << "this user may write a read-only directory";
        }
        r = tool({"set", "a.key", "2"});
    }
    chmod(store_.path().c_str(), 0700);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, std::vector<std::string>{"hdmi-preview-prop: cannot set 'a.key' in " +
                                              store_.path() + ": Permission denied"});
    EXPECT_EQ(read_property(store_.path(), "a.key"), "1");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store_.path()),
                            std::filesystem::directory_iterator()),
              1);
}

// A usage error: one line naming the fault, then the usage, status 2.
TEST_F(PropToolTest, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string fault;
    };
    const Case cases[] = {
        {{}, "no command given"},
        {{"get"}, "get takes KEY [DEFAULT]"},
        {{"set", "k"}, "set takes KEY VALUE"},
        {{"frob"}, "unknown command 'frob'"},
        {{"list", "x"}, "list takes nothing"},
        {{"store", "x"}, "store takes nothing"},
        {{"acknowledge", "x"}, "acknowledge takes nothing"},
        {{"--version", "x"}, "--version takes nothing"},
        {{"--help", "x"}, "--help takes nothing"},
    };
    for (const Case& c : cases) {
        Result r = tool(c.args);
        EXPECT_EQ(r.exit_code, 2) << c.fault;
        ASSERT_GE(r.err.size(), 2u) << c.fault;
        EXPECT_EQ(r.err[0], "hdmi-preview-prop: " + c.fault);
        EXPECT_EQ(r.err[1].rfind("usage: ", 0), 0u) << r.err[1];
    }
}

// Output that cannot be written is a failure with one line on standard error, not a silent 0.
TEST_F(PropToolTest, UnwritableOutputFails) {
    ASSERT_TRUE(write_property(store_.path(), "a.key", "1"));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"get", "a.key"}, {"list"}, {"store"}, {"--help"}}) {
        std::vector<std::string> sh = {"-c", "exec \"$0\" \"$@\" >/dev/full", PROP_TOOL_BINARY};
        sh.insert(sh.end(), args.begin(), args.end());
        Result r = run("/bin/sh", sh, "");
        EXPECT_EQ(r.exit_code, 1) << args[0];
        EXPECT_EQ(r.err, std::vector<std::string>{"hdmi-preview-prop: cannot write to standard "
                                                  "output: No space left on device"})
            << args[0];
    }
}

}  // namespace
