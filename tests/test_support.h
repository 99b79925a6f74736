#pragma once
// Shared helpers: fresh process-wide state, temporary directories, recordings, running the binary.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/settings.h"
#include "terminal/xterm_emulation.h"

namespace fs = std::filesystem;

// Resets every subsystem's process-wide state to what a new process has, and settings to their
// defaults.
void resetAll();

// The settings the tests hand the stages (startStages), one set for the test under way.
extern RunSettings settings;

// A new empty directory under the system's temporary directory.
fs::path makeTempDir();

// The repository's own files (font.txt, samples/).
fs::path sourcePath(std::string_view relative);

// The files in dir whose names end in extension, sorted by name.
std::vector<fs::path> filesIn(const fs::path& dir, std::string_view extension);

// A file's stem as a test name: letters and digits, anything else as '_'.
std::string testNameOf(const fs::path& file);

std::string readFile(const fs::path& path);
void writeFile(const fs::path& path, std::string_view bytes);

// The bytes a case file's escaped text stands for: \e \a \b \t \n \r \0 \s (a space), \xNN,
// \u{HEX} (a code point, written as UTF-8); a backslash before any other character stands for
// that character.
std::string decodeEscapes(std::string_view text);

// Appends codePoint to out as UTF-8.
void appendUtf8(std::string& out, uint32_t codePoint);

// The bytes of text, for readers that take bytes.
inline std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// One ttyrec record: 12-byte little-endian header and the payload.
std::string ttyrecRecord(uint32_t seconds, uint32_t micros, std::string_view payload);

// The payloads of a ttyrec recording's records; a payload cut by the end of the data is kept cut.
std::vector<std::string> ttyrecPayloads(std::string_view recording);

struct RunResult {
    int status = -1;     // exit status, or 128 + signal number
    std::string output;  // standard output
    std::string errors;  // standard error, unless it went to standard output
};

// Runs command with the shell; standard output and error together.
RunResult runCommand(const std::string& command);

// text as one shell word.
std::string shellQuoted(const std::string& text);

// Runs the built reelcap in dir with args; standard input is /dev/null. extraEnv entries
// are NAME=value strings added to (or replacing) the environment.
RunResult runReelcap(const fs::path& dir, const std::vector<std::string>& args,
                     const std::vector<std::string>& extraEnv = {});

// What the run's standard input is.
enum class RunInput {
    devNull,
    closed,
    silentPipe,  // a pipe whose writer stays open and never writes: reading it waits for ever
};

struct RunOptions {
    std::vector<std::string> extraEnv;  // NAME=value
    int uid = -1;                       // run as this user (tests run as root drop privileges)
    long fileSizeLimit = -1;            // bytes; RLIMIT_FSIZE for the child
    long addressSpaceLimit = -1;        // bytes; RLIMIT_AS for the child
    RunInput input = RunInput::devNull;
    int alarmSeconds = 0;               // a run still going then is killed by SIGALRM
    bool errorsToOutput = false;        // standard error goes where standard output goes
    std::string binary;                 // another reelcap to run; the built one when empty
};

// A started reelcap whose standard output is read when it is finished.
struct RunningReelcap {
    int pid = -1;
    int outputFd = -1;
    int errorFd = -1;  // an unlinked file holding standard error
};

RunningReelcap startReelcap(const fs::path& dir, const std::vector<std::string>& args, const RunOptions& options);
RunResult finishReelcap(RunningReelcap running);
RunResult runReelcapWith(const fs::path& dir, const std::vector<std::string>& args, const RunOptions& options);

// Lets everyone read and enter path but nobody write in it.
void makeReadOnly(const fs::path& path);

// Copies the project's font.txt into dir.
void installFont(const fs::path& dir);

// A scratch directory holding the font, removed after the test, and runs of the built reelcap
// in it.
class RunDirTest : public testing::Test {
protected:
    void SetUp() override {
        dir = makeTempDir();
        installFont(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    RunResult run(const std::vector<std::string>& args) { return runReelcap(dir, args); }

    // A run in a subdirectory of its own (with the font), so that two runs can be compared.
    RunResult runIn(const std::string& name, const std::vector<std::string>& args) {
        fs::path runDir = dir / name;
        fs::create_directory(runDir);
        installFont(runDir);
        return runReelcap(runDir, args);
    }

    fs::path dir;
};

// The compressors recordings come through: the name libarchive's messages give, the usual
// file extension, and the command that compresses standard input to standard output.
struct Compressor {
    const char* name;
    const char* extension;
    const char* command;
};
extern const std::array<Compressor, 4> kCompressors;

// A row of an xterm screen as text, '?' standing for any character beyond ASCII.
std::string xtermRowText(const XtermScreen& screen, int32_t row);
