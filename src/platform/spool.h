#pragma once
// A temporary file for what a stream holds, so that it can be read more than once without being
// kept in memory.

#include <string>

// A new, empty file in $TMPDIR (else /tmp), open for reading and writing. It is given no name
// that outlives the call, so the system removes it when it is closed, however the process ends.
// -1, with error saying why, when it cannot be made.
int openSpool(std::string& error);
