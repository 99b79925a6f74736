#include <cstdlib>

#include "driver/driver.h"
#include "driver/settings.h"

int main(int argc, char** argv) {
    // For the tests that hold the fast ways of making frames against the plain ones.
    settings.plainPaths = std::getenv("REELCAP_PLAIN_PATHS") != nullptr;
    return runConverter(argc, argv);
}
