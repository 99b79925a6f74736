#include "platform/cores.h"

#include <sched.h>

#include <thread>

size_t usableCores() {
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0) {
        return static_cast<size_t>(CPU_COUNT(&cores));
    }
    const unsigned reported = std::thread::hardware_concurrency();
    return reported > 0 ? reported : 1;
}
