#include "platform/interrupts.h"

#include <signal.h>

namespace {

volatile sig_atomic_t pendingSignal = 0;

void onInterrupt(int signalNumber) {
    if (pendingSignal != 0) {
        // Asked twice: the user does not want to wait for the movie to be closed.
        signal(signalNumber, SIG_DFL);
        raise(signalNumber);
        return;
    }
    pendingSignal = signalNumber;
}

}  // namespace

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // Past a file-size limit a write should fail like on a full disk, not kill the run.
    signal(SIGXFSZ, SIG_IGN);
}

bool interruptRequested() { return pendingSignal != 0; }

int interruptSignal() { return pendingSignal; }

void resetInterrupts() { pendingSignal = 0; }
