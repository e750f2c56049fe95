#pragma once

// libsamplerate (SRC_SINC_FASTEST) behind the resampler interface: any ratio, float inside.

#include "resampler.h"

extern const struct resampler_backend resampler_samplerate;
