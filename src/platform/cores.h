#pragma once
// The cores this process may run on, as the work spread over threads counts them.

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

// sched_getaffinity's count; failing that, the hardware's; at least 1.
size_t usableCores();

// Adds up to count threads running work to threads, with every signal blocked in them: signals
// are for the main thread, which decides what an interruption does. Fewer, or none, when the
// system refuses more; the work's results must not depend on how many there are.
void startWorkerThreads(std::vector<std::thread>& threads, size_t count, const std::function<void()>& work);
