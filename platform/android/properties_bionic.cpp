// The property interface over bionic, for NDK builds: the NDK ships no libcutils, but bionic
// exports the two calls that libcutils wraps (both in the NDK's <sys/system_properties.h> and
// libc.so at API 17).

#include <cutils/properties.h>
#include <errno.h>
#include <string.h>
#include <sys/system_properties.h>

// The service's buffers are sized with our header's limits; bionic writes up to its own.
static_assert(PROP_VALUE_MAX == PROPERTY_VALUE_MAX, "value limit differs from bionic's");
#ifdef PROP_NAME_MAX  // kept in newer headers only for compatibility
static_assert(PROP_NAME_MAX == PROPERTY_KEY_MAX, "key limit differs from bionic's");
#endif

extern "C" int property_get(const char* key, char* value, const char* default_value) {
    const int len = __system_property_get(key, value);
    if (len > 0) return len;
    // Unset or empty: the default, cut to the limit, as libcutils does.
    if (default_value == nullptr) default_value = "";
    const size_t n = strnlen(default_value, PROPERTY_VALUE_MAX - 1);
    memcpy(value, default_value, n);
    value[n] = '\0';
    return static_cast<int>(n);
}

extern "C" int property_set(const char* key, const char* value) {
    // bionic reports only success or failure (the reason stays with init). init may also drop a
    // write it does not permit and still answer success: the caller's user decides, not this call.
    return __system_property_set(key, value != nullptr ? value : "") == 0 ? 0 : -EIO;
}
