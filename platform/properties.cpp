#include <cutils/properties.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "property_store.h"

#ifndef HDMI_PREVIEW_PROPERTY_DIR_DEFAULT
#error "HDMI_PREVIEW_PROPERTY_DIR_DEFAULT must name the store's default directory"
#endif

namespace {

// Paths are built on the stack: the service reads two properties per audio block and must not
// touch the heap while it streams.
constexpr size_t kPathMax = 4096;

const char* store_directory() {
    const char* dir = getenv("HDMI_PREVIEW_PROPERTY_DIR");
    return (dir != nullptr && dir[0] != '\0') ? dir : HDMI_PREVIEW_PROPERTY_DIR_DEFAULT;
}

// Returns false when the path would not fit.
bool key_path(const char* key, char* path) {
    int n = snprintf(path, kPathMax, "%s/%s", store_directory(), key);
    return n > 0 && static_cast<size_t>(n) < kPathMax;
}

// Reads of unchanged files are answered from a small per-thread cache: the service reads the
// trigger and the level once per audio block, and a full read (open, fstat, read, close) made the
// store a third of its CPU on a kernel driver. Every read still starts with one lstat of the file,
// so a value replaced by rename, edited in place, removed, or swapped for a link or a special file
// is seen at once; the files stay the only truth. An entry is trusted only while the file's inode,
// size, mtime and ctime are those it was read with, and only once its ctime lies kSettleSeconds
// in the past, so that a write landing within the same timestamp tick as the read (1 s on some
// file systems) cannot hide behind an equal ctime.
constexpr size_t kCachedPathMax = 256;  // longer paths are read in full every time
constexpr int kCacheEntries = 4;
constexpr time_t kSettleSeconds = 2;

struct CachedRead {
    char path[kCachedPathMax];  // empty: unused
    dev_t dev;
    ino_t ino;
    off_t size;
    struct timespec mtime;
    struct timespec ctime;
    int len;  // read_value's result for this file
    char text[PROPERTY_VALUE_MAX];
};

thread_local CachedRead cache[kCacheEntries];
thread_local int cache_next = 0;

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_file(const CachedRead& e, const struct stat& st) {
    return e.dev == st.st_dev && e.ino == st.st_ino && e.size == st.st_size &&
           same_time(e.mtime, st.st_mtim) && same_time(e.ctime, st.st_ctim);
}

CachedRead* cache_find(const char* path) {
    for (CachedRead& e : cache) {
        if (e.path[0] != '\0' && strcmp(e.path, path) == 0) return &e;
    }
    return nullptr;
}

void cache_store(const char* path, const struct stat& st, int len, const char* text) {
    if (strlen(path) >= kCachedPathMax) return;
    CachedRead* e = cache_find(path);
    struct timespec now;
    const bool settled = clock_gettime(CLOCK_REALTIME, &now) == 0 &&
                         st.st_ctim.tv_sec + kSettleSeconds <= now.tv_sec;
    if (!settled) {
        if (e != nullptr) e->path[0] = '\0';
        return;
    }
    if (e == nullptr) {
        e = &cache[cache_next];
        cache_next = (cache_next + 1) % kCacheEntries;
    }
    strcpy(e->path, path);
    e->dev = st.st_dev;
    e->ino = st.st_ino;
    e->size = st.st_size;
    e->mtime = st.st_mtim;
    e->ctime = st.st_ctim;
    e->len = len;
    if (len >= 0) memcpy(e->text, text, static_cast<size_t>(len) + 1);
}

// Reads the whole stored text into `text` (PROPERTY_VALUE_MAX bytes) and returns the value's
// length, or -1 when there is no usable value. The stored text may carry one trailing newline,
// so it may be one byte longer than the longest value.
int read_value(const char* key, char* text) {
    char path[kPathMax];
    if (!property_store::is_valid_key(key) || !key_path(key, path)) return -1;
    // Absent, a symlink, a FIFO, a directory or too long: no value, decided without opening it.
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > PROPERTY_VALUE_MAX) return -1;
    if (const CachedRead* hit = cache_find(path); hit != nullptr && same_file(*hit, st)) {
        if (hit->len >= 0) memcpy(text, hit->text, static_cast<size_t>(hit->len) + 1);
        return hit->len;
    }
    // O_NOFOLLOW: a symlink planted in the store must not redirect a read; O_NONBLOCK: a FIFO
    // must not stall the caller (it is then refused as not a regular file). Both can still appear
    // between the lstat and the open.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    char raw[PROPERTY_VALUE_MAX];
    ssize_t len = -1;
    bool read_ok = false;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= PROPERTY_VALUE_MAX) {
        len = 0;
        read_ok = true;
        while (len < static_cast<ssize_t>(sizeof raw)) {
            ssize_t r = read(fd, raw + len, sizeof raw - len);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                len = -1;
                read_ok = false;
                break;
            }
            if (r == 0) break;
            len += r;
        }
    }
    close(fd);
    int result = -1;
    if (len > 0 && raw[len - 1] == '\n') --len;
    if (len > 0 && len < PROPERTY_VALUE_MAX) {
        memcpy(text, raw, len);
        text[len] = '\0';
        // A NUL inside the file ends the value, as it would end any C text.
        result = static_cast<int>(strlen(text));
    }
    // What was read is what the file held when fstat described it, unless it was edited in place
    // meanwhile; that edit moved the ctime past the one kept here, so the next read sees it.
    if (read_ok) cache_store(path, st, result, text);
    return result;
}

bool write_all(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t w = write(fd, data, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        data += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

// A writer killed between creating its temporary and the rename leaves the temporary behind; the
// next write of the same key removes it, so that they cannot pile up whatever the service's
// uptime. A temporary is stale when no process holds its lock (a lock dies with its process) and
// it is older than kStaleSeconds: a writer locks its file right after creating it, and that
// moment must not be mistaken for a death.
constexpr time_t kStaleSeconds = 2;

void remove_stale_temporaries(const char* dir, const char* key) {
    DIR* d = opendir(dir);
    if (d == nullptr) return;
    char prefix[PROPERTY_KEY_MAX + 2];
    const int prefix_len = snprintf(prefix, sizeof prefix, ".%s.", key);
    const time_t now = time(nullptr);
    while (const struct dirent* e = readdir(d)) {
        // mkostemp's names: the prefix and six characters.
        if (strncmp(e->d_name, prefix, prefix_len) != 0 || strlen(e->d_name) != prefix_len + 6u) {
            continue;
        }
        int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime + kStaleSeconds <= now &&
            flock(fd, LOCK_EX | LOCK_NB) == 0) {
            unlinkat(dirfd(d), e->d_name, 0);
        }
        close(fd);
    }
    closedir(d);
}

}  // namespace

namespace property_store {

std::string directory() { return store_directory(); }

const char* key_fault(const char* key) {
    if (key == nullptr || key[0] == '\0') return "key is empty";
    const size_t len = strnlen(key, PROPERTY_KEY_MAX);
    if (len >= PROPERTY_KEY_MAX) return "key is longer than 31 characters";
    for (size_t i = 0; i < len; ++i) {
        const char c = key[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-' || c == ':' || c == '@')) {
            return "key holds a character outside A-Z a-z 0-9 . _ - : @";
        }
    }
    if (key[0] == '.') return "key starts with '.'";
    return nullptr;
}

const char* value_fault(const char* value) {
    const size_t len = strnlen(value, PROPERTY_VALUE_MAX);
    if (len >= PROPERTY_VALUE_MAX) return "value is longer than 91 characters";
    if (memchr(value, '\n', len) != nullptr) return "value holds a newline";
    return nullptr;
}

}  // namespace property_store

extern "C" int property_get(const char* key, char* value, const char* default_value) {
    int len = read_value(key, value);
    if (len > 0) return len;
    if (default_value == nullptr) default_value = "";
    size_t n = strnlen(default_value, PROPERTY_VALUE_MAX - 1);
    memcpy(value, default_value, n);
    value[n] = '\0';
    return static_cast<int>(n);
}

extern "C" int property_set(const char* key, const char* value) {
    if (value == nullptr) value = "";
    if (property_store::key_fault(key) != nullptr ||
        property_store::value_fault(value) != nullptr) {
        return -EINVAL;
    }
    const size_t len = strlen(value);

    const char* dir = store_directory();
    char path[kPathMax];
    char tmp[kPathMax];
    // The temporary name starts with '.', which no key may, so a reader never takes it for one.
    int n = snprintf(tmp, sizeof tmp, "%s/.%s.XXXXXX", dir, key);
    if (!key_path(key, path) || n <= 0 || static_cast<size_t>(n) >= sizeof tmp)
        return -ENAMETOOLONG;

    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) return -errno;
    // Locked until the rename has taken the temporary's name away: a later writer of the key
    // removes only temporaries whose writer has died (see remove_stale_temporaries).
    int err = 0;
    if (flock(fd, LOCK_EX) != 0 || fchmod(fd, 0644) != 0 || !write_all(fd, value, len) ||
        fsync(fd) != 0 || rename(tmp, path) != 0) {
        err = errno;
        unlink(tmp);
    }
    // The data reached the disk with the fsync; a close error can no longer lose it.
    close(fd);
    if (err != 0) return -err;
    // Only after a write that succeeded: a store this process cannot write costs no scan (the
    // service retries a refused "2" at every poll).
    remove_stale_temporaries(dir, key);
    // The rename, and the removals, reach the disk only with the directory.
    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        if (fsync(dfd) != 0) err = errno;
        close(dfd);
    }
    return err != 0 ? -err : 0;
}
