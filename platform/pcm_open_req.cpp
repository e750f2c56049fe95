#include "pcm_open_req.h"

// Stock tinyalsa has no rate argument of its own: the rate travels in the configuration record,
// which already holds it.
extern "C" struct pcm* pcm_open_req(unsigned int card, unsigned int device, unsigned int flags,
                                    struct pcm_config* config, unsigned int /*rate*/) {
    return pcm_open(card, device, flags, config);
}
