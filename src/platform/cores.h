#pragma once
// The cores this process may run on, as the work spread over threads counts them.

#include <cstddef>

// sched_getaffinity's count; failing that, the hardware's; at least 1.
size_t usableCores();
