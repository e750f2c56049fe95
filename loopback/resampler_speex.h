#pragma once

// The speex resampler behind the resampler interface: the ratio in steps of
// 1 / HDMI_PREVIEW_SPEEX_DENOMINATOR, 16-bit samples inside (on Android; floats in Debian's build).

#include "resampler.h"

// At HDMI_PREVIEW_SPEEX_QUALITY: 3, Android's, unless the build says otherwise (CMake: 1).
extern const struct resampler_backend resampler_speex;
// Qualities 0 to 4 ("speex-q0" to "speex-q4"), for the tests and the figures that compare them.
extern const struct resampler_backend resampler_speex_at_quality[5];
