#include "resampler_samplerate.h"

#include <samplerate.h>
#include <stdlib.h>

#include <algorithm>
#include <new>

namespace {

// libsamplerate converts floats: the block is converted on the way in and out, in buffers sized
// once for the largest block.
struct samplerate_resampler {
    SRC_STATE* state = nullptr;
    uint32_t channels = 0;
    uint32_t max_in_frames = 0;
    uint32_t out_capacity = 0;  // frames
    float* in = nullptr;
    float* out = nullptr;
    double ratio = 1.0;
};

samplerate_resampler* self(struct resampler* r) {
    return reinterpret_cast<samplerate_resampler*>(r);
}

// The largest ratio a caller may ask for: a 32 kHz capture played at 48 kHz, with twice the drift
// compensation's clamp.
constexpr double kMaxRatio = 1.51;

void samplerate_destroy(struct resampler* handle) {
    samplerate_resampler* r = self(handle);
    if (r == nullptr) return;
    if (r->state != nullptr) src_delete(r->state);
    free(r->in);
    free(r->out);
    delete r;
}

struct resampler* samplerate_create(uint32_t channels, uint32_t /*rate*/, uint32_t max_in_frames) {
    if (channels == 0 || max_in_frames == 0) return nullptr;
    samplerate_resampler* r = new (std::nothrow) samplerate_resampler;
    if (r == nullptr) return nullptr;
    r->channels = channels;
    r->max_in_frames = max_in_frames;
    r->out_capacity = static_cast<uint32_t>(max_in_frames * kMaxRatio) + 16;
    r->in = static_cast<float*>(malloc(size_t{max_in_frames} * channels * sizeof(float)));
    r->out = static_cast<float*>(malloc(size_t{r->out_capacity} * channels * sizeof(float)));
    int err = 0;
    r->state = src_new(SRC_SINC_FASTEST, static_cast<int>(channels), &err);
    if (r->in == nullptr || r->out == nullptr || r->state == nullptr) {
        samplerate_destroy(reinterpret_cast<struct resampler*>(r));
        return nullptr;
    }
    return reinterpret_cast<struct resampler*>(r);
}

double samplerate_set_ratio(struct resampler* handle, double ratio) {
    samplerate_resampler* r = self(handle);
    if (src_is_valid_ratio(ratio) == 0) return -1;
    r->ratio = ratio;
    return ratio;
}

int samplerate_process(struct resampler* handle, const int16_t* in, uint32_t in_frames,
                       int16_t* out, uint32_t out_capacity) {
    samplerate_resampler* r = self(handle);
    if (in_frames > r->max_in_frames) return -1;
    src_short_to_float_array(in, r->in, static_cast<int>(in_frames * r->channels));
    SRC_DATA data = {};
    data.data_in = r->in;
    data.data_out = r->out;
    data.input_frames = in_frames;
    // Room for the block at the ratio asked, and no more whatever the buffers hold: libsamplerate
    // moves to a new ratio linearly over the room it is given, so more room would leave part of
    // the change to the next block.
    const uint32_t wanted = static_cast<uint32_t>(in_frames * r->ratio * 1.01) + 16;
    data.output_frames = std::min({wanted, r->out_capacity, out_capacity});
    data.src_ratio = r->ratio;
    if (src_process(r->state, &data) != 0) return -1;
    const int frames = static_cast<int>(data.output_frames_gen);
    src_float_to_short_array(r->out, out, frames * static_cast<int>(r->channels));
    return frames;
}

}  // namespace

const struct resampler_backend resampler_samplerate = {
    "samplerate", samplerate_create,  samplerate_destroy, samplerate_set_ratio,
    0.0,          samplerate_process,
};
