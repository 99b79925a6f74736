#pragma once
// SIGINT and SIGTERM ask the run to stop after the record in progress; a second one ends the
// process at once. Whoever loops over long work asks interruptRequested between steps.

void installInterruptHandlers();
bool interruptRequested();

// The signal that asked for the interruption, 0 when none did.
int interruptSignal();

// Forgets a pending interruption (handlers stay installed).
void resetInterrupts();
