#include <stdio.h>
#include <unistd.h>

#include "bsd_signal.h"
#include "service.h"

int main() {
    // Line-buffered, so each progress line reaches a pipe, a file or a service manager when it is
    // printed; the process usually ends by a signal, which would lose a full buffer.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bsd_signal(SIGINT, handle_interrupt);
    for (;;) {
        poll_trigger();
        usleep(kPollIntervalUs);
    }
}
