#pragma once

// What the host property store offers beyond the libcutils interface: its location and the rules
// for keys and values, with the cause of a refusal, for the command-line tool and the tests.

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
// PROPERTY_VALUE_MAX characters and no newline (the store keeps one line per key).
const char* value_fault(const char* value);

}  // namespace property_store
