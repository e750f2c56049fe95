#include "resampler_speex.h"

#include <math.h>
#include <speex/speex_resampler.h>

#include <new>

namespace {

// Quality 0 to 10 picks the filter's length: 8, 16, 32, 48, 64 taps per phase at 1:1 for 0 to 4.
// Android's builds take 3. Where the library interpolates its filter table (Debian's), each output
// sample costs four products per tap, and 1 is the cheapest that stays flat to 15 kHz (0 loses
// 1 dB there) with a 1 kHz or 4 kHz sine as clean as 16 bits carry it.
#ifndef HDMI_PREVIEW_SPEEX_QUALITY
#define HDMI_PREVIEW_SPEEX_QUALITY 3
#endif
static_assert(HDMI_PREVIEW_SPEEX_QUALITY >= 0 && HDMI_PREVIEW_SPEEX_QUALITY <= 10,
              "HDMI_PREVIEW_SPEEX_QUALITY must be 0 to 10");
// The ratio goes in as a fraction input/output = num / kDenominator, which the library reduces,
// so it moves in steps of 1/kDenominator. Each change rescales the filter's phase (a count below
// the old reduced denominator) to the new one, in 32 bits:
// - the denominator stays below 2^16, since 1.2.1, when that product overflows, refuses the change
//   halfway, with the phase past the new denominator and its step stale: reads outside its filter
//   table follow (a crash from about 120000, refused changes at 96000);
// - it is prime, so that no ratio but 1 reduces, and 1 itself is never asked for once running:
//   rescaled to a smaller denominator, the phase loses its fraction, a jump of up to a sample that
//   is heard as a click.
// 65521 (15.3 ppm steps) where the library interpolates its filter table. Android's
// libspeexresampler is built with the full table (RESAMPLE_FORCE_FULL_SINC_TABLE): 48 taps times
// the denominator, all computed again at every change of ratio, so the Android builds take 4093
// (244 ppm steps, a 393 KB table).
#ifndef HDMI_PREVIEW_SPEEX_DENOMINATOR
#define HDMI_PREVIEW_SPEEX_DENOMINATOR 65521
#endif
constexpr uint32_t kDenominator = HDMI_PREVIEW_SPEEX_DENOMINATOR;

constexpr bool is_prime(uint32_t n) {
    if (n < 2) return false;
    for (uint32_t d = 2; d * d <= n; ++d) {
        if (n % d == 0) return false;
    }
    return true;
}
static_assert(kDenominator < 65536 && is_prime(kDenominator),
              "HDMI_PREVIEW_SPEEX_DENOMINATOR must be a prime below 65536");

struct speex_resampler {
    SpeexResamplerState* state = nullptr;
    uint32_t rate = 0;
    uint32_t max_in_frames = 0;
    uint32_t num = kDenominator;  // in force
};

speex_resampler* self(struct resampler* r) { return reinterpret_cast<speex_resampler*>(r); }

void speex_destroy(struct resampler* handle) {
    speex_resampler* r = self(handle);
    if (r == nullptr) return;
    if (r->state != nullptr) speex_resampler_destroy(r->state);
    delete r;
}

template <int Quality>
struct resampler* speex_create(uint32_t channels, uint32_t rate, uint32_t max_in_frames) {
    if (channels == 0 || rate == 0 || max_in_frames == 0) return nullptr;
    speex_resampler* r = new (std::nothrow) speex_resampler;
    if (r == nullptr) return nullptr;
    r->rate = rate;
    r->max_in_frames = max_in_frames;
    int err = 0;
    r->state =
        speex_resampler_init_frac(channels, kDenominator, kDenominator, rate, rate, Quality, &err);
    if (r->state == nullptr) {
        speex_destroy(reinterpret_cast<struct resampler*>(r));
        return nullptr;
    }
    return reinterpret_cast<struct resampler*>(r);
}

double speex_set_ratio(struct resampler* handle, double ratio) {
    speex_resampler* r = self(handle);
    // Down to a quarter (a 192 kHz capture played at 48 kHz), up to 1.5 (32 kHz), with margin.
    if (!(ratio > 0.2 && ratio < 2)) return -1;
    uint32_t num = static_cast<uint32_t>(lround(kDenominator / ratio));
    if (num % kDenominator == 0) {
        // A ratio that reduces (1, 1/2, 1/4) is not to be had: the neighbour in force stays, or
        // the one on the ratio's side.
        const uint32_t whole = num;
        const bool neighbour = r->num == whole + 1 || r->num + 1 == whole;
        num = neighbour                                           ? r->num
              : ratio < static_cast<double>(kDenominator) / whole ? whole + 1
                                                                  : whole - 1;
    }
    // Each new fraction rebuilds the filter's state: only a change of step is passed on.
    if (num != r->num) {
        if (speex_resampler_set_rate_frac(r->state, num, kDenominator, r->rate, r->rate) !=
            RESAMPLER_ERR_SUCCESS) {
            return -1;
        }
        r->num = num;
    }
    return static_cast<double>(kDenominator) / r->num;
}

int speex_process(struct resampler* handle, const int16_t* in, uint32_t in_frames, int16_t* out,
                  uint32_t out_capacity) {
    speex_resampler* r = self(handle);
    if (in_frames > r->max_in_frames) return -1;
    spx_uint32_t in_len = in_frames;
    spx_uint32_t out_len = out_capacity;
    if (speex_resampler_process_interleaved_int(r->state, in, &in_len, out, &out_len) !=
        RESAMPLER_ERR_SUCCESS) {
        return -1;
    }
    return static_cast<int>(out_len);
}

template <int Quality>
constexpr struct resampler_backend speex_backend(const char* name) {
    return {name,         speex_create<Quality>, speex_destroy, speex_set_ratio, 1.0 / kDenominator,
            speex_process};
}

}  // namespace

// Named by its quality, so that the figures tell the build's row from the others.
#define HDMI_PREVIEW_SPEEX_NAME(quality) "speex-q" #quality
#define HDMI_PREVIEW_SPEEX_NAME_OF(quality) HDMI_PREVIEW_SPEEX_NAME(quality)
const struct resampler_backend resampler_speex = speex_backend<HDMI_PREVIEW_SPEEX_QUALITY>(
    HDMI_PREVIEW_SPEEX_NAME_OF(HDMI_PREVIEW_SPEEX_QUALITY));
const struct resampler_backend resampler_speex_at_quality[5] = {
    speex_backend<0>("speex-q0"), speex_backend<1>("speex-q1"), speex_backend<2>("speex-q2"),
    speex_backend<3>("speex-q3"), speex_backend<4>("speex-q4"),
};
