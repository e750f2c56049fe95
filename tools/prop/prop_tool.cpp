// hdmi-preview-prop: reads and writes the host property store, in the habit of Android's getprop
// and setprop. Each failure is one line on standard error naming the key and the cause, a failed
// write to standard output included. Exit status: 0 done, 1 failed, 2 usage error.

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
#include "protocol.h"

#ifndef HDMI_PREVIEW_VERSION
#error "HDMI_PREVIEW_VERSION must hold the project's version"
#endif

namespace {

constexpr const char* kTool = "hdmi-preview-prop";

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

// A usage error: one line naming the fault, then the usage, on standard error.
int usage(const std::string& fault) {
    fprintf(stderr, "%s: %s\n", kTool, fault.c_str());
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
        "acknowledge  write %s into %s if it reads 1, as the service does after a run\n"
        "\n"
        "The store is $HDMI_PREVIEW_PROPERTY_DIR when set, else %s.\n"
        "Exit status: 0 done, 1 failed, 2 usage error.\n",
        kAcknowledgement, kTriggerProperty, HDMI_PREVIEW_PROPERTY_DIR_DEFAULT);
    return 0;
}

// One line naming the key, the store and the cause of a failed read.
int read_failed(const char* key, int err) {
    fprintf(stderr, "%s: cannot get '%s' in %s: %s\n", kTool, key,
            property_store::directory().c_str(), strerror(-err));
    return 1;
}

int get(const char* key, const char* default_value) {
    if (const char* cause = property_store::key_fault(key)) {
        fprintf(stderr, "%s: cannot get '%s': %s\n", kTool, key, cause);
        return 1;
    }
    char value[PROPERTY_VALUE_MAX];
    const int len = property_store::read(key, value);
    if (len < 0) return read_failed(key, len);
    printf("%s\n", len > 0 ? value : default_value);
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

// Run by the service manager once the service has ended: a trigger that still asks for a preview
// would start one at the service's next start, so it gets the "2" the service writes after every
// run. Any other value is left alone.
int acknowledge() {
    char value[PROPERTY_VALUE_MAX];
    const int len = property_store::read(kTriggerProperty, value);
    if (len < 0) return read_failed(kTriggerProperty, len);
    if (!requests_preview(value)) return 0;
    int err = property_set(kTriggerProperty, kAcknowledgement);
    if (err != 0) {
        fprintf(stderr, "%s: cannot set '%s' in %s: %s\n", kTool, kTriggerProperty,
                property_store::directory().c_str(), strerror(-err));
        return 1;
    }
    printf("%s: '%s' read '%s' after the service ended: wrote %s\n", kTool, kTriggerProperty, value,
           kAcknowledgement);
    return 0;
}

// A value as list shows it: control characters (a file written by hand may hold them) as \xHH,
// so that listing the store cannot drive the terminal.
std::string shown(const char* value) {
    std::string out;
    for (const char* c = value; *c != '\0'; ++c) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if (u < 0x20 || u == 0x7f) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out += *c;
        }
    }
    return out;
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
    int status = 0;
    for (const std::string& key : keys) {
        char value[PROPERTY_VALUE_MAX];
        // Files that hold no usable value (temporary files are already skipped by their name)
        // read as unset and are not listed.
        const int len = property_store::read(key.c_str(), value);
        if (len < 0) status = read_failed(key.c_str(), len);
        if (len > 0) printf("[%s]: [%s]\n", key.c_str(), shown(value).c_str());
    }
    return status;
}

// The command line: a verb and its arguments.
struct Verb {
    const char* name;
    int min_args;
    int max_args;
    const char* takes;  // for the usage error
};
constexpr Verb kVerbs[] = {
    {"get", 1, 2, "KEY [DEFAULT]"}, {"set", 2, 2, "KEY VALUE"},       {"list", 0, 0, "nothing"},
    {"store", 0, 0, "nothing"},     {"acknowledge", 0, 0, "nothing"}, {"--help", 0, 0, "nothing"},
    {"-h", 0, 0, "nothing"},        {"--version", 0, 0, "nothing"},
};

int run(int argc, char** argv) {
    if (argc < 2) return usage("no command given");
    const char* verb = argv[1];
    const int args = argc - 2;
    const Verb* v = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                 [&](const Verb& k) { return strcmp(k.name, verb) == 0; });
    if (v == std::end(kVerbs)) return usage(std::string("unknown command '") + verb + "'");
    if (args < v->min_args || args > v->max_args) {
        return usage(std::string(verb) + " takes " + v->takes);
    }
    if (strcmp(verb, "get") == 0) return get(argv[2], args == 2 ? argv[3] : "");
    if (strcmp(verb, "set") == 0) return set(argv[2], argv[3]);
    if (strcmp(verb, "list") == 0) return list();
    if (strcmp(verb, "store") == 0) return puts(property_store::directory().c_str()) < 0;
    if (strcmp(verb, "acknowledge") == 0) return acknowledge();
    if (strcmp(verb, "--version") == 0) return printf("%s %s\n", kTool, HDMI_PREVIEW_VERSION) < 0;
    return help();
}

}  // namespace

int main(int argc, char** argv) {
    int status = run(argc, argv);
    // Output that did not reach its file (a full disk, a closed pipe) is a failure, not a success
    // with nothing printed.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: cannot write to standard output: %s\n", kTool, strerror(errno));
        status = 1;
    }
    if (fflush(stderr) != 0 || ferror(stderr)) status = 1;
    return status;
}
