#include "platform/cores.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <system_error>

size_t usableCores() {
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0) {
        return static_cast<size_t>(CPU_COUNT(&cores));
    }
    const unsigned reported = std::thread::hardware_concurrency();
    return reported > 0 ? reported : 1;
}

void startWorkerThreads(std::vector<std::thread>& threads, size_t count, const std::function<void()>& work) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        for (size_t i = 0; i < count; ++i) threads.emplace_back(work);
    } catch (const std::system_error&) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}
