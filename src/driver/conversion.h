#pragma once
// One conversion: made from its settings, it checks them, reads the recording, opens the output,
// starts the stages and plays the recording through them.

#include <system_error>

#include "driver/settings.h"

// Runs the conversion settings describe and gives the exit status; its messages are printed
// and its output finished whichever way it ends. framesError: why the frames directory of
// -png could not be made.
int runConversion(RunSettings settings, std::error_code framesError);
