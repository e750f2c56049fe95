#pragma once

// Host stand-in for Android's system-property interface (libcutils at API 17). The service code
// includes it exactly as it includes the platform's own header on a device.
//
// The host store is a directory with one file per key, holding the value as text. Its path is
// fixed at build time and the environment variable HDMI_PREVIEW_PROPERTY_DIR overrides it.

#ifdef __cplusplus
extern "C" {
#endif

// Both limits count the terminating NUL: a key has at most 31 characters, a value at most 91.
#define PROPERTY_KEY_MAX 32
#define PROPERTY_VALUE_MAX 92

// Copies the value of `key` into `value`, which must hold PROPERTY_VALUE_MAX bytes, terminated,
// and returns its length in bytes. When the property is unset, empty or unreadable (a missing
// file, a symlink, a special file, a value longer than the maximum), copies `default_value`
// instead (NULL counts as the empty text), cut to the maximum, and returns its length. A read
// that fails for a passing cause (EMFILE, ENFILE, EIO, EINTR, ENOMEM) is not "unset": the last
// value this thread read of the key stands (the default when there is none), and the failure is
// reported on standard error once per cause. One trailing newline of the stored text is not part
// of the value. Never writes more than PROPERTY_VALUE_MAX bytes.
int property_get(const char* key, char* value, const char* default_value);

// Stores `value` under `key`. Returns 0 on success, a negative errno value on failure: -EINVAL
// for a key that is empty, of PROPERTY_KEY_MAX characters or more, starts with '.', or holds a
// character outside A-Z a-z 0-9 . _ - : @; -EINVAL for a value of PROPERTY_VALUE_MAX characters
// or more or one that holds a newline or another control character; otherwise the errno of the
// failed file operation. The
// value is written to a temporary file in the store, synced and renamed into place, so a reader
// sees the old value or the new one, never part of one, and the new one survives a power loss.
int property_set(const char* key, const char* value);

#ifdef __cplusplus
}
#endif
