#pragma once

// The speex resampler behind the resampler interface: the ratio in steps of
// 1 / HDMI_PREVIEW_SPEEX_DENOMINATOR, 16-bit samples inside (on Android; floats in Debian's build).

#include "resampler.h"

extern const struct resampler_backend resampler_speex;
