// hdmi-preview-prop: reads and writes the host property store, in the habit of Android's getprop
// and setprop. Each failure is one line on standard error naming the key and the cause.

#include <cutils/properties.h>
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "property_store.h"

namespace {

constexpr const char* kTool = "hdmi-preview-prop";

int usage() {
    fprintf(stderr,
            "usage: %s get KEY [DEFAULT]\n"
            "       %s set KEY VALUE\n"
            "       %s list\n",
            kTool, kTool, kTool);
    return 2;
}

int get(const char* key, const char* default_value) {
    if (const char* cause = property_store::key_fault(key)) {
        fprintf(stderr, "%s: cannot get '%s': %s\n", kTool, key, cause);
        return 1;
    }
    char value[PROPERTY_VALUE_MAX];
    property_get(key, value, default_value);
    printf("%s\n", value);
    return 0;
}

int set(const char* key, const char* value) {
    // The store refuses both alike (EINVAL); it tells the cause apart for this message.
    const char* cause = property_store::key_fault(key);
    if (cause == nullptr) cause = property_store::value_fault(value);
    if (cause != nullptr) {
        fprintf(stderr, "%s: cannot set '%s': %s\n", kTool, key, cause);
        return 1;
    }
    int err = property_set(key, value);
    if (err != 0) {
        fprintf(stderr, "%s: cannot set '%s' in %s: %s\n", kTool, key,
                property_store::directory().c_str(), strerror(-err));
        return 1;
    }
    return 0;
}

int list() {
    std::string dir = property_store::directory();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        fprintf(stderr, "%s: cannot list %s: %s\n", kTool, dir.c_str(), strerror(errno));
        return 1;
    }
    std::vector<std::string> keys;
    while (const struct dirent* e = readdir(d)) {
        if (property_store::is_valid_key(e->d_name)) keys.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(keys.begin(), keys.end());
    for (const std::string& key : keys) {
        char value[PROPERTY_VALUE_MAX];
        // Files that hold no usable value (temporary files are already skipped by their name)
        // read as unset and are not listed.
        if (property_get(key.c_str(), value, "") > 0) printf("[%s]: [%s]\n", key.c_str(), value);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "get") == 0 && (argc == 3 || argc == 4)) {
        return get(argv[2], argc == 4 ? argv[3] : "");
    }
    if (argc == 4 && strcmp(argv[1], "set") == 0) return set(argv[2], argv[3]);
    if (argc == 2 && strcmp(argv[1], "list") == 0) return list();
    return usage();
}
