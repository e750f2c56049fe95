#pragma once

// Which write of a property a read saw: the preview control uses it to tell a 1 that the
// controller wrote anew from the 1 it already answered, whatever came between two polls.

#include <stdint.h>

#ifndef __ANDROID__
// The change serial of the value that the calling thread's last property_get of `key` returned:
// equal for reads of the same write, different once the key has been written again (the same
// text included). 0 means the store cannot tell (a key beyond the few it tracks per thread).
extern "C" uint32_t property_serial(const char* key);
#else
// Android 4.2's bionic keeps a serial per property but does not export it, and its property_set
// does not report init's refusal, so a "2" that was not written is never known: 0, cannot tell.
inline uint32_t property_serial(const char* /*key*/) { return 0; }
#endif
