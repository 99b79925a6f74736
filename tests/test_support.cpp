#include "test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "driver/settings.h"
#include "emission/movie_writer.h"
#include "emission/emission.h"
#include "platform/compression_dialog.h"
#include "playback/asciicast.h"
#include "playback/recording.h"
#include "playback/ttyrec_record.h"
#include "render/renderer.h"
#include "render/screen_changes.h"
#include "render/surface.h"
#include "render/unicode_font.h"
#include "render/xterm_renderer.h"
#include "terminal/screen_grid.h"
#include "terminal/xterm_emulation.h"

extern char** environ;

void resetAll() {
    resetSettings();
    resetGrid();
    resetFrameClock();
    resetSurfaces();
    resetRenderer();
    resetScreenChanges();
    resetEmission();
    resetMovieWriter();
    resetCompressionDialog();
    resetAsciicast();
    resetXtermEmulation();
    resetXtermRenderer();
    resetUnicodeFont();
}

fs::path makeTempDir() {
    std::string pattern = (fs::temp_directory_path() / "reelcap-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

fs::path sourcePath(std::string_view relative) { return fs::path(REELCAP_SOURCE_DIR) / relative; }

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ttyrecRecord(uint32_t seconds, uint32_t micros, std::string_view payload) {
    std::vector<uint8_t> record;
    appendRecord(record, seconds, micros, payload);
    return std::string(record.begin(), record.end());
}

std::vector<std::string> ttyrecPayloads(std::string_view recording) {
    std::vector<std::string> payloads;
    while (recording.size() >= kRecordHeaderSize) {
        RecordHeader header = readRecordHeader(bytesOf(recording));
        recording.remove_prefix(kRecordHeaderSize);
        std::string_view payload = recording.substr(0, header.length);
        payloads.emplace_back(payload);
        recording.remove_prefix(payload.size());
    }
    return payloads;
}

RunningReelcap startReelcap(const fs::path& dir, const std::vector<std::string>& args, const RunOptions& options) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        if (options.input == RunInput::devNull) {
            dup2(open("/dev/null", O_RDONLY), 0);
        } else if (options.input == RunInput::closed) {
            close(0);
        } else {
            int silent[2];
            if (pipe(silent) != 0) _exit(126);
            dup2(silent[0], 0);  // silent[1] stays open in the run, unwritten
        }
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        for (const std::string& entry : options.extraEnv) {
            std::string name = entry.substr(0, entry.find('='));
            setenv(name.c_str(), entry.substr(name.size() + 1).c_str(), 1);
        }
        if (options.fileSizeLimit >= 0) {
            struct rlimit limit {static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.addressSpaceLimit >= 0) {
            struct rlimit limit {static_cast<rlim_t>(options.addressSpaceLimit), static_cast<rlim_t>(options.addressSpaceLimit)};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (options.alarmSeconds > 0) alarm(static_cast<unsigned>(options.alarmSeconds));
        if (options.uid >= 0 && (setgid(options.uid) != 0 || setuid(options.uid) != 0)) _exit(125);
        std::vector<char*> argv;
        std::string binary = REELCAP_BINARY;
        argv.push_back(binary.data());
        std::vector<std::string> copies(args);
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

RunResult finishReelcap(RunningReelcap running) {
    RunResult result;
    char buffer[65536];
    ssize_t got;
    while ((got = read(running.outputFd, buffer, sizeof buffer)) > 0) result.output.append(buffer, got);
    close(running.outputFd);
    int status = 0;
    waitpid(running.pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult runReelcapWith(const fs::path& dir, const std::vector<std::string>& args, const RunOptions& options) {
    return finishReelcap(startReelcap(dir, args, options));
}

RunResult runReelcap(const fs::path& dir, const std::vector<std::string>& args,
                     const std::vector<std::string>& extraEnv) {
    RunOptions options;
    options.extraEnv = extraEnv;
    return runReelcapWith(dir, args, options);
}

void makeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
}

void installFont(const fs::path& dir) {
    fs::copy_file(sourcePath("font.txt"), dir / "font.txt", fs::copy_options::overwrite_existing);
}
