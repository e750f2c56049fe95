// Figures of the drift compensation against simulated clocks (tests/unit/drift_simulation.h), per
// resampler built in: how far the playback queue strays, when it settles, how well the ratio
// matches the offset, how often a stepped ratio changes, and the signal to noise of a sine through
// it (1 kHz, 4 kHz, and 15 kHz with its level against the input's, which a short filter takes
// down). With a folder, also writes what was played from 5 s on (2^18 frames, stereo S16_LE WAV)
// for each backend at +300 and -300 ppm with each tone, for alsabat:
//     drift_figures [WAV_FOLDER]
//     alsabat --local --file=WAV_FOLDER/speex-q1+300ppm-4000hz.wav -F 3998.8 --snr-db=60

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "drift_simulation.h"

namespace {

using drift_simulation::kBackends;
using drift_simulation::kBlock;
using drift_simulation::kRate;

constexpr int kBlocks = 800;         // 17 s
constexpr int kSettledBlocks = 235;  // 5 s
constexpr size_t kWavFrames = 1 << 18;
constexpr double kJitter = 2;

bool write_wav(const std::string& path, const int16_t* frames, size_t count) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        fprintf(stderr, "%s: cannot create (%s)\n", path.c_str(), strerror(errno));
        return false;
    }
    const uint32_t data = static_cast<uint32_t>(count * 4);
    auto u32 = [f](uint32_t v) { fwrite(&v, 4, 1, f); };
    auto u16 = [f](uint16_t v) { fwrite(&v, 2, 1, f); };
    fwrite("RIFF", 1, 4, f);
    u32(36 + data);
    fwrite("WAVEfmt ", 1, 8, f);
    u32(16);
    u16(1);  // PCM
    u16(2);
    u32(kRate);
    u32(kRate * 4);
    u16(4);
    u16(16);
    fwrite("data", 1, 4, f);
    u32(data);
    fwrite(frames, 4, count, f);
    const bool ok = ferror(f) == 0;
    if (fclose(f) != 0 || !ok) {
        fprintf(stderr, "%s: cannot write (%s)\n", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* folder = argc > 1 ? argv[1] : nullptr;
    // The folder is made when missing (not its parents), so the WAVs have somewhere to go.
    if (folder != nullptr && mkdir(folder, 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "%s: cannot create folder (%s)\n", folder, strerror(errno));
        return 1;
    }
    printf("%-10s %6s | %9s %9s %8s %8s | %9s %9s %8s | %7s %7s %7s %7s\n", "backend", "ppm",
           "min queue", "peak >5s", "in 96 at", "in 8 at", "ratio err", "mean err", "changes",
           "1k dB", "4k dB", "15k dB", "15k lvl");
    int status = 0;
    for (const struct resampler_backend* backend : kBackends) {
        for (double ppm : {300.0, -300.0, 3000.0, -3000.0, 0.0}) {
            const drift_simulation::Run run =
                drift_simulation::simulate(backend, ppm, kBlocks, kJitter, 1000);
            if (!run.created) {
                fprintf(stderr, "%s: the compensation could not be set up\n", backend->name);
                return 1;
            }
            // The last block at which the queue was farther off than 96 and 8 frames.
            double settled96 = 0, settled8 = 0;
            for (size_t b = 2; b < run.queue.size(); ++b) {
                const double deviation = fabs(run.queue[b] - run.set_point);
                if (deviation > 96) settled96 = (b + 1) * kBlock / static_cast<double>(kRate);
                if (deviation > 8) settled8 = (b + 1) * kBlock / static_cast<double>(kRate);
            }
            // Over the last 5 s: the largest and the mean distance of the ratio from the one that
            // holds the queue, and how many times it changed.
            double max_error = 0, sum = 0;
            int changes = 0;
            for (size_t b = run.ratio.size() - kSettledBlocks; b < run.ratio.size(); ++b) {
                max_error = std::max(max_error, fabs(run.ratio[b] - 1 - ppm * 1e-6));
                sum += run.ratio[b];
                if (run.ratio[b] != run.ratio[b - 1]) ++changes;
            }
            const double mean_error = sum / kSettledBlocks - 1 - ppm * 1e-6;
            constexpr int kTones = 3;
            double snr[kTones] = {};
            double level_db = 0;  // of the last tone, against the input's
            const double tones[kTones] = {1000, 4000, 15000};
            for (int t = 0; t < kTones; ++t) {
                const drift_simulation::Run tone = drift_simulation::simulate(
                    backend, ppm, kSettledBlocks + kWavFrames / kBlock + 8, kJitter, tones[t],
                    true);
                // From 5 s on; the played frames run a little ahead of or behind the captured.
                const size_t from = size_t{kSettledBlocks} * kBlock;
                const double cycles = tones[t] / (kRate * (1 + ppm * 1e-6));
                const int16_t* start = tone.played.data() + 2 * from;
                snr[t] = drift_simulation::snr_db(start, kWavFrames, cycles);
                level_db = drift_simulation::level_db(start, kWavFrames);
                if (folder != nullptr && (ppm == 300 || ppm == -300)) {
                    char name[96];
                    snprintf(name, sizeof name, "/%s%+.0fppm-%.0fhz.wav", backend->name, ppm,
                             tones[t]);
                    if (!write_wav(folder + std::string(name), start, kWavFrames)) status = 1;
                }
            }
            printf(
                "%-10s %+6.0f | %9.1f %9.1f %7.2fs %7.2fs | %7.2fppm %6.2fppm %8d | %7.1f %7.1f "
                "%7.1f %+7.2f\n",
                backend->name, ppm, run.min_queue, drift_simulation::peak_deviation(run, 235),
                settled96, settled8, max_error * 1e6, mean_error * 1e6, changes, snr[0], snr[1],
                snr[2], level_db);
        }
    }
    return status;
}
