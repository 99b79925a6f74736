#pragma once
// The converter's entry point: the version, the banner, the usage and -h listing, the options
// and their effects, then the conversion.

#include <span>
#include <string>

#include "driver/conversion.h"
#include "driver/settings.h"

// Runs reelcap with arguments (the program's name first) over defaults and gives the exit
// status; every message is printed and every output finished before it returns.
int runConverter(std::span<const std::string> arguments, const RunSettings& defaults);
