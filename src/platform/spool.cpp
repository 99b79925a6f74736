#include "platform/spool.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

int openSpool(std::string& error) {
    const char* given = std::getenv("TMPDIR");
    const std::string directory = given != nullptr && given[0] != '\0' ? given : "/tmp";
    std::string name = directory + "/reelcap-XXXXXX";
    std::vector<char> path(name.begin(), name.end());
    path.push_back('\0');
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot be copied into a temporary file in " + directory + " (" + std::strerror(errno) +
                "); set TMPDIR to a directory you can write in";
        return -1;
    }
    unlink(path.data());
    return fd;
}
