// What an install holds besides the binary: the font found from bin/ through share/reelcap/,
// the manual page, the bash completion and the README's option table, held against the options
// table and the program's own compressor and theme lists; and the README's and manual's
// statements about the bundled samples, held against what the program makes of them.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/options.h"
#include "fixtures.h"
#include "platform/compression_dialog.h"
#include "render/theme.h"
#include "test_support.h"

namespace {


// The option names of the README's option table ("| `-width N`, `-height N` | ..." gives both).
std::vector<std::string> readmeOptions() {
    std::vector<std::string> names;
    std::istringstream readme(readFile(sourcePath("README.md")));
    std::string line;
    while (std::getline(readme, line) && line != "| option | meaning |") {
    }
    const std::regex name("`(-[a-z]+(?:-[a-z]+)*)");
    while (std::getline(readme, line) && line.rfind("|", 0) == 0) {
        std::string cell = line.substr(0, line.find(" |", 2));
        for (std::sregex_iterator it(cell.begin(), cell.end(), name), end; it != end; ++it) {
            names.push_back((*it)[1]);
        }
    }
    return names;
}

// The options read after the recording, or those of the first argument alone.
std::vector<const OptionRow*> tableRows(bool firstArgument) {
    std::vector<const OptionRow*> rows;
    for (const OptionRow& row : optionTable()) {
        if ((row.group == OptionGroup::firstArgument) == firstArgument) rows.push_back(&row);
    }
    return rows;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

std::vector<std::string> codecNames() {
    std::vector<std::string> names;
    for (const CodecChoice& choice : codecChoices()) names.push_back(choice.name);
    return names;
}

TEST(InstalledLayout, FontIsFoundInShareBesideTheBinary) {
    struct Case {
        const char* what;
        bool fontInstalled;
        bool throughLink;  // started as a symbolic link in another directory
        int status;
        bool besideBinary = false;  // font.txt in the binary's own folder, as in a build tree
    };
    const Case cases[] = {
        {"installed font", true, false, 0},
        {"installed font, started through a link", true, true, 0},
        {"no font anywhere", false, false, 1},
        {"font beside the binary, started through a link", false, true, 0, true},
    };
    for (const Case& c : cases) {
        fs::path root = makeTempDir();
        fs::create_directories(root / "prefix/bin");
        fs::create_directories(root / "work");
        fs::copy_file(REELCAP_BINARY, root / "prefix/bin/reelcap");
        if (c.fontInstalled) {
            fs::create_directories(root / "prefix/share/reelcap");
            fs::copy_file(sourcePath("font.txt"), root / "prefix/share/reelcap/font.txt");
        }
        if (c.besideBinary) fs::copy_file(sourcePath("font.txt"), root / "prefix/bin/font.txt");
        RunOptions options;
        options.binary = (root / "prefix/bin/reelcap").string();
        if (c.throughLink) {
            fs::create_directories(root / "links");
            fs::create_symlink(options.binary, root / "links/reelcap");
            options.binary = (root / "links/reelcap").string();
        }
        options.extraEnv = {"PATH=/nonexistent"};
        RunResult result = runReelcapWith(
            root / "work", {sourcePath("samples/demo.ttyrec").string(), "-png", "-stop", "2"}, options);
        EXPECT_EQ(result.status, c.status) << c.what << "\n" << result.output;
        EXPECT_EQ(fs::exists(root / "work/frames/0000002.png"), c.status == 0) << c.what;
        fs::remove_all(root);
    }
}

TEST(ManualPage, RendersWithoutWarningsAndDescribesEveryOption) {
    fs::path manual = sourcePath("docs/reelcap.1");
    RunResult lint = runCommand("groff -ww -z -man " + shellQuoted(manual.string()));
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.output, "");

    std::string text = readFile(manual);
    EXPECT_NE(text.find(std::string("\"reelcap ") + REELCAP_VERSION + "\""), std::string::npos)
        << "the .TH line names another version";
    // roff writes every hyphen of a name as "\-".
    auto escaped = [](std::string_view option) {
        return std::regex_replace(std::string(option), std::regex("-"), "\\\\-");
    };
    for (const OptionRow* row : tableRows(false)) {
        // Each has its paragraph: ".BI \-width" (-height shares that of -width).
        const std::string pattern = "\\n\\.BI? " + escaped(row->name) + "\\b|\\\"" + escaped(row->name) + " ";
        EXPECT_TRUE(std::regex_search(text, std::regex(pattern))) << row->name;
    }
    for (const OptionRow* row : tableRows(true)) {
        EXPECT_TRUE(std::regex_search(text, std::regex("\\n\\.BR? .*" + escaped(row->name) + "\\b"))) << row->name;
    }
    for (const std::string& codec : codecNames()) {
        EXPECT_TRUE(std::regex_search(text, std::regex("\\n\\.BR? " + codec + "\\b"))) << codec;
    }
}

std::string withSpacesJoined(const std::string& text) { return std::regex_replace(text, std::regex("\\s+"), " "); }

// The last "Frame N" progress line's N.
int lastFrame(const std::string& output) {
    int last = -1;
    const std::regex frame("(^|\n)Frame (\\d+)");
    for (std::sregex_iterator it(output.begin(), output.end(), frame), end; it != end; ++it) last = std::stoi((*it)[2]);
    return last;
}

TEST(ReadmeStatements, AgreeWithWhatTheProgramMakesOfTheSamples) {
    const std::string readme = withSpacesJoined(readFile(sourcePath("README.md")));
    const std::string manual = withSpacesJoined(readFile(sourcePath("docs/reelcap.1")));
    fs::path dir = makeTempDir();
    installFont(dir);

    // The timing table's row for the bundled demo: records, length, frames on either clock.
    std::smatch row;
    ASSERT_TRUE(std::regex_search(readme, row,
                                  std::regex("\\| `samples/demo\\.ttyrec` \\| (\\d+) \\| ([0-9.]+) s \\| "
                                             "(\\d+) frames, [0-9.]+ s \\| (\\d+) frames, [0-9.]+ s \\|")));
    const std::string demo = readFile(sourcePath("samples/demo.ttyrec"));
    std::vector<double> times;
    for (size_t at = 0; at + 12 <= demo.size();) {
        uint32_t header[3];  // seconds, microseconds, length (little-endian, as this machine)
        std::memcpy(header, demo.data() + at, sizeof header);
        times.push_back(header[0] + header[1] / 1e6);
        at += 12 + header[2];
    }
    EXPECT_EQ(std::to_string(times.size()), row[1].str());
    char length[32];
    std::snprintf(length, sizeof length, "%.2f", times.back() - times.front());
    EXPECT_EQ(length, row[2].str());
    const std::string demoPath = sourcePath("samples/demo.ttyrec").string();
    RunResult frameClock = runReelcap(dir, {demoPath, "-codec", "zmbv", "-output", "demo.avi"});
    RunResult realtime = runReelcap(dir, {demoPath, "-codec", "zmbv", "-realtime", "-output", "demo.avi"});
    EXPECT_EQ(std::to_string(lastFrame(frameClock.output)), row[3].str());
    EXPECT_EQ(std::to_string(lastFrame(realtime.output)), row[4].str());

    // An asciicast header's theme gives the colours, also beyond the terminal's current size
    // (hello-v3.cast is 80 x 24 at 3 s, its picture 100 x 40 cells).
    const fs::path hello = sourcePath("samples/hello-v3.cast");
    std::smatch background;
    const std::string cast = readFile(hello);
    ASSERT_TRUE(std::regex_search(cast, background, std::regex("\"bg\": \"#([0-9a-f]{6})\"")));
    ASSERT_EQ(runReelcap(dir, {hello.string(), "-at", "3", "-output", "own.png"}).status, 0);
    ASSERT_EQ(runReelcap(dir, {hello.string(), "-at", "3", "-theme", "classic", "-output", "classic.png"}).status, 0);
    PngImage own = readPng(dir / "own.png");
    PngImage classic = readPng(dir / "classic.png");
    ASSERT_EQ(own.width, 1000u);
    EXPECT_EQ(own.rgbAt(own.width - 1, own.height - 1), std::stoul(background[1].str(), nullptr, 16));
    EXPECT_EQ(classic.rgbAt(classic.width - 1, classic.height - 1), 0u);
    EXPECT_NE(readme.find("The header's `theme` gives the colours unless `-theme` is given"), std::string::npos);
    EXPECT_NE(readme.find("the area outside the current size is the theme's background"), std::string::npos);
    EXPECT_NE(manual.find("in the theme's background colour outside the current one"), std::string::npos);
    EXPECT_NE(manual.find("An asciicast recording's own theme applies unless this is given"), std::string::npos);
    fs::remove_all(dir);
}

TEST(ReadmeOptions, NameEveryOptionOfTheTable) {
    std::vector<std::string> readme = readmeOptions();
    std::vector<std::string> table;
    for (const OptionRow* row : tableRows(false)) table.emplace_back(row->name);
    EXPECT_EQ(std::set<std::string>(readme.begin(), readme.end()), std::set<std::string>(table.begin(), table.end()));
}

// What the completion offers for each option of the table, by the kind of its value.
TEST(BashCompletion, CompletesOptionsValuesAndFileNames) {
    fs::path dir = makeTempDir();
    for (const char* name : {"input.ttyrec", "input.cast", "other.txt"}) writeFile(dir / name, "");
    std::vector<std::string> options;
    for (const OptionRow* row : tableRows(false)) options.emplace_back(row->name);
    std::vector<std::string> firstOptions;
    for (const OptionRow* row : tableRows(true)) firstOptions.emplace_back(row->name);
    struct Case {
        std::vector<std::string> words;  // the command line so far, the last word being completed
        std::string expected;            // the completions, space-separated, each once
    };
    std::vector<Case> cases = {
        {{"reelcap", "--"}, "--help --version"},
        {{"reelcap", "-"}, joined(firstOptions)},
        {{"reelcap", "in"}, "input.cast input.ttyrec"},
        {{"reelcap", "input.ttyrec", "-EM"}, "-emulation"},
        {{"reelcap", "input.ttyrec", "-Emulation", "x"}, "xterm"},
        {{"reelcap", "input.ttyrec", "-png", "-"}, joined(options)},
    };
    for (const OptionRow* row : tableRows(false)) {
        std::string expected;
        std::vector<std::string> words;
        switch (row->kind) {
            case ValueKind::none:
                continue;
            case ValueKind::wholeNumber:
            case ValueKind::decimal:
            case ValueKind::time:
            case ValueKind::colour:
                break;
            case ValueKind::file:
                expected = "other.txt";
                break;
            case ValueKind::name:
            case ValueKind::nameOrFile:
                if (row->name == "-codec") {
                    words = codecNames();
                } else if (row->name == "-theme") {
                    words = themeNames();
                } else {
                    words.assign(row->choices.begin(), row->choices.end());
                }
                ASSERT_FALSE(words.empty()) << row->name;
                if (!row->listValue.empty()) words.emplace_back(row->listValue);
                expected = joined(words);
                break;
        }
        // Files starting with "o", every word, and nothing after a number or a time.
        const std::string typed = row->kind == ValueKind::file || row->kind == ValueKind::nameOrFile ? "o" : "";
        if (row->kind == ValueKind::nameOrFile) {
            expected = "other.txt";
            for (const std::string& word : words) {
                if (word.rfind("o", 0) == 0) expected += " " + word;
            }
        }
        cases.push_back({{"reelcap", "input.ttyrec", std::string(row->name), typed}, expected});
    }
    for (const Case& c : cases) {
        std::string words;
        // Appended in two steps: GCC 12's -O3 warns (-Wrestrict) on " " + a temporary string.
        for (const std::string& word : c.words) words.append(" ").append(shellQuoted(word));
        std::string script = "source " + shellQuoted(sourcePath("completion/reelcap.bash").string()) +
                             "; COMP_WORDS=(" + words + "); COMP_CWORD=" + std::to_string(c.words.size() - 1) +
                             "; _reelcap; printf '%s\\n' \"${COMPREPLY[@]}\"";
        RunResult result = runCommand("cd " + shellQuoted(dir.string()) + " && bash -c " + shellQuoted(script));
        std::istringstream lines(result.output);
        std::multiset<std::string> got;
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty()) got.insert(line);
        }
        std::istringstream wanted(c.expected);
        std::set<std::string> want{std::istream_iterator<std::string>(wanted), {}};
        EXPECT_EQ(got, std::multiset<std::string>(want.begin(), want.end())) << words;
    }
    fs::remove_all(dir);
}

}  // namespace
