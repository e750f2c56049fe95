#pragma once

// The real service on its own pair of virtual sound cards: a temporary folder holding the property
// store and the cards' files, the environment that points alsa-lib and the service at them, and
// the test signals and raw files that the recorded audio is checked with.

#include <stdint.h>

#include <chrono>
#include <string>
#include <vector>

#include "gain_reference.h"
#include "gtest/gtest.h"
#include "protocol_lines.h"
#include "service_process.h"

// Set by the build for every user of the rig.
#ifndef SERVICE_BINARY
#error "SERVICE_BINARY must name the service executable"
#endif
#ifndef VCARD_PLUGIN
#error "VCARD_PLUGIN must name the virtual card plugin"
#endif
#ifndef VCARD_CONF
#error "VCARD_CONF must name the virtual cards' configuration"
#endif
#ifndef ALSA_STOCK_CONF
#error "ALSA_STOCK_CONF must name alsa-lib's own configuration"
#endif

// The protocol under the rig's shorter names.
inline constexpr auto& kTrigger = kTriggerProperty;
inline constexpr auto& kLevel = kLevelProperty;
inline const std::string kCapturingLine = capturing_line();

// One block of the service: 1024 stereo 16-bit frames.
inline constexpr size_t kBlockFrames = 1024;
inline constexpr size_t kBlockSamples = kBlockFrames * 2;
inline constexpr size_t kBlockBytes = kBlockSamples * 2;
inline constexpr double kBlockMs = 1000.0 * kBlockFrames / 48000;

using Samples = std::vector<int16_t>;

// Test signals, `frames` stereo frames long.
Samples ramp(size_t frames);           // every 16-bit value in turn, both channels offset
Samples pseudo_random(size_t frames);  // full-scale noise from a fixed seed

// The virtual cards' raw files: interleaved 16-bit samples, host byte order.
Samples read_samples(const std::string& path);  // empty when the file is missing
void write_samples(const std::string& path, const Samples& samples);

class VirtualRig {
  public:
    VirtualRig();

    // Extra environment for the service, e.g. "HDMI_PREVIEW_VCARD1_ABSENT=1".
    void add_env(const std::string& entry) { extra_env_.push_back(entry); }
    // What capture on card 0 delivers (silence after it).
    void set_input(const Samples& samples);
    void start(bool merge_output = false);

    ServiceProcess& service() { return service_; }
    const std::string& store() const { return store_; }

    void set_trigger(const std::string& value);
    void set_level(const std::string& value);
    std::string trigger() const;

    // What playback on card 1 was given, and what capture on card 0 delivered, so far.
    Samples played() const;
    Samples delivered() const;
    size_t played_bytes() const;
    size_t delivered_bytes() const;

    // Waits until at least `blocks` blocks have been played.
    bool wait_played_blocks(size_t blocks, std::chrono::milliseconds timeout) const;
    // Waits until the service has installed its SIGINT handler.
    bool wait_interrupt_handler(std::chrono::milliseconds timeout) const;

  private:
    TempDir dir_;
    std::string store_;
    std::vector<std::string> extra_env_;
    ServiceProcess service_;
};

// Compares `actual` with `expected` and describes the first difference (block, sample, values).
::testing::AssertionResult same_samples(const Samples& expected, const Samples& actual);
