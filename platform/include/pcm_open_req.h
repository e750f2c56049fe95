#pragma once

// The PCM library as the loopback uses it: tinyalsa's interface, plus pcm_open_req, which only a
// device's variant of tinyalsa carries. Builds against such a variant define
// TINYALSA_HAS_PCM_OPEN_REQ and take the variant's own; every other build gets the thin one from
// the platform library.

#include <tinyalsa/asoundlib.h>

#ifndef TINYALSA_HAS_PCM_OPEN_REQ
extern "C" {
// Opens a stream like pcm_open. `rate` repeats config->rate, which already carries it; the result
// follows pcm_open's rules (check it with pcm_is_ready, release it with pcm_close).
struct pcm* pcm_open_req(unsigned int card, unsigned int device, unsigned int flags,
                         struct pcm_config* config, unsigned int rate);
}
#endif
