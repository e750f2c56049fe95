// hdmi-preview-prop: reads and writes the host property store, in the habit of Android's getprop
// and setprop. Each failure is one line on standard error naming the key and the cause. Exit
// status: 0 done, 1 failed, 2 usage error.

#include <cutils/properties.h>
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "property_store.h"

#ifndef HDMI_PREVIEW_VERSION
#error "HDMI_PREVIEW_VERSION must hold the project's version"
#endif

namespace {

constexpr const char* kTool = "hdmi-preview-prop";
// The service's trigger (loopback.h); the tool links the store alone.
constexpr const char* kTrigger = "persist.audio.hdmi.preview";

void print_usage(FILE* to) {
    fprintf(to,
            "usage: %s get KEY [DEFAULT]\n"
            "       %s set KEY VALUE\n"
            "       %s list\n"
            "       %s store\n"
            "       %s acknowledge\n"
            "       %s --help | --version\n",
            kTool, kTool, kTool, kTool, kTool, kTool);
}

int usage() {
    print_usage(stderr);
    return 2;
}

int help() {
    print_usage(stdout);
    printf(
        "\n"
        "get          print KEY's value, or DEFAULT (else an empty line) when it is unset\n"
        "set          store VALUE under KEY; creates a missing store directory (one level)\n"
        "list         print every property as [KEY]: [VALUE]\n"
        "store        print the store's directory\n"
        "acknowledge  write 2 into %s if it reads 1, as the service does after a run\n"
        "\n"
        "The store is $HDMI_PREVIEW_PROPERTY_DIR when set, else %s.\n"
        "Exit status: 0 done, 1 failed, 2 usage error.\n",
        kTrigger, HDMI_PREVIEW_PROPERTY_DIR_DEFAULT);
    return 0;
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
    const std::string dir = property_store::directory();
    int err = property_set(key, value);
    if (err == -ENOENT) {
        // A fresh store works without a mkdir first. One level only: a missing parent is more
        // likely a typing error than a wish. The mode is set apart from the umask, since every
        // user must be able to read the store.
        if (mkdir(dir.c_str(), 0755) == 0) {
            err = chmod(dir.c_str(), 0755) == 0 ? property_set(key, value) : -errno;
        } else if (errno != EEXIST) {
            err = -errno;
        }
    }
    if (err != 0) {
        fprintf(stderr, "%s: cannot set '%s' in %s: %s\n", kTool, key, dir.c_str(), strerror(-err));
        return 1;
    }
    return 0;
}

// Run by the service manager once the service has ended: a trigger that still reads 1, as the
// service reads it (atoi), would start a preview at the service's next start, so it gets the "2"
// the service writes after every run. Any other value is left alone.
int acknowledge() {
    char value[PROPERTY_VALUE_MAX];
    property_get(kTrigger, value, "0");
    if (atoi(value) != 1) return 0;
    int err = property_set(kTrigger, "2");
    if (err != 0) {
        fprintf(stderr, "%s: cannot set '%s' in %s: %s\n", kTool, kTrigger,
                property_store::directory().c_str(), strerror(-err));
        return 1;
    }
    printf("%s: '%s' read '%s' after the service ended: wrote 2\n", kTool, kTrigger, value);
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
    if (argc == 2) {
        const char* verb = argv[1];
        if (strcmp(verb, "list") == 0) return list();
        if (strcmp(verb, "store") == 0) return puts(property_store::directory().c_str()) < 0;
        if (strcmp(verb, "acknowledge") == 0) return acknowledge();
        if (strcmp(verb, "--help") == 0 || strcmp(verb, "-h") == 0) return help();
        if (strcmp(verb, "--version") == 0) {
            printf("%s %s\n", kTool, HDMI_PREVIEW_VERSION);
            return 0;
        }
    }
    return usage();
}
