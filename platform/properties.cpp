#include <cutils/properties.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>

#include "property_serial.h"
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

// --- Reading -----------------------------------------------------------------------------------

// A read that fails for one of these causes may well work next time (descriptors, memory or the
// disk ran short): the last value read stands meanwhile. Any other cause (ENOENT, ELOOP for a
// symlink, EACCES, ...) is a state of the store, read as unset.
bool is_transient(int err) {
    return err == EMFILE || err == ENFILE || err == EIO || err == EINTR || err == ENOMEM;
}
int failed_read(int err) { return is_transient(err) ? -err : 0; }

// Reads the file at `path` into `text` (PROPERTY_VALUE_MAX bytes): returns the value's length,
// 0 when it holds no usable value, or -errno for a transient failure; `text` is "" but for a
// value. `links` receives the file's link count (0 when there is no regular file).
int read_file(const char* path, char* text, nlink_t* links) {
    text[0] = '\0';
    *links = 0;
    // Absent, a symlink, a FIFO, a directory or too long: no value, decided without opening it.
    struct stat st;
    if (lstat(path, &st) != 0) return failed_read(errno);
    if (!S_ISREG(st.st_mode) || st.st_size > PROPERTY_VALUE_MAX) return 0;
    // O_NOFOLLOW: a symlink planted in the store must not redirect a read; O_NONBLOCK: a FIFO
    // must not stall the caller (it is then refused as not a regular file). Both can still appear
    // between the lstat and the open.
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failed_read(errno);
    char raw[PROPERTY_VALUE_MAX];
    ssize_t len = -1;
    int err = 0;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (S_ISREG(st.st_mode) && st.st_size <= PROPERTY_VALUE_MAX) {
        *links = st.st_nlink;
        len = 0;
        while (len < static_cast<ssize_t>(sizeof raw)) {
            const ssize_t r = read(fd, raw + len, sizeof raw - len);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) err = errno;
            if (r <= 0) break;
            len += r;
        }
    }
    close(fd);
    if (err != 0) return failed_read(err);
    if (len > 0 && raw[len - 1] == '\n') --len;
    if (len <= 0 || len >= PROPERTY_VALUE_MAX) return 0;
    memcpy(text, raw, len);
    text[len] = '\0';
    // A NUL inside the file ends the value, as it would end any C text.
    return static_cast<int>(strlen(text));
}

// Reads of unchanged files are answered from a small per-thread table: the service reads the
// trigger and the level once per audio block, and a full read (open, fstat, read, close) made the
// store a third of its CPU on a kernel driver. Whether a file may have changed is told by inotify
// on the store's directory, never by timestamps, so neither a clock step nor whole-second
// timestamps can hide a write however soon it follows a read. A kept value costs one read() of
// the inotify descriptor, which finds nothing while nothing changed. A file with a second link is
// read every time (a write through the other name raises no event here), and so is every file of
// a store on a network file system, whose other clients raise none.
//
// The table also keeps the last value read of each key, which stands through a transient
// failure, and the change serial of the write it came from.
constexpr int kTrackedKeys = 16;

struct Tracked {
    char key[PROPERTY_KEY_MAX];  // empty: unused
    bool current;                // `text` is the file's value as far as the events tell
    uint32_t changes;            // bumped by every event that may carry a write of the file
    uint32_t serial;             // `changes` when `text` was read; 0: cannot tell
    int len;                     // read_file's result for `text`; 0 until a value is known
    char text[PROPERTY_VALUE_MAX];
    int reported;  // the errno last reported of a failed read, 0 after a read that worked
};

struct Watch {
    int fd = -1;              // the inotify instance; -1: none, every read goes to the file
    char dir[kPathMax] = "";  // the store's directory that `keys` belong to
    uint32_t last_change = 0;
    Tracked keys[kTrackedKeys] = {};
    ~Watch() {
        if (fd >= 0) close(fd);
    }
};
thread_local Watch watch;

constexpr uint32_t kWatchedEvents = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// File systems whose files other machines change without an event here (linux/magic.h).
bool is_remote(long type) {
    switch (static_cast<unsigned long>(type)) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case 0x65735546:  // FUSE
        case 0x01021997:  // 9P
        case 0x00C36400:  // Ceph
        case 0x6B414653:  // AFS
            return true;
        default:
            return false;
    }
}

Tracked* find_tracked(Watch& w, const char* key) {
    for (Tracked& t : w.keys) {
        if (t.key[0] != '\0' && strcmp(t.key, key) == 0) return &t;
    }
    return nullptr;
}

// Every kept value must be read again, and counts as changed: events may have been missed.
void forget_all(Watch& w) {
    for (Tracked& t : w.keys) {
        t.current = false;
        t.changes = ++w.last_change;
    }
}

void drop_watch(Watch& w) {
    if (w.fd >= 0) close(w.fd);
    w.fd = -1;
    forget_all(w);
}

void take_events(Watch& w) {
    alignas(struct inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = read(w.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0 || errno != EAGAIN) drop_watch(w);
            return;
        }
        for (const char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(p);
            p += sizeof *e + e->len;
            if (e->mask & IN_Q_OVERFLOW) {
                forget_all(w);
            } else if (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                // The directory is gone from its path: watch whatever is there at the next read.
                drop_watch(w);
                return;
            } else if (Tracked* t = e->len > 0 ? find_tracked(w, e->name) : nullptr) {
                t->current = false;
                // A change of mode or owner is no write (but may change what a read gives).
                if (e->mask != IN_ATTRIB) t->changes = ++w.last_change;
            }
        }
        // A read that left room for one more event of the longest name emptied the queue.
        if (static_cast<size_t>(n) <= sizeof buf - sizeof(struct inotify_event) - NAME_MAX - 1) {
            return;
        }
    }
}

// Brings the thread's watch up to date for the store at `dir`: a new directory forgets the old
// one's keys, a missing watch is set up (and stays missing where it cannot be), pending events
// are taken.
void refresh_watch(Watch& w, const char* dir) {
    if (strcmp(w.dir, dir) != 0) {
        if (w.fd >= 0) close(w.fd);
        w.fd = -1;
        memset(w.keys, 0, sizeof w.keys);
        snprintf(w.dir, sizeof w.dir, "%s", dir);
    }
    if (w.fd < 0) {
        const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        struct statfs fs;
        if (fd >= 0 && statfs(dir, &fs) == 0 && !is_remote(fs.f_type) &&
            inotify_add_watch(fd, dir, kWatchedEvents) >= 0) {
            w.fd = fd;
            forget_all(w);
        } else if (fd >= 0) {
            close(fd);
        }
        return;
    }
    take_events(w);
}

Tracked* track(Watch& w, const char* key) {
    if (Tracked* t = find_tracked(w, key)) return t;
    for (Tracked& t : w.keys) {
        if (t.key[0] != '\0') continue;
        t = Tracked{};
        snprintf(t.key, sizeof t.key, "%s", key);
        t.changes = ++w.last_change;
        return &t;
    }
    return nullptr;  // more keys than the table holds: read every time
}

// read_file for `key`, answered from the table while its file has not changed. `*tracked` is the
// key's entry, nullptr when the table has none.
int read_value(const char* key, char* text, Tracked** tracked) {
    *tracked = nullptr;
    char path[kPathMax];
    text[0] = '\0';
    if (!property_store::is_valid_key(key) || !key_path(key, path)) return 0;
    Watch& w = watch;
    refresh_watch(w, store_directory());
    Tracked* t = track(w, key);
    *tracked = t;
    if (t != nullptr && t->current) {
        memcpy(text, t->text, static_cast<size_t>(t->len) + 1);
        return t->len;
    }
    // Events are taken before the file is read, so the serial is never that of a later write.
    const uint32_t changes = t != nullptr && w.fd >= 0 ? t->changes : 0;
    nlink_t links = 0;
    const int len = read_file(path, text, &links);
    if (t != nullptr && len >= 0) {
        t->current = w.fd >= 0 && links <= 1;
        t->serial = changes;
        t->len = len;
        memcpy(t->text, text, static_cast<size_t>(len) + 1);
    }
    return len;
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

// --- Writing -----------------------------------------------------------------------------------

// A value is written to a temporary in the store, synced and renamed into place. Temporaries are
// named ".hdmi-preview-tmp.KEY.XXXXXX" (six letters or digits), which no key (keys do not start
// with '.') and no user's file is likely to match. Their writer holds a lock on a temporary from
// before it may be removed: it creates the file unnamed (O_TMPFILE), locks it, marks it with mode
// 0644 and only then links it under that name; where the file system cannot make an unnamed file,
// the name comes with the file (mode 0600 from mkostemp) and the mark after the lock. So a
// temporary that is marked and not locked is a dead writer's, whatever its age, and the next
// write of its key removes it. (A writer killed between mkostemp and its lock leaves an unmarked
// temporary that stays.)
constexpr char kTemporaryPrefix[] = ".hdmi-preview-tmp.";
constexpr mode_t kValueMode = 0644;
constexpr int kTemporarySuffix = 6;

bool is_suffix_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Links the unnamed file `fd` at `tmp`, whose last six characters are replaced by random ones
// until the name is free.
bool link_unnamed(int fd, char* tmp) {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    char* suffix = tmp + strlen(tmp) - kTemporarySuffix;
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[kTemporarySuffix];
        if (getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
            for (unsigned char& r : random) r = static_cast<unsigned char>(rand());
        }
        for (int i = 0; i < kTemporarySuffix; ++i) suffix[i] = kChars[random[i] % 62];
        if (linkat(AT_FDCWD, proc, AT_FDCWD, tmp, AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

// Writes `value` into a new temporary `tmp` (a template ending in XXXXXX) and renames it to
// `path`: unnamed first when `unnamed`. Returns 0 or an errno; ENOTSUP when an unnamed file
// cannot be made or linked here, so the caller can take the named way instead.
int write_through_temporary(const char* dir, char* tmp, const char* path, const char* value,
                            size_t len, bool unnamed) {
    int fd;
    if (unnamed) {
        fd = open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) {
            return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? ENOTSUP : errno;
        }
    } else {
        fd = mkostemp(tmp, O_CLOEXEC);
        if (fd < 0) return errno;
    }
    bool named = !unnamed;  // `tmp` names the file in the store
    int err = 0;
    if (flock(fd, LOCK_EX) != 0 || fchmod(fd, kValueMode) != 0 || !write_all(fd, value, len) ||
        fsync(fd) != 0) {
        err = errno;
    } else if (!named && !(named = link_unnamed(fd, tmp))) {
        // Without /proc the unnamed file cannot be linked.
        err = errno == ENOENT ? ENOTSUP : errno;
    } else if (rename(tmp, path) != 0) {
        err = errno;
    }
    if (err != 0 && named) unlink(tmp);
    // The data reached the disk with the fsync; a close error can no longer lose it.
    close(fd);
    return err;
}

void remove_stale_temporaries(const char* dir, const char* key) {
    DIR* d = opendir(dir);
    if (d == nullptr) return;
    char prefix[sizeof kTemporaryPrefix + PROPERTY_KEY_MAX + 1];
    const size_t prefix_len =
        static_cast<size_t>(snprintf(prefix, sizeof prefix, "%s%s.", kTemporaryPrefix, key));
    while (const struct dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (strncmp(name, prefix, prefix_len) != 0 ||
            strlen(name) != prefix_len + kTemporarySuffix ||
            !std::all_of(name + prefix_len, name + prefix_len + kTemporarySuffix, is_suffix_char)) {
            continue;
        }
        const int fd = openat(dirfd(d), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        // Marked and not locked: its writer has died. The name must still be this file, not one
        // that a writer has renamed away meanwhile.
        struct stat st;
        struct stat now;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == kValueMode &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(dirfd(d), name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino &&
            now.st_dev == st.st_dev) {
            unlinkat(dirfd(d), name, 0);
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
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7f) return "value holds a control character";
    }
    return nullptr;
}

int read(const char* key, char* value) {
    Tracked* tracked;
    return read_value(key, value, &tracked);
}

}  // namespace property_store

extern "C" int property_get(const char* key, char* value, const char* default_value) {
    Tracked* t;
    const int len = read_value(key, value, &t);
    if (len >= 0 && t != nullptr) t->reported = 0;
    if (len > 0) return len;
    if (len < 0 && t != nullptr) {
        // Reported once per cause; meanwhile the last value read stands, so a run goes on and a
        // stop already seen stays seen.
        if (t->reported != -len) fprintf(stderr, "Unable to read %s (%s)\n", key, strerror(-len));
        t->reported = -len;
        if (t->len > 0) {
            memcpy(value, t->text, static_cast<size_t>(t->len) + 1);
            return t->len;
        }
    }
    if (default_value == nullptr) default_value = "";
    size_t n = strnlen(default_value, PROPERTY_VALUE_MAX - 1);
    memcpy(value, default_value, n);
    value[n] = '\0';
    return static_cast<int>(n);
}

extern "C" uint32_t property_serial(const char* key) {
    const Tracked* t = find_tracked(watch, key);
    return t != nullptr ? t->serial : 0;
}

extern "C" int property_set(const char* key, const char* value) {
    if (value == nullptr) value = "";
    if (property_store::key_fault(key) != nullptr ||
        property_store::value_fault(value) != nullptr) {
        return -EINVAL;
    }
    const char* dir = store_directory();
    char path[kPathMax];
    char tmp[kPathMax];
    int n = snprintf(tmp, sizeof tmp, "%s/%s%s.XXXXXX", dir, kTemporaryPrefix, key);
    if (!key_path(key, path) || n <= 0 || static_cast<size_t>(n) >= sizeof tmp)
        return -ENAMETOOLONG;

    const size_t len = strlen(value);
    int err = write_through_temporary(dir, tmp, path, value, len, true);
    if (err == ENOTSUP) {
        snprintf(tmp, sizeof tmp, "%s/%s%s.XXXXXX", dir, kTemporaryPrefix, key);
        err = write_through_temporary(dir, tmp, path, value, len, false);
    }
    if (err != 0) return -err;
    // The writer's own value is the last it knows of the key: should the next read fail, this
    // stands, not the value it replaced (the service's "2" must not give way to the run's 1).
    if (Tracked* t = find_tracked(watch, key); t != nullptr && strcmp(watch.dir, dir) == 0) {
        t->current = false;
        t->serial = 0;
        t->len = static_cast<int>(len);
        memcpy(t->text, value, len + 1);
    }
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
