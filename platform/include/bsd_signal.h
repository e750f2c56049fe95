#pragma once

// Handler installation with BSD semantics, as Android's bionic declares it in <signal.h>: the
// handler stays installed after each delivery and a blocking call that the signal interrupts is
// restarted. glibc declares bsd_signal only for old X/Open modes, never for C++, so on Linux the
// platform library provides it.

#include <signal.h>

#ifndef __ANDROID__
extern "C" sighandler_t bsd_signal(int signum, sighandler_t handler);
#endif
