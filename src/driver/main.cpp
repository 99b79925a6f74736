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
    RunSettings defaults;
    // For the tests that hold the fast ways of making frames against the plain ones.
    defaults.plainPaths = std::getenv("REELCAP_PLAIN_PATHS") != nullptr;
    const std::vector<std::string> arguments(argv, argv + argc);
    return runConverter(arguments, defaults);
}
