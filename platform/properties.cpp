#include <cutils/properties.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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

// Reads the whole stored text into `text` (PROPERTY_VALUE_MAX bytes) and returns the value's
// length, or -1 when there is no usable value. The stored text may carry one trailing newline,
// so it may be one byte longer than the longest value.
int read_value(const char* key, char* text) {
    char path[kPathMax];
    if (!property_store::is_valid_key(key) || !key_path(key, path)) return -1;
    // O_NOFOLLOW: a symlink planted in the store must not redirect a read; O_NONBLOCK: a FIFO
    // must not stall the caller (it is then refused as not a regular file).
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    char raw[PROPERTY_VALUE_MAX];
    ssize_t len = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= PROPERTY_VALUE_MAX) {
        len = 0;
        while (len < static_cast<ssize_t>(sizeof raw)) {
            ssize_t r = read(fd, raw + len, sizeof raw - len);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                len = -1;
                break;
            }
            if (r == 0) break;
            len += r;
        }
    }
    close(fd);
    if (len > 0 && raw[len - 1] == '\n') --len;
    if (len <= 0 || len >= PROPERTY_VALUE_MAX) return -1;
    memcpy(text, raw, len);
    text[len] = '\0';
    // A NUL inside the file ends the value, as it would end any C text.
    return static_cast<int>(strlen(text));
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
    int err = 0;
    if (fchmod(fd, 0644) != 0 || !write_all(fd, value, len) || fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && rename(tmp, path) != 0) err = errno;
    if (err != 0) {
        unlink(tmp);
        return -err;
    }
    // The rename itself reaches the disk only with the directory.
    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        if (fsync(dfd) != 0) err = errno;
        close(dfd);
    }
    return err != 0 ? -err : 0;
}
