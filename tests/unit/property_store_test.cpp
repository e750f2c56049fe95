#include <cutils/properties.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "service_process.h"

// A board whose realtime clock stepped, on a file system with whole-second timestamps (vfat, ext4
// with small inodes), as the store sees them: the store's own calls resolve to these.
static time_t clock_step = 0;
static bool whole_seconds = false;
extern "C" int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
    const int r = static_cast<int>(syscall(SYS_clock_gettime, id, ts));
    if (r == 0 && id == CLOCK_REALTIME) ts->tv_sec += clock_step;
    return r;
}
static int coarse(int r, struct stat* st) {
    if (r == 0 && whole_seconds) st->st_mtim.tv_nsec = st->st_ctim.tv_nsec = 0;
    return r;
}
extern "C" int lstat(const char* __restrict path, struct stat* __restrict st) noexcept {
    return coarse(fstatat(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW), st);
}
extern "C" int fstat(int fd, struct stat* st) noexcept {
    return coarse(fstatat(fd, "", st, AT_EMPTY_PATH), st);
}

namespace {

namespace fs = std::filesystem;

class PropertyStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        setenv("HDMI_PREVIEW_PROPERTY_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override { unsetenv("HDMI_PREVIEW_PROPERTY_DIR"); }

    std::string get(const char* key, const char* default_value = "dflt") {
        char value[PROPERTY_VALUE_MAX];
        const int len = property_get(key, value, default_value);
        EXPECT_EQ(len, static_cast<int>(strlen(value)));
        return value;
    }
    void write_file(const std::string& name, const std::string& text) {
        std::ofstream(dir_.path() + "/" + name, std::ios::binary) << text;
    }

    TempDir dir_;
};

TEST_F(PropertyStoreTest, RoundTrip) {
    EXPECT_EQ(get("persist.audio.hdmi.preview"), "dflt");
    EXPECT_EQ(property_set("persist.audio.hdmi.preview", "1"), 0);
    EXPECT_EQ(get("persist.audio.hdmi.preview"), "1");
    EXPECT_EQ(property_set("persist.audio.hdmi.preview", "2"), 0);
    EXPECT_EQ(get("persist.audio.hdmi.preview"), "2");
    // An empty value reads as unset.
    EXPECT_EQ(property_set("persist.audio.hdmi.preview", ""), 0);
    EXPECT_EQ(get("persist.audio.hdmi.preview"), "dflt");
    // Only the value files are left: no temporary file outlives a write.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(PropertyStoreTest, LengthLimitsCountTheTerminator) {
    const std::string longest_value(PROPERTY_VALUE_MAX - 1, 'v');
    const std::string longest_key = "k" + std::string(PROPERTY_KEY_MAX - 2, 'x');
    EXPECT_EQ(property_set("a.key", longest_value.c_str()), 0);
    EXPECT_EQ(get("a.key"), longest_value);
    EXPECT_EQ(property_set("a.key", (longest_value + "v").c_str()), -EINVAL);
    EXPECT_EQ(get("a.key"), longest_value) << "a refused write leaves the old value";
    EXPECT_EQ(property_set(longest_key.c_str(), "1"), 0);
    EXPECT_EQ(get(longest_key.c_str()), "1");
    EXPECT_EQ(property_set((longest_key + "x").c_str(), "1"), -EINVAL);
    // A default longer than a value is cut to the maximum, never written past it.
    const std::string long_default(200, 'd');
    EXPECT_EQ(get("unset.key", long_default.c_str()),
              long_default.substr(0, PROPERTY_VALUE_MAX - 1));
}

TEST_F(PropertyStoreTest, RefusesKeysThatLeaveOrHideInTheStore) {
    for (const char* key : {"", ".", "..", ".hidden", "../escape", "a/b", "/abs", "sp ace",
                            "new\nline", "t\xc3\xa4st", "star*"}) {
        EXPECT_EQ(property_set(key, "1"), -EINVAL) << "'" << key << "'";
        EXPECT_EQ(get(key), "dflt") << "'" << key << "'";
    }
    EXPECT_FALSE(fs::exists(fs::path(dir_.path()).parent_path() / "escape"));
    EXPECT_EQ(fs::directory_iterator(dir_.path()), fs::directory_iterator());
    for (const char* key : {"A-Z_a-z.0-9:@", "persist.sys.voice.level"}) {
        EXPECT_EQ(property_set(key, "ok"), 0) << key;
    }
}

TEST_F(PropertyStoreTest, RefusesValuesWithANewline) {
    EXPECT_EQ(property_set("a.key", "1\n2"), -EINVAL);
    EXPECT_EQ(get("a.key"), "dflt");
}

TEST_F(PropertyStoreTest, ReadsFilesWrittenByHand) {
    struct Case {
        std::string text;
        const char* value;
    };
    const Case cases[] = {
        {"1\n", "1"},                   // echo 1 > dir/key
        {"1\n\n", "1\n"},               // only one newline is dropped
        {"7", "7"},                     // printf 7 > dir/key
        {"\n", "dflt"},                 // empty
        {"", "dflt"},                   //
        {std::string("a\0b", 3), "a"},  // a NUL ends the text
    };
    for (const Case& c : cases) {
        write_file("hand.key", c.text);
        EXPECT_EQ(get("hand.key"), c.value) << "'" << c.text << "'";
    }
    // Too long for a value, even with its newline: unreadable, so the default.
    write_file("hand.key", std::string(PROPERTY_VALUE_MAX - 1, 'x') + "\n");
    EXPECT_EQ(get("hand.key"), std::string(PROPERTY_VALUE_MAX - 1, 'x'));
    write_file("hand.key", std::string(PROPERTY_VALUE_MAX, 'x'));
    EXPECT_EQ(get("hand.key"), "dflt");
    write_file("hand.key", std::string(4096, 'x'));
    EXPECT_EQ(get("hand.key"), "dflt");
}

TEST_F(PropertyStoreTest, DoesNotFollowSymlinksOrReadSpecialFiles) {
    TempDir elsewhere;
    std::ofstream(elsewhere.path() + "/target") << "1";
    fs::create_symlink(elsewhere.path() + "/target", dir_.path() + "/linked.key");
    EXPECT_EQ(get("linked.key"), "dflt");
    ASSERT_EQ(mkfifo((dir_.path() + "/fifo.key").c_str(), 0600), 0);
    EXPECT_EQ(get("fifo.key"), "dflt") << "a FIFO neither blocks the reader nor counts as a value";
    fs::create_directory(dir_.path() + "/dir.key");
    EXPECT_EQ(get("dir.key"), "dflt");
    // A write replaces the link itself and leaves its target alone.
    EXPECT_EQ(property_set("linked.key", "2"), 0);
    EXPECT_EQ(get("linked.key"), "2");
    std::ifstream target(elsewhere.path() + "/target");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(target), {}), "1");
}

TEST_F(PropertyStoreTest, MissingDirectory) {
    const std::string missing = dir_.path() + "/missing";
    setenv("HDMI_PREVIEW_PROPERTY_DIR", missing.c_str(), 1);
    EXPECT_EQ(get("a.key"), "dflt");
    EXPECT_EQ(property_set("a.key", "1"), -ENOENT);
    EXPECT_FALSE(fs::exists(missing));
}

struct rlimit limit;
void run_out_of_descriptors() {
    const struct rlimit none = {0, limit.rlim_max};
    setrlimit(RLIMIT_NOFILE, &none);
}

// Reads of a file that has not changed may be answered without reading it again; every kind of
// change must still be seen by the next read, whatever the clock and the timestamps say, and a
// read that fails for want of descriptors keeps the last value. Each file is read twice, then
// changed.
TEST_F(PropertyStoreTest, NextReadSeesEveryChangeOfAKeptValue) {
    struct Case {
        const char* key;
        std::function<void(const std::string& path)> change;
        const char* expected;
    };
    const Case cases[] = {
        {"renamed.key", [](const std::string&) { property_set("renamed.key", "8"); }, "8"},
        {"edited.key",
         [](const std::string& path) {
             // Same size, and the modification time put back: only the change time tells.
             struct stat before;
             stat(path.c_str(), &before);
             std::ofstream(path, std::ios::binary) << "8\n";
             const struct timespec times[2] = {before.st_atim, before.st_mtim};
             utimensat(AT_FDCWD, path.c_str(), times, 0);
         },
         "8"},
        {"removed.key", [](const std::string& path) { unlink(path.c_str()); }, "dflt"},
        {"linked.key",
         [](const std::string& path) {
             const std::string other = path + ".target";
             std::ofstream(other) << "8";
             unlink(path.c_str());
             symlink(other.c_str(), path.c_str());
         },
         "dflt"},
        {"fifo.key",
         [](const std::string& path) {
             unlink(path.c_str());
             mkfifo(path.c_str(), 0600);
         },
         "dflt"},
        {"grown.key",
         [](const std::string& path) {
             std::ofstream(path, std::ios::binary) << std::string(PROPERTY_VALUE_MAX + 1, '8');
         },
         "dflt"},
        {"clock.step.key",
         [this](const std::string& path) {
             // Read and rewritten in place within one second, after a clock step: the file's
             // inode, size and times are all as they were.
             clock_step = 3600;
             whole_seconds = true;
             std::ofstream(path, std::ios::binary) << "9\n";
             get("clock.step.key");
             std::ofstream(path, std::ios::binary) << "8\n";
         },
         "8"},
        // Out of descriptors (the loop restores the limit): the last value read stands, or the
        // reader's own last write.
        {"transient.key",
         [](const std::string& path) {
             std::ofstream(path, std::ios::binary) << "8\n";
             run_out_of_descriptors();
         },
         "7"},
        {"written.key",
         [](const std::string&) {
             property_set("written.key", "8");
             run_out_of_descriptors();
         },
         "8"},
    };
    getrlimit(RLIMIT_NOFILE, &limit);
    for (const Case& c : cases) write_file(c.key, "7\n");
    for (const Case& c : cases) {
        EXPECT_EQ(get(c.key), "7") << c.key;
        EXPECT_EQ(get(c.key), "7") << c.key << ", read again";
        c.change(dir_.path() + "/" + c.key);
        EXPECT_EQ(get(c.key), c.expected) << c.key;
        setrlimit(RLIMIT_NOFILE, &limit);
        clock_step = 0;
        whole_seconds = false;
    }
    EXPECT_EQ(get("transient.key"), "8") << "once descriptors are back";
}

// A writer killed before its rename leaves its temporary behind; the next write of that key
// removes it, and nothing else: not a live writer's temporary (locked, or just made and not yet
// marked with its mode), whatever its age; not another key's; not a name the store does not make.
TEST_F(PropertyStoreTest, NextWriteRemovesTheKeysStaleTemporaries) {
    struct Case {
        const char* name;
        mode_t mode;
        bool locked;
        bool removed;
    };
    const Case cases[] = {
        {".hdmi-preview-tmp.a.key.Xy12Z9", 0644, false, true},   // its writer died
        {".hdmi-preview-tmp.a.key.Xy12Z8", 0644, true, false},   // its writer still writes
        {".hdmi-preview-tmp.a.key.Xy12Z7", 0600, false, false},  // just made, not yet locked
        {".hdmi-preview-tmp.b.key.Xy12Z6", 0644, false, false},  // another key's
        {".hdmi-preview-tmp.a.key.Xy12Z", 0644, false, false},   // not a temporary's name
        {".hdmi-preview-tmp.a.key.Xy1-Z5", 0644, false, false},  //
        {".a.key.backup", 0644, false, false},                   // a user's file
    };
    std::vector<int> locks;
    for (const Case& c : cases) {
        const std::string path = dir_.path() + "/" + c.name;
        write_file(c.name, "9");
        // An hour old: age makes no temporary stale.
        const struct timespec an_hour_ago[2] = {{time(nullptr) - 3600, 0},
                                                {time(nullptr) - 3600, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), an_hour_ago, 0), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        if (c.locked) {
            // Another open file description, as another process's would be.
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(flock(fd, LOCK_EX), 0);
            locks.push_back(fd);
        }
    }
    ASSERT_EQ(property_set("a.key", "1"), 0);
    EXPECT_EQ(get("a.key"), "1");
    for (const Case& c : cases) {
        EXPECT_EQ(fs::exists(dir_.path() + "/" + c.name), !c.removed) << c.name;
    }
    for (int fd : locks) close(fd);
}

// One writer replaces a value as fast as it can while a reader checks every read: it must see
// one whole value or the other, never a mix, a part or nothing.
TEST_F(PropertyStoreTest, ReaderNeverSeesHalfAValue) {
    const std::string a(PROPERTY_VALUE_MAX - 1, 'a');
    const std::string b(PROPERTY_VALUE_MAX - 1, 'b');
    ASSERT_EQ(property_set("hammered.key", a.c_str()), 0);
    std::atomic<bool> done{false};
    std::atomic<int> write_failures{0};
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            if (property_set("hammered.key", (i % 2 ? a : b).c_str()) != 0) ++write_failures;
        }
        done = true;
    });
    int reads = 0;
    int bad = 0;
    while (!done || reads < 100) {
        const std::string value = get("hammered.key");
        if (value != a && value != b) ++bad;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    EXPECT_EQ(write_failures, 0);
}

}  // namespace
