#include "virtual_rig.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "gtest/gtest.h"

namespace {

size_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

}  // namespace

Samples ramp(size_t frames) {
    Samples out(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        out[2 * i] = static_cast<int16_t>(static_cast<uint16_t>(i * 7 + 0x8000));
        out[2 * i + 1] = static_cast<int16_t>(static_cast<uint16_t>(0x7fff - i * 5));
    }
    return out;
}

Samples pseudo_random(size_t frames) {
    std::mt19937 engine(20240607);
    std::uniform_int_distribution<int> dist(INT16_MIN, INT16_MAX);
    Samples out(frames * 2);
    for (int16_t& s : out) s = static_cast<int16_t>(dist(engine));
    return out;
}

Samples read_samples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Samples out(bytes.size() / 2);
    std::copy_n(bytes.data(), out.size() * 2, reinterpret_cast<char*>(out.data()));
    return out;
}

void write_samples(const std::string& path, const Samples& samples) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * 2));
}

VirtualRig::VirtualRig() : store_(dir_.path() + "/store") { mkdir(store_.c_str(), 0755); }

void VirtualRig::set_input(const Samples& samples) {
    write_samples(dir_.path() + "/card0-capture.raw", samples);
}

void VirtualRig::start(bool merge_output) {
    std::vector<std::string> env = {
        "HDMI_PREVIEW_PROPERTY_DIR=" + store_,
        "HDMI_PREVIEW_VCARD_DIR=" + dir_.path(),
        "HDMI_PREVIEW_VCARD_PLUGIN=" VCARD_PLUGIN,
        "ALSA_CONFIG_PATH=" ALSA_STOCK_CONF ":" VCARD_CONF,
        // Whatever the runner's environment says, the cards start healthy.
        "HDMI_PREVIEW_VCARD0_ABSENT=0",
        "HDMI_PREVIEW_VCARD1_ABSENT=0",
        "HDMI_PREVIEW_VCARD0_FAIL_AFTER=-1",
        "HDMI_PREVIEW_VCARD1_FAIL_AFTER=-1",
        "HDMI_PREVIEW_VCARD0_PPM=0",
        "HDMI_PREVIEW_VCARD1_PPM=0",
        "HDMI_PREVIEW_VCARD0_RATE=48000",
        "HDMI_PREVIEW_VCARD1_RATE=48000",
    };
    env.insert(env.end(), extra_env_.begin(), extra_env_.end());
    ASSERT_TRUE(service_.start(SERVICE_BINARY, env, merge_output)) << service_.error();
}

void VirtualRig::set_trigger(const std::string& value) {
    ASSERT_TRUE(write_property(store_, kTrigger, value));
}

void VirtualRig::set_level(const std::string& value) {
    ASSERT_TRUE(write_property(store_, kLevel, value));
}

std::string VirtualRig::trigger() const { return read_property(store_, kTrigger); }

Samples VirtualRig::played() const { return read_samples(dir_.path() + "/card1-playback.raw"); }

Samples VirtualRig::delivered() const {
    return read_samples(dir_.path() + "/card0-capture-copy.raw");
}

size_t VirtualRig::played_bytes() const { return file_size(dir_.path() + "/card1-playback.raw"); }

size_t VirtualRig::delivered_bytes() const {
    return file_size(dir_.path() + "/card0-capture-copy.raw");
}

bool VirtualRig::wait_played_blocks(size_t blocks, std::chrono::milliseconds timeout) const {
    return eventually([&] { return played_bytes() >= blocks * kBlockBytes; }, timeout);
}

bool VirtualRig::wait_interrupt_handler(std::chrono::milliseconds timeout) const {
    const std::string status = "/proc/" + std::to_string(service_.pid()) + "/status";
    return eventually(
        [&] {
            std::ifstream in(status);
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("SigCgt:", 0) != 0) continue;
                const unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
                return (caught & (1ull << (SIGINT - 1))) != 0;
            }
            return false;
        },
        timeout);
}

::testing::AssertionResult same_samples(const Samples& expected, const Samples& actual) {
    if (expected.size() != actual.size()) {
        return ::testing::AssertionFailure()
               << "sizes differ: expected " << expected.size() << " samples, got " << actual.size();
    }
    const auto diff = std::mismatch(expected.begin(), expected.end(), actual.begin());
    if (diff.first == expected.end()) return ::testing::AssertionSuccess();
    const size_t at = static_cast<size_t>(diff.first - expected.begin());
    return ::testing::AssertionFailure()
           << "first difference in block " << at / kBlockSamples << ", sample "
           << at % kBlockSamples << ": expected " << *diff.first << ", got " << *diff.second;
}
