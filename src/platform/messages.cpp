#include "platform/messages.h"

#include <cstdio>

namespace {

void printLine(std::FILE* stream, std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace

void printTranscript(std::string_view line) { printLine(stdout, line); }

void printDiagnostic(std::string_view line) {
    std::fflush(stdout);
    printLine(stderr, line);
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}
