#include "guest_rig.h"

#include <cutils/properties.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>

#include "protocol_lines.h"

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds ms(double seconds) {
    return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

std::string vformat(const char* fmt, va_list ap) {
    char text[512];
    vsnprintf(text, sizeof text, fmt, ap);
    return text;
}

// "[  12.345678] host hdmi-preview-audio[123]: text" becomes the text at 12.345678 s; lines
// logged before `since` are dropped. The journal merges standard output and error.
bool from_journal(OutputLine* line, double since) {
    const std::string& t = line->text;
    const size_t close = t.find("] ");
    const size_t colon = close == std::string::npos ? close : t.find("]: ", close + 2);
    if (t.empty() || t[0] != '[' || colon == std::string::npos) return false;
    const double time = strtod(t.c_str() + 1, nullptr);
    line->arrival = Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(time)));
    line->text = t.substr(colon + 3);
    line->stream = Stream::kOut;
    return time >= since;
}

}  // namespace

GuestConfig& guest_config() {
    static GuestConfig config;
    return config;
}

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vformat(fmt, ap);
    va_end(ap);
    return text;
}

void figure(const char* name, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = vformat(fmt, ap);
    va_end(ap);
    printf("SYSTEST FIGURE %s: %s\n", name, text.c_str());
    fflush(stdout);
}

bool set_prop(const char* key, const std::string& value, std::string* error) {
    bool done;
    if (!guest_config().installed()) {
        done = property_set(key, value.c_str()) == 0;
    } else {
        ServiceProcess tool;
        int status = 0;
        done = tool.start("hdmi-preview-prop", {}, true, {"set", key, value}) &&
               tool.wait_exit(std::chrono::seconds(10), &status) && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }
    if (!done && error != nullptr && error->empty()) {
        *error = format("cannot set %s to %s%s", key, value.c_str(),
                        guest_config().installed() ? " with hdmi-preview-prop" : "");
    }
    return done;
}

std::string get_prop(const char* key) {
    char v[PROPERTY_VALUE_MAX];
    property_get(key, v, "");
    return v;
}

bool start_service(ServiceProcess* service, std::string* err, const std::vector<std::string>& env) {
    bool started;
    if (!guest_config().installed()) {
        started = service->start(guest_config().service_binary, env);
    } else {
        // --since counts whole seconds of the wall clock: the second before is read too, and its
        // lines are dropped by their monotonic time.
        const double since = now();
        service->set_line_filter([since](OutputLine* line) { return from_journal(line, since); });
        started =
            service->start("journalctl", {}, false,
                           {"--follow", "--quiet", "--output=short-monotonic", "--lines=all",
                            format("--since=@%lld", static_cast<long long>(time(nullptr)) - 1),
                            "--unit=hdmi-preview-audio.service"});
    }
    if (!started) *err = service->error();
    return started;
}

void end_service(ServiceProcess* service) {
    int status;
    service->send_signal(SIGKILL);
    service->wait_exit(std::chrono::seconds(5), &status);
}

double seconds_at(const OutputLine& line) {
    return std::chrono::duration<double>(line.arrival.time_since_epoch()).count();
}

long wait_line(ServiceProcess* service, const std::string& text, double timeout, size_t from) {
    return service->wait_for_match([&](const OutputLine& line) { return line.text == text; },
                                   ms(timeout), from);
}

long wait_captured_line(ServiceProcess* service, double timeout, size_t from) {
    return service->wait_for_match(
        [](const OutputLine& line) { return parse_captured_line(line.text); }, ms(timeout), from);
}

void pause_reading(ServiceProcess* service, double seconds) { service->drain_for(ms(seconds)); }

double wait_prop(ServiceProcess* service, const char* key, const char* value, double timeout) {
    const double deadline = now() + timeout;
    for (;;) {
        if (get_prop(key) == value) return now();
        if (now() > deadline) return 0;
        service->drain_for(std::chrono::milliseconds(1));
    }
}

bool GuestRig::start(std::string* error) {
    return set_prop(kTriggerProperty, "0", error) && set_prop(kLevelProperty, "7", error) &&
           recorder.start(error, recorder_device) && player.start(error, player_device) &&
           start_service(&service, error, service_env);
}

void GuestRig::stop() {
    end_service(&service);
    player.stop();
    recorder.stop();
}
