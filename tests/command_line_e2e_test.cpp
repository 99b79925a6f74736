// End-to-end runs of the command lines a person tries first: unknown options, the output named
// right after the recording, output names of no container, options before the recording.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A run's exit status, standard output and error, and the directory it ran in.
struct Streams {
    int status = -1;
    std::string out = "";
    std::string err = "";
    fs::path dir = {};
};

using CommandLineTest = RunDirTest;

TEST_F(CommandLineTest, WarnsOfWhatItLeavesAsideAndTakesTheOutputAfterTheRecording) {
    struct Case {
        std::vector<std::string> args;
        std::string err;                // standard error, whole
        int status;
        std::string file;               // written, "" for none besides the log
        std::string magic;              // its first bytes, a '.' matching any byte
        std::vector<std::string> same;  // a line whose standard output this one's equals
    };
    const std::string rec = "demo.ttyrec";
    const Case cases[] = {
        {{rec, "-fsp", "-stop", "2"}, "Warning: unknown option -fsp is left aside; did you mean -fps?\n", 0,
         "output.avi", "RIFF", {rec, "-stop", "2"}},
        {{rec, "--fps", "10", "-stop", "2"},
         "Warning: unknown option --fps 10 is left aside; did you mean -fps 10?\n", 0, "output.avi", "RIFF",
         {rec, "-stop", "2"}},
        {{rec, "-widht", "90", "-o", "x.avi", "-stop", "2", "-quiet"},
         "Warning: unknown option -widht 90 is left aside; did you mean -width 90?\n"
         "Warning: unknown option -o x.avi is left aside; did you mean -output x.avi?\n",
         0, "output.avi", "RIFF", {rec, "-stop", "2", "-quiet"}},
        {{rec, "-stop", "2", "-framerate", "10", "-h"},
         "Warning: unknown option -framerate 10 is left aside; no option is named like it (reelcap -h lists "
         "them).\nWarning: -h counts only as the first argument (reelcap -h) and is left aside here.\n",
         0, "output.avi", "RIFF", {rec, "-stop", "2"}},
        {{rec, "demo.GIF", "-stop", "2"}, "", 0, "demo.GIF", "GIF8", {rec, "-output", "demo.GIF", "-stop", "2"}},
        {{rec, "demo.gif", "-stop", "2", "-output", "late.avi"}, "", 0, "late.avi", "RIFF", {}},
        {{rec, "shot.png", "-at", "1"}, "", 0, "shot.png", "\x89PNG", {rec, "-at", "1", "-output", "shot.png"}},
        {{rec, "-stop", "2", "demo.mp4"},
         "Warning: demo.mp4 is left aside: the output is named right after the recording, or by -output "
         "demo.mp4.\n",
         0, "output.avi", "RIFF", {rec, "-stop", "2"}},
        {{rec, "-output", "demo.mov", "-stop", "2"},
         "Warning: reelcap writes no .mov files; demo.mov is written as an AVI file (the containers it writes: "
         ".avi, .mp4, .mkv, .webm, .gif).\n",
         0, "demo.mov", "RIFF....AVI ", {}},
        {{rec, "-output", "-"},
         "Error: -output - would send the movie to standard output, which carries reelcap's messages; name a "
         "file instead, e.g. -output demo.mp4.\n",
         1, "", "", {}},
        {{"-codec", "zmbv", rec, "demo.gif", "-fps", "10"},
         "Error: the recording comes first: reelcap demo.ttyrec demo.gif -codec zmbv -fps 10\n", 1, "", "", {}},
        {{"-codec", "zmbv", rec}, "Error: the recording comes first: reelcap demo.ttyrec -codec zmbv\n", 1, "", "", {}},
        {{"-FSP", "10"}, "Error: the recording comes first: reelcap FILE -FSP 10\n", 1, "", "", {}},
        // A file named like an option is a recording; "-" is standard input.
        {{"-fps", "-stop", "2"}, "", 0, "output.avi", "RIFF", {}},
        {{"-", "-stop", "2"}, "", 0, "output.avi", "RIFF", {}},
    };
    const std::string recording = ttyrecRecord(1, 0, "hello") + ttyrecRecord(2, 0, "\r\nworld");
    int number = 0;
    auto runLine = [&](const std::vector<std::string>& args) {
        const fs::path runDir = dir / ("run" + std::to_string(++number));
        fs::create_directory(runDir);
        installFont(runDir);
        writeFile(runDir / rec, recording);
        writeFile(runDir / "-fps", recording);
        std::string command = "cd " + shellQuoted(runDir.string()) + " && " + REELCAP_BINARY;
        for (const std::string& arg : args) command.append(" ").append(shellQuoted(arg));
        const fs::path out = dir / ("out" + std::to_string(number));
        const fs::path err = dir / ("err" + std::to_string(number));
        // In a subshell: runCommand sends the shell's own standard error to its output.
        const int status =
            runCommand("(" + command + " <" + rec + " >" + out.string() + " 2>" + err.string() + ")").status;
        // The uncompressed AVI's note has a test of its own.
        const std::string errors = std::regex_replace(readFile(err), std::regex("Note: [^\n]*\n"), "");
        return Streams{.status = status, .out = readFile(out), .err = errors, .dir = runDir};
    };
    for (const Case& c : cases) {
        const Streams streams = runLine(c.args);
        const fs::path& runDir = streams.dir;
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(streams.err, c.err);
        EXPECT_EQ(streams.status, c.status);
        std::vector<std::string> written;
        for (const fs::directory_entry& entry : fs::directory_iterator(runDir)) {
            const std::string name = entry.path().filename().string();
            if (name != "font.txt" && name != rec && name != "-fps" && name != "output" && !name.ends_with(".bmp")) {
                written.push_back(name);
            }
        }
        EXPECT_EQ(written, c.file.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.file});
        if (!c.file.empty()) {
            const std::string head = readFile(runDir / c.file).substr(0, c.magic.size());
            ASSERT_EQ(head.size(), c.magic.size());
            for (size_t i = 0; i < head.size(); ++i) {
                EXPECT_TRUE(c.magic[i] == '.' || head[i] == c.magic[i]) << c.file << " byte " << i;
            }
        }
        // Nothing processed: the banner alone.
        EXPECT_TRUE(c.status == 0 || streams.out.find("Processing") == std::string::npos) << streams.out;
        if (!c.same.empty()) {
            EXPECT_EQ(streams.out, runLine(c.same).out);
        }
    }
    // The README quotes these as the program writes them.
    const std::string readme = std::regex_replace(readFile(sourcePath("README.md")), std::regex("\\s+"), " ");
    for (const Case* quoted : {&cases[1], &cases[11]}) {
        EXPECT_NE(readme.find(quoted->err.substr(0, quoted->err.size() - 1)), std::string::npos) << quoted->err;
    }
}

}  // namespace
