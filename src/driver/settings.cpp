#include "driver/settings.h"

RunSettings settings;

void resetSettings() { settings = RunSettings{}; }
