// The xterm emulation checked against an emulator we did not write: each input is replayed in
// a tmux pane of the same size, and at every checkpoint the pane's screen (capture-pane -e:
// text and SGR attributes) is compared cell by cell with ours, as xterm_case_files.cpp does.
//
// Inputs: the hand-made cases of tests/xterm_cases/*.case, the project's samples/*.ttyrec, and
// every *.ttyrec in the directory REELCAP_RECORDINGS names (taken as 80 x 25). A recording is
// compared at every checkpoint to its end, and every screen that differs is reported. tmux is
// handed a recording's bytes rewritten where one of the departures of tmux_departures.h applies
// (their cases hold xterm's screens); anything else that differs is a failure.
// REELCAP_REFRESH_XTERM_CASES=1 writes the screens tmux shows for the other cases into their
// files, where xterm_cases_test.cpp compares with them without tmux.
//
// Where tmux 3.3a departs from xterm in ways no recording here meets, the cases leave it out
// (the emulation's own tests cover it):
// - CHT (CSI I, tab forward by a count) is ignored;
// - REP (CSI b) repeats only an ASCII character, and stops at the end of the line where
//   xterm (and reelcap) go on into the next, as for any text;
// - ICH (CSI @) that inserts at least as many blanks as the line has cells left changes
//   nothing, where xterm blanks the rest of the line;
// - a wide character whose right half is overwritten or erased stays, where xterm blanks it
//   (and so does reelcap, making up for libvterm, which leaves half a character).
// tmux measures characters with the C library: a case holding one newer than the C library's
// Unicode is checked against its file's screens only.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/xterm_emulation.h"
#include "test_support.h"
#include "tmux_departures.h"
#include "xterm_case_files.h"

namespace {

constexpr auto kCheckpointTimeout = std::chrono::seconds(60);

XtermCase readRecording(const fs::path& path, int32_t columns, int32_t rows) {
    XtermCase recording{path.filename().string(), columns, rows, {}, {}, {}};
    recording.records = ttyrecPayloads(readFile(path));
    return recording;
}

// ---- Running tmux ----

struct ToolResult {
    int status = -1;
    std::string output;
};

ToolResult runTool(const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        unsetenv("TMUX");  // a tmux around the test run must not be the one addressed
        std::vector<char*> argv;
        std::vector<std::string> copies(arguments);
        for (std::string& argument : copies) argv.push_back(argument.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    ToolResult result;
    char buffer[65536];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(got));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return result;
}

// tmux 3.3 answers the version query the pane's feeder waits for.
bool tmuxUsable(std::string& why) {
    ToolResult version = runTool({"tmux", "-V"});
    if (version.status != 0) {
        why = "tmux is not installed (tools/install-deps installs it)";
        return false;
    }
    int major = 0, minor = 0;
    if (std::sscanf(version.output.c_str(), "tmux %d.%d", &major, &minor) == 2 && (major > 3 || (major == 3 && minor >= 3))) {
        return true;
    }
    why = "tmux 3.3 or later is needed, found " + version.output;
    return false;
}

// One tmux server on its own socket, its pane running the feeder; killed on destruction.
class TmuxPane {
public:
    TmuxPane(const XtermCase& testCase, const std::vector<std::string>& chunks) {
        static std::atomic<int> serial{0};
        socket_ = "reelcap-oracle-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        dir_ = makeTempDir();
        for (size_t i = 0; i < chunks.size(); ++i) writeFile(dir_ / std::to_string(i + 1), chunks[i]);
        mkfifo((dir_ / "ready").c_str(), 0600);
        mkfifo((dir_ / "go").c_str(), 0600);
        readyFd_ = open((dir_ / "ready").c_str(), O_RDONLY | O_NONBLOCK);

        std::string command = "exec bash " + sourcePath("tests/xterm_cases/feed_pane.sh").string() + " " +
                              dir_.string() + " " + std::to_string(chunks.size());
        // Without scrollback, as the emulation has none: the lines a shrinking screen pushes out are gone.
        ToolResult started = runTool({"tmux", "-L", socket_, "-f", "/dev/null", "start-server", ";", "set-option",
                                      "-g", "history-limit", "0", ";", "new-session", "-d", "-x",
                                      std::to_string(testCase.columns), "-y", std::to_string(testCase.rows),
                                      "-s", "oracle", command});
        started_ = started.status == 0;
        if (started_) {
            std::string path = runTool({"tmux", "-L", socket_, "display-message", "-p", "#{socket_path}"}).output;
            socketPath_ = path.substr(0, path.find('\n'));
        }
    }

    ~TmuxPane() {
        if (goFd_ >= 0) close(goFd_);
        if (readyFd_ >= 0) close(readyFd_);
        runTool({"tmux", "-L", socket_, "kill-server"});
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        if (!socketPath_.empty()) fs::remove(socketPath_, ignored);  // tmux leaves it behind
    }

    bool started() const { return started_; }

    // Waits until the feeder reports that chunk `number` has been interpreted.
    bool waitForChunk(size_t number) {
        auto deadline = std::chrono::steady_clock::now() + kCheckpointTimeout;
        while (true) {
            size_t newline = pendingReady_.find('\n');
            if (newline != std::string::npos) {
                std::string line = pendingReady_.substr(0, newline);
                pendingReady_.erase(0, newline + 1);
                return line == std::to_string(number);
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd poller{readyFd_, POLLIN, 0};
            if (poll(&poller, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[256];
            ssize_t got = read(readyFd_, buffer, sizeof buffer);
            if (got <= 0) return false;  // the feeder is gone
            pendingReady_.append(buffer, static_cast<size_t>(got));
        }
    }

    std::string capture() {
        return runTool({"tmux", "-L", socket_, "capture-pane", "-p", "-e", "-N", "-t", "oracle"}).output;
    }

    bool resize(const CaseResize& size) {
        return runTool({"tmux", "-L", socket_, "resize-window", "-t", "oracle", "-x", std::to_string(size.columns),
                        "-y", std::to_string(size.rows)})
                   .status == 0;
    }

    // Lets the feeder go on to the next chunk.
    bool release() {
        if (goFd_ < 0) {
            // The feeder opened its end before it reported the first chunk.
            goFd_ = open((dir_ / "go").c_str(), O_WRONLY | O_NONBLOCK);
            if (goFd_ < 0) return false;
        }
        return write(goFd_, "g", 1) == 1;
    }

private:
    std::string socket_;
    std::string socketPath_;
    fs::path dir_;
    int readyFd_ = -1;
    int goFd_ = -1;
    bool started_ = false;
    std::string pendingReady_;
};

// Replays a case in a tmux pane and hands onScreen the pane's screen at every checkpoint, for
// as long as it returns true. False when tmux did not get through.
bool replayInTmux(const XtermCase& testCase, const std::function<bool(const ExpectedScreen&)>& onScreen) {
    // Records are grouped into chunks that end where a query can follow.
    std::vector<size_t> checkpoints = checkpointsOf(testCase.records);
    std::vector<std::string> chunks;
    size_t record = 0;
    for (size_t end : checkpoints) {
        chunks.emplace_back();
        for (; record < end; ++record) chunks.back() += testCase.records[record];
    }

    TmuxPane pane(testCase, chunks);
    if (!pane.started()) {
        ADD_FAILURE() << testCase.name << ": tmux did not start";
        return false;
    }
    // Resizes come between chunks, while the feeder waits.
    size_t resized = 0;
    for (const CaseResize& resize : testCase.resizes) {
        if (resize.afterRecords == 0 || std::find(checkpoints.begin(), checkpoints.end(), resize.afterRecords) == checkpoints.end()) {
            ADD_FAILURE() << testCase.name << ": a resize where no checkpoint is";
            return false;
        }
    }
    for (size_t chunk = 0; chunk < chunks.size(); ++chunk) {
        if (!pane.waitForChunk(chunk + 1)) {
            ADD_FAILURE() << testCase.name << ": tmux did not get through chunk " << chunk + 1;
            return false;
        }
        if (!onScreen(ExpectedScreen{checkpoints[chunk], resized, pane.capture()})) return true;
        for (; resized < testCase.resizes.size() && testCase.resizes[resized].afterRecords == checkpoints[chunk]; ++resized) {
            if (!pane.resize(testCase.resizes[resized])) {
                ADD_FAILURE() << testCase.name << ": tmux did not resize";
                return false;
            }
            if (!onScreen(ExpectedScreen{checkpoints[chunk], resized + 1, pane.capture()})) return true;
        }
        if (!pane.release()) {
            ADD_FAILURE() << testCase.name << ": the feeder is gone";
            return false;
        }
    }
    return true;
}

struct TmuxComparison {
    size_t compared = 0;                   // screens
    std::vector<std::string> differences;  // one for each screen that differs
};

// Replays a case in our emulation and the bytes tmux is to get for it (the case's own unless
// given) in tmux, comparing at every checkpoint and going on past a difference.
TmuxComparison compareWithTmux(const XtermCase& testCase, const std::vector<std::string>* tmuxRecords = nullptr) {
    XtermCase tmuxCase = testCase;
    if (tmuxRecords != nullptr) tmuxCase.records = *tmuxRecords;
    ReplayPosition position = startReplay(testCase);
    TmuxComparison comparison;
    replayInTmux(tmuxCase, [&](const ExpectedScreen& screen) {
        ++comparison.compared;
        std::string differences = compareWithCapture(testCase, position, screen);
        if (!differences.empty()) {
            comparison.differences.push_back("after record " + std::to_string(position.fed) + " of " +
                                             std::to_string(testCase.records.size()) + " and resize " +
                                             std::to_string(position.resized) + ": " + differences);
        }
        return true;
    });
    return comparison;
}

// How many screens differ, where the first few do (record, and the first cell), and the first
// in full.
std::string describe(const TmuxComparison& comparison) {
    std::string text = std::to_string(comparison.differences.size()) + " of " + std::to_string(comparison.compared) +
                       " screens differ from tmux\n";
    for (size_t i = 0; i < std::min<size_t>(10, comparison.differences.size()); ++i) {
        const std::string& difference = comparison.differences[i];
        const size_t cell = difference.find("  row ");
        text += "  " + difference.substr(0, difference.find('\n')) + ", first at " +
                difference.substr(cell + 2, difference.find(':', cell) - cell - 2) + "\n";
    }
    if (!comparison.differences.empty()) text += "The first: " + comparison.differences.front();
    return text;
}

// Every place kTmuxDepartures names: "name 3, name 1".
std::string describe(const TmuxInput& input) {
    std::string text;
    for (size_t i = 0; i < kTmuxDepartures.size(); ++i) {
        if (input.rewritten[i] == 0) continue;
        if (!text.empty()) text += ", ";
        text += std::string(kTmuxDepartures[i].name) + " " + std::to_string(input.rewritten[i]);
    }
    return text.empty() ? "none" : text;
}

bool knownToTheCLibrary(const XtermCase& testCase) {
    for (const std::string& record : testCase.records) {
        std::mbstate_t state{};
        for (size_t at = 0; at < record.size();) {
            wchar_t c = 0;
            const size_t used = std::mbrtowc(&c, record.data() + at, record.size() - at, &state);
            if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
                state = {};
                ++at;
                continue;
            }
            if (c >= 0xA0 && wcwidth(c) < 0) return false;
            at += std::max<size_t>(used, 1);
        }
    }
    return true;
}

class XtermTmuxOracle : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!tmuxUsable(why)) GTEST_SKIP() << why;
        std::setlocale(LC_CTYPE, "C.UTF-8");  // for wcwidth
        previousPipeHandler_ = signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override {
        if (previousPipeHandler_ != nullptr) signal(SIGPIPE, previousPipeHandler_);
        resetAll();
    }

private:
    sighandler_t previousPipeHandler_ = nullptr;
};

TEST_F(XtermTmuxOracle, HandMadeCasesMatchTmux) {
    std::vector<fs::path> files = filesIn(sourcePath("tests/xterm_cases"), ".case");
    ASSERT_FALSE(files.empty());
    int cases = 0;
    for (const fs::path& file : files) {
        for (const XtermCase& testCase : readCaseFile(file)) {
            if (!knownToTheCLibrary(testCase) || !departureOfCase(testCase.name).empty()) continue;
            SCOPED_TRACE(testCase.name);
            TmuxComparison comparison = compareWithTmux(testCase);
            EXPECT_GT(comparison.compared, 0u);
            EXPECT_TRUE(comparison.differences.empty()) << describe(comparison);
            ++cases;
        }
    }
    EXPECT_GT(cases, 10);
}

// Each departure's cases show tmux departing from xterm (the case's screens, which
// xterm_cases_test.cpp holds our emulation to), and tmux agreeing once handed the rewritten bytes.
TEST_F(XtermTmuxOracle, TmuxDepartsFromXtermOnlyWhereNamed) {
    std::vector<XtermCase> cases = readCaseFile(sourcePath("tests/xterm_cases/tmux_departures.case"));
    size_t named = 0;
    for (const TmuxDeparture& departure : kTmuxDepartures) named += departure.cases.size();
    EXPECT_EQ(cases.size(), named);
    for (const XtermCase& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const std::string_view departure = departureOfCase(testCase.name);
        ASSERT_FALSE(departure.empty()) << testCase.name << " is not in kTmuxDepartures";
        EXPECT_FALSE(compareWithTmux(testCase).differences.empty()) << "tmux shows xterm's screens here";
        const TmuxInput input = tmuxInputFor(testCase);
        for (size_t i = 0; i < kTmuxDepartures.size(); ++i) {
            EXPECT_EQ(input.rewritten[i] > 0, kTmuxDepartures[i].name == departure) << describe(input);
        }
        TmuxComparison comparison = compareWithTmux(testCase, &input.records);
        EXPECT_TRUE(comparison.differences.empty()) << describe(comparison);
    }
}

// Writes the screens tmux shows into the case files (see xterm_case_files.h); the departures'
// cases keep xterm's.
TEST_F(XtermTmuxOracle, RefreshesTheCasesScreensWhenAsked) {
    const char* refresh = std::getenv("REELCAP_REFRESH_XTERM_CASES");
    if (refresh == nullptr || std::string_view(refresh) != "1") GTEST_SKIP() << "REELCAP_REFRESH_XTERM_CASES is not 1";
    for (const fs::path& file : filesIn(sourcePath("tests/xterm_cases"), ".case")) {
        std::vector<XtermCase> cases = readCaseFile(file);
        bool complete = true;
        for (XtermCase& testCase : cases) {
            if (!knownToTheCLibrary(testCase) || !departureOfCase(testCase.name).empty()) continue;
            testCase.screens.clear();
            complete = replayInTmux(testCase, [&](const ExpectedScreen& screen) {
                testCase.screens.push_back(screen);
                return true;
            }) && complete;
        }
        if (complete) rewriteScreens(file, cases);  // tmux's failures are reported
    }
}

// The project's samples/*.ttyrec and the *.ttyrec files in the directory REELCAP_RECORDINGS
// names (tools/run-tests names the shared recordings), taken as 80 x 25: every screen, beside
// the departures named in kTmuxDepartures.
TEST_F(XtermTmuxOracle, RecordingsMatchTmuxBesideNamedDepartures) {
    std::vector<fs::path> files = filesIn(sourcePath("samples"), ".ttyrec");
    ASSERT_FALSE(files.empty());
    if (const char* dir = std::getenv("REELCAP_RECORDINGS"); dir != nullptr && *dir != '\0') {
        ASSERT_TRUE(fs::is_directory(dir)) << "REELCAP_RECORDINGS names " << dir << ", which is not a directory";
        std::vector<fs::path> more = filesIn(dir, ".ttyrec");
        EXPECT_FALSE(more.empty()) << dir << " holds no .ttyrec file";
        files.insert(files.end(), more.begin(), more.end());
    }
    for (const fs::path& file : files) {
        XtermCase recording = readRecording(file, 80, 25);
        SCOPED_TRACE(file.string());
        const TmuxInput input = tmuxInputFor(recording);
        TmuxComparison comparison = compareWithTmux(recording, &input.records);
        std::printf("%s: %zu records, %zu screens compared, %zu differ; departures: %s\n", file.c_str(),
                    recording.records.size(), comparison.compared, comparison.differences.size(),
                    describe(input).c_str());
        // Records that end inside a sequence are compared with the next one.
        EXPECT_EQ(comparison.compared, checkpointsOf(recording.records).size());
        EXPECT_TRUE(comparison.differences.empty()) << describe(comparison);
    }
}

}  // namespace
