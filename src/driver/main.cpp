#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/settings.h"

namespace {

// Any thread may run out; the message must not need memory itself.
void onOutOfMemory() {
    static const char kMessage[] = "Error: not enough memory to go on\n";
    std::fflush(stdout);
    ssize_t written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)written;
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::set_new_handler(onOutOfMemory);
    // The heap keeps blocks of up to 32 MiB and 64 MiB of free room at its top, the bounds glibc
    // would come to by itself after the first large block freed, from the start: the encoders
    // a movie's segments open and close then reuse the heap's pages rather than map their own.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    RunSettings defaults;
    // For the tests that hold the fast ways of making frames against the plain ones.
    defaults.plainPaths = std::getenv("REELCAP_PLAIN_PATHS") != nullptr;
    const std::vector<std::string> arguments(argv, argv + argc);
    return runConverter(arguments, defaults);
}
