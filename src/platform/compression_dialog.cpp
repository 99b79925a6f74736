#include "platform/compression_dialog.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "platform/avi_file.h"

namespace {

// The prefilled choice; a compressor the menu does not offer falls back to uncompressed frames.
const CodecChoice& choiceFor(uint32_t handler) {
    const CodecChoice* choice = codecWithFourcc(handler);
    return choice != nullptr && movieContainerHolds(MovieContainer::avi, handler) ? *choice : codecChoices()[0];
}

void confirm(AviCompressOptions& options, const CodecChoice& choice) {
    options.fccType = kStreamTypeVideo;
    options.fccHandler = choice.fourcc;
}

// Waits for a key at the terminal; false when SIGINT or SIGTERM comes first. The interrupt
// handler restarts plain reads, which alone would sit through Ctrl-C; the signals stay blocked
// from the check until the wait begins, so one arriving in between still ends the wait.
bool waitForKey(std::FILE* input, bool (*interruptRequested)()) {
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    bool interrupted = interruptRequested != nullptr && interruptRequested();
    pollfd wanted{fileno(input), POLLIN, 0};
    int ready = interrupted ? -1 : ppoll(&wanted, 1, nullptr, &previous);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return ready >= 0;
}

// false at the end of input with nothing read, or at a terminal when a signal ends the wait.
bool readLine(std::FILE* input, std::string& line, bool (*interrupted)(), bool atTerminal) {
    line.clear();
    while (true) {
        if (atTerminal && !waitForKey(input, interrupted)) return false;
        int c = std::fgetc(input);
        if (c == '\n') return true;
        if (c == EOF) return !line.empty();
        line.push_back(static_cast<char>(c));
    }
}

std::string_view trimmed(std::string_view text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::vector<const CodecChoice*> aviChoices() {
    std::vector<const CodecChoice*> offered;
    for (const CodecChoice& choice : codecChoices()) {
        if (movieContainerHolds(MovieContainer::avi, choice.fourcc)) offered.push_back(&choice);
    }
    return offered;
}

const CodecChoice* choiceByNumber(std::string_view answer, const std::vector<const CodecChoice*>& offered) {
    size_t number = 0;
    auto [rest, error] = std::from_chars(answer.data(), answer.data() + answer.size(), number);
    if (error != std::errc() || rest != answer.data() + answer.size()) return nullptr;
    return number >= 1 && number <= offered.size() ? offered[number - 1] : nullptr;
}

const CodecChoice* choiceByName(std::string_view answer, const std::vector<const CodecChoice*>& offered) {
    const CodecChoice* named = findCodecChoice(answer);
    return std::find(offered.begin(), offered.end(), named) != offered.end() ? named : nullptr;
}

// nullptr when the user cancels or the input ends.
const CodecChoice* askForChoice(std::FILE* input, std::FILE* output, const CodecChoice& current,
                                bool (*interrupted)(), bool atTerminal) {
    const std::vector<const CodecChoice*> offered = aviChoices();
    std::fprintf(output, "Video compression for the movie:\n");
    for (size_t i = 0; i < offered.size(); ++i) {
        std::fprintf(output, "  %zu  %-6s %s\n", i + 1, offered[i]->name, offered[i]->description);
    }
    std::string line;
    while (true) {
        std::fprintf(output, "Choose a number or a name (Enter: %s, q: cancel): ", current.name);
        std::fflush(output);
        if (!readLine(input, line, interrupted, atTerminal)) {
            std::fputc('\n', output);
            std::fflush(output);
            return nullptr;
        }
        std::string_view answer = trimmed(line);
        if (answer.empty()) return &current;
        if (answer == "q" || answer == "Q") return nullptr;
        if (const CodecChoice* choice = choiceByNumber(answer, offered)) return choice;
        if (const CodecChoice* choice = choiceByName(answer, offered)) return choice;
        if (const CodecChoice* elsewhere = findCodecChoice(answer)) {
            std::fprintf(output, "AVI files cannot hold %s.\n", elsewhere->name);
            continue;
        }
        std::fprintf(output, "There is no choice \"%.*s\".\n", static_cast<int>(answer.size()), answer.data());
    }
}

}  // namespace

bool aviSaveOptions(AviCompressOptions& options, const CompressionDialog& dialog) {
    const CodecChoice& current = choiceFor(options.fccHandler);
    if (dialog.preset != nullptr) {
        confirm(options, *dialog.preset);
        return true;
    }
    std::FILE* input = dialog.input;
    std::FILE* output = dialog.output;
    bool atTerminal = false;
    if (input == nullptr || output == nullptr) {
        // Never wait for an answer that nobody can give.
        if (isatty(STDIN_FILENO) != 1 || isatty(STDOUT_FILENO) != 1) {
            confirm(options, current);
            return true;
        }
        input = stdin;
        output = stdout;
        // Unbuffered, so that waiting on the terminal sees every key that has not been read.
        std::setvbuf(stdin, nullptr, _IONBF, 0);
        atTerminal = true;
    }
    const CodecChoice* chosen = askForChoice(input, output, current, dialog.interrupted, atTerminal);
    if (chosen == nullptr) return false;
    confirm(options, *chosen);
    return true;
}
