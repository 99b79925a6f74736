#include "test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "emission/movie_writer.h"
#include "emission/png_queue.h"
#include "platform/compression_dialog.h"
#include "platform/interrupts.h"
#include "playback/ttyrec_record.h"

extern char** environ;

RunSettings settings;

void resetAll() {
    settings = RunSettings{};
    resetInterrupts();
}

fs::path makeTempDir() {
    std::string pattern = (fs::temp_directory_path() / "reelcap-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

fs::path sourcePath(std::string_view relative) { return fs::path(REELCAP_SOURCE_DIR) / relative; }

std::vector<fs::path> filesIn(const fs::path& dir, std::string_view extension) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == extension) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string testNameOf(const fs::path& file) {
    std::string name = file.stem().string();
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string decodeEscapes(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        char next = text[++i];
        switch (next) {
            case 'e': out.push_back('\x1b'); break;
            case 'a': out.push_back('\a'); break;
            case 'b': out.push_back('\b'); break;
            case 't': out.push_back('\t'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case '0': out.push_back('\0'); break;
            case 's': out.push_back(' '); break;
            case 'x':
                out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
                i += 2;
                break;
            case 'u': {
                size_t close = text.find('}', i);
                std::string hex(text.substr(i + 2, close - i - 2));
                appendUtf8(out, static_cast<uint32_t>(std::stoul(hex, nullptr, 16)));
                i = close;
                break;
            }
            default: out.push_back(next); break;
        }
    }
    return out;
}

void appendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
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

namespace {

// A run as another user cannot reach a binary under a private directory (a checkout made in
// `mktemp -d`, say): such runs use a copy, with its font, in a directory anyone may enter.
class ReachableCopy {
public:
    ReachableCopy() {
        dir_ = makeTempDir();
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                                  fs::perms::group_read | fs::perms::others_read);
        fs::path original = REELCAP_BINARY;
        binary_ = dir_ / original.filename();
        fs::copy_file(original, binary_);
        std::error_code ignored;
        fs::copy_file(original.parent_path() / "font.txt", dir_ / "font.txt", ignored);
    }
    ~ReachableCopy() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    const fs::path& binary() const { return binary_; }

private:
    fs::path dir_;
    fs::path binary_;
};

std::string binaryFor(const RunOptions& options) {
    if (!options.binary.empty()) return options.binary;
    if (options.uid < 0) return REELCAP_BINARY;
    static ReachableCopy copy;
    return copy.binary().string();
}

}  // namespace

RunningReelcap startReelcap(const fs::path& dir, const std::vector<std::string>& args, const RunOptions& options) {
    std::string binary = binaryFor(options);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    std::string errorName = (fs::temp_directory_path() / "reelcap-stderr-XXXXXX").string();
    int errorFd = mkostemp(errorName.data(), O_CLOEXEC);
    if (errorFd < 0) throw std::runtime_error("mkostemp failed");
    unlink(errorName.c_str());
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
        dup2(options.errorsToOutput ? pipeFds[1] : errorFd, 2);
        close(errorFd);
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
        argv.push_back(binary.data());
        std::vector<std::string> copies(args);
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    return {pid, pipeFds[0], errorFd};
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
    lseek(running.errorFd, 0, SEEK_SET);
    while ((got = read(running.errorFd, buffer, sizeof buffer)) > 0) result.errors.append(buffer, got);
    close(running.errorFd);
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

RunResult runCommand(const std::string& command) {
    RunResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void makeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
}

void installFont(const fs::path& dir) {
    fs::copy_file(sourcePath("font.txt"), dir / "font.txt", fs::copy_options::overwrite_existing);
}

const std::array<Compressor, 4> kCompressors = {{
    {"gzip", ".gz", "gzip -c"},
    {"bzip2", ".bz2", "bzip2 -c"},
    {"xz", ".xz", "xz -c"},
    {"zstd", ".zst", "zstd -q -c"},
}};

std::string xtermRowText(const XtermScreen& screen, int32_t row) {
    std::string text;
    for (int32_t column = 0; column < screen.columns; ++column) {
        uint32_t codePoint = screen.at(row, column).codePoint;
        text += codePoint < 0x80 ? static_cast<char>(codePoint) : '?';
    }
    return text;
}
