// Figures of the real service on the virtual cards, printed, never asserted: how fast it reacts
// to the trigger, and the CPU time it takes per second of audio. Run by hand:
//   build/bench/virtual_card_figures [cycles] [seconds of audio]

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "virtual_rig.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

constexpr auto kDeadline = 10s;

// CPU time, user plus system, of the children reaped so far, in seconds.
double children_cpu_seconds() {
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Ends the service and returns the CPU time it used over its whole life.
bool reap(VirtualRig& rig, double* cpu) {
    const double before = children_cpu_seconds();
    rig.service().send_signal(SIGTERM);
    int status;
    if (!rig.service().wait_exit(kDeadline, &status)) return false;
    *cpu = children_cpu_seconds() - before;
    return true;
}

void print_stats(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    printf("%-34s n=%zu min=%.1f median=%.1f max=%.1f ms\n", what, ms.size(), ms.front(),
           ms[ms.size() / 2], ms.back());
}

const OutputLine* last_line(const ServiceProcess& service, const std::string& text) {
    const OutputLine* found = nullptr;
    for (const OutputLine& line : service.lines()) {
        if (line.text == text) found = &line;
    }
    return found;
}

bool reaction_times(int cycles) {
    VirtualRig rig;
    rig.set_input(pseudo_random(48000));
    rig.set_level("7");
    rig.start();
    ServiceProcess& service = rig.service();
    if (!rig.wait_interrupt_handler(kDeadline)) return false;

    // The trigger is written at a random moment of the service's 50 ms poll period.
    std::mt19937 engine(1);
    std::uniform_int_distribution<int> phase_us(0, 60000);
    std::vector<double> start_ms, audio_ms, stop_ms;
    for (int i = 0; i < cycles; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(phase_us(engine)));
        const size_t before = rig.played_bytes();
        const auto start = Clock::now();
        rig.set_trigger("1");
        if (!service.wait_for_line(Stream::kOut, kCapturingLine, kDeadline, i)) return false;
        start_ms.push_back(Ms(last_line(service, kCapturingLine)->arrival - start).count());
        if (!eventually([&] { return rig.played_bytes() > before; }, kDeadline)) return false;
        audio_ms.push_back(Ms(Clock::now() - start).count());
        if (!rig.wait_played_blocks(before / kBlockBytes + 4, kDeadline)) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(phase_us(engine) / 3));
        const auto stop = Clock::now();
        rig.set_trigger("0");
        if (!service.wait_for_line(Stream::kOut, "prop exit", kDeadline, i)) return false;
        const OutputLine* line =
            last_line(service, captured_line(rig.played_bytes() / 4 - before / 4));
        if (line == nullptr) return false;
        stop_ms.push_back(Ms(line->arrival - stop).count());
    }
    print_stats("trigger 1 -> capturing line", start_ms);
    print_stats("trigger 1 -> first audio played", audio_ms);
    print_stats("trigger 0 -> Captured line", stop_ms);
    double cpu;
    return reap(rig, &cpu);
}

bool cpu_time(int seconds) {
    double idle_cpu, run_cpu;
    {
        VirtualRig rig;
        rig.start();
        if (!rig.wait_interrupt_handler(kDeadline)) return false;
        std::this_thread::sleep_for(std::chrono::seconds(seconds));  // the span measured
        if (!reap(rig, &idle_cpu)) return false;
    }
    VirtualRig rig;
    rig.set_input(pseudo_random(static_cast<size_t>(seconds + 2) * 48000));
    rig.set_level("3");
    rig.start();
    rig.set_trigger("1");
    const auto start = Clock::now();
    if (!rig.wait_played_blocks(static_cast<size_t>(seconds) * 48000 / kBlockFrames,
                                std::chrono::seconds(seconds * 2))) {
        return false;
    }
    rig.set_trigger("0");
    if (!rig.service().wait_for_line(Stream::kOut, "prop exit", kDeadline)) return false;
    const double life = std::chrono::duration<double>(Clock::now() - start).count();
    if (!reap(rig, &run_cpu)) return false;
    const double audio = static_cast<double>(rig.played_bytes()) / 4 / 48000;
    printf("idle: %.1f ms CPU in %d s, %.3f ms per second\n", 1000 * idle_cpu, seconds,
           1000 * idle_cpu / seconds);
    printf(
        "streaming: %.2f s of audio in %.2f s of life, %.1f ms CPU, %.3f ms per second of "
        "audio (%.3f%% of one core)\n",
        audio, life, 1000 * run_cpu, 1000 * run_cpu / audio, 100 * run_cpu / audio);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? atoi(argv[1]) : 20;
    const int seconds = argc > 2 ? atoi(argv[2]) : 10;
    if (cycles < 1 || seconds < 1) {
        fprintf(stderr, "usage: %s [cycles] [seconds of audio]\n", argv[0]);
        return 2;
    }
    if (!reaction_times(cycles) || !cpu_time(seconds)) {
        fprintf(stderr, "a step did not complete in time\n");
        return 1;
    }
    return 0;
}
