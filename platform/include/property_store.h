#pragma once

// What the host property store offers beyond the libcutils interface: its location, the rules
// for keys and values with the cause of a refusal, and a read that reports its failure, for the
// command-line tool and the tests.

#include <string>

namespace property_store {

// The store's directory: HDMI_PREVIEW_PROPERTY_DIR when set and not empty, else the build's
// default. Read anew at every call.
std::string directory();

// Why `key` cannot name a property, or nullptr when it can. A key has 1 to PROPERTY_KEY_MAX - 1
// characters from A-Z a-z 0-9 . _ - : @ and does not start with '.', so it can neither leave the
// store's directory nor hide in it. The text names the cause in a few words ("key is empty").
const char* key_fault(const char* key);
inline bool is_valid_key(const char* key) { return key_fault(key) == nullptr; }

// Why `value` cannot be stored, or nullptr when it can: a value has fewer than
// PROPERTY_VALUE_MAX characters, no newline (the store keeps one line per key) and no other
// control character.
const char* value_fault(const char* value);

// Reads `key` into `value` (PROPERTY_VALUE_MAX bytes) as property_get does, but answers a failed
// read with its cause instead of a value. Returns the value's length; 0 when the key holds no
// value (no file, an empty one, a symlink, a special or over-long file); or a negative errno when
// the file could not be read for a cause that may pass (EMFILE, ENFILE, EIO, EINTR, ENOMEM).
// `value` is "" but for a value.
int read(const char* key, char* value);

}  // namespace property_store
