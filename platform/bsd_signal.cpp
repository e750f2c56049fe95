#include "bsd_signal.h"

// BSD semantics: the handler stays installed after delivery (no SA_RESETHAND) and an interrupted
// blocking call is restarted (SA_RESTART). Returns the previous handler, or SIG_ERR.
extern "C" sighandler_t bsd_signal(int signum, sighandler_t handler) {
    struct sigaction action = {};
    struct sigaction old = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, signum);
    action.sa_flags = SA_RESTART;
    if (sigaction(signum, &action, &old) != 0) return SIG_ERR;
    return old.sa_handler;
}
