#pragma once

// What the host property store offers beyond the libcutils interface: its location and key
// rules, for the command-line tool and the tests.

#include <string>

namespace property_store {

// The store's directory: HDMI_PREVIEW_PROPERTY_DIR when set and not empty, else the build's
// default. Read anew at every call.
std::string directory();

// True when `c` may stand in a key: A-Z a-z 0-9 . _ - : @
bool is_key_char(char c);

// True when `key` may name a property: 1 to PROPERTY_KEY_MAX - 1 characters from
// A-Z a-z 0-9 . _ - : @, not starting with '.' (so it can neither leave the store's directory
// nor hide in it).
bool is_valid_key(const char* key);

}  // namespace property_store
