// What an install holds besides the binary: the font found from bin/ through share/reelcap/,
// the manual page and the bash completion, held against the README's option table and the
// program's own compressor list.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/compression_dialog.h"
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
    };
    const Case cases[] = {
        {"installed font", true, false, 0},
        {"installed font, started through a link", true, true, 0},
        {"no font anywhere", false, false, 1},
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
    std::vector<std::string> options = readmeOptions();
    ASSERT_GE(options.size(), 10u);
    for (const std::string& option : options) {
        // roff writes every hyphen of a name as "\-".
        std::string escaped = std::regex_replace(option, std::regex("-"), "\\\\-");
        EXPECT_TRUE(std::regex_search(text, std::regex("\\n\\.BI? " + escaped + "\\b"))) << option;
    }
    for (const std::string& codec : codecNames()) {
        EXPECT_TRUE(std::regex_search(text, std::regex("\\n\\.BR? " + codec + "\\b"))) << codec;
    }
}

TEST(BashCompletion, CompletesOptionsValuesAndFileNames) {
    fs::path dir = makeTempDir();
    for (const char* name : {"input.ttyrec", "input.cast", "other.txt"}) writeFile(dir / name, "");
    std::string codecs = "list";
    for (const std::string& codec : codecNames()) codecs += " " + codec;
    std::string options;
    for (const std::string& option : readmeOptions()) options += (options.empty() ? "" : " ") + option;
    struct Case {
        std::vector<std::string> words;  // the command line so far, the last word being completed
        std::string expected;            // the completions, space-separated, each once
    };
    const Case cases[] = {
        {{"reelcap", "--"}, "--help --version"},
        {{"reelcap", "in"}, "input.cast input.ttyrec"},
        {{"reelcap", "input.ttyrec", "-EM"}, "-emulation"},
        {{"reelcap", "input.ttyrec", "-codec", ""}, codecs},
        {{"reelcap", "input.ttyrec", "-Emulation", "x"}, "xterm"},
        {{"reelcap", "input.ttyrec", "-output", "o"}, "other.txt"},
        {{"reelcap", "input.ttyrec", "-fps", ""}, ""},
        {{"reelcap", "input.ttyrec", "-png", "-"}, options + " -progress -quiet"},
    };
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
