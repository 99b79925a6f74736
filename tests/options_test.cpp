// The options table in process: parsing into settings or a message, -quiet's early scan, and
// the -h listing.

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/help.h"
#include "driver/options.h"
#include "test_support.h"

namespace {

std::vector<std::string> commandLine(const std::vector<std::string>& options) {
    std::vector<std::string> arguments{"reelcap", "rec.ttyrec"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return arguments;
}

// The settings that differ from the defaults, as "name=value" words in a fixed order.
std::string changes(const RunSettings& s) {
    const RunSettings d;
    std::ostringstream out;
    auto note = [&](const char* name, auto value, auto fallback) {
        if (value != fallback) out << name << "=" << value << " ";
    };
    note("columns", s.columns, d.columns);
    note("columnsGiven", s.columnsGiven, d.columnsGiven);
    note("rows", s.rows, d.rows);
    note("rowsGiven", s.rowsGiven, d.rowsGiven);
    note("fps", s.fps, d.fps);
    note("frameInterval", s.frameInterval, d.frameInterval);
    note("sizeFactor", s.sizeFactor, d.sizeFactor);
    note("movieOutput", s.movieOutput, d.movieOutput);
    note("skip", s.skipFrames, d.skipFrames);
    note("stop", s.stopFrame, d.stopFrame);
    note("output", s.outputName, d.outputName);
    note("outputGiven", s.outputGiven, d.outputGiven);
    note("codec", s.codecName, d.codecName);
    note("emulation", static_cast<int>(s.emulation), static_cast<int>(d.emulation));
    note("statusLine", s.statusLine, d.statusLine);
    note("quiet", s.quiet, d.quiet);
    note("font", s.font, d.font);
    note("fontSize", s.fontSize, d.fontSize);
    note("lineHeight", s.lineHeight, d.lineHeight);
    note("themeGiven", s.themeGiven, d.themeGiven);
    note("boldBright", s.boldBright, d.boldBright);
    note("padding", s.padding, d.padding);
    note("cursor", static_cast<int>(s.cursor), static_cast<int>(d.cursor));
    note("window", s.window.shown, d.window.shown);
    note("margin", s.window.margin, d.window.margin);
    note("marginColour", s.window.marginColour, d.window.marginColour);
    note("realtime", s.realtime, d.realtime);
    note("idle", s.idleSeconds, d.idleSeconds);
    note("speed", s.speed, d.speed);
    note("last", s.lastSeconds, d.lastSeconds);
    for (auto [name, point] : {std::pair{"from", s.from}, std::pair{"to", s.to}, std::pair{"at", s.at}}) {
        if (point.given) out << name << "=" << (point.marker > 0 ? "marker" + std::to_string(point.marker)
                                                                  : std::to_string(point.micros)) << " ";
    }
    std::string text = out.str();
    return text.empty() ? text : text.substr(0, text.size() - 1);
}

TEST(Options, ParseValuesInOrderIgnoringCaseAndUnknownArguments) {
    struct Case {
        std::vector<std::string> options;
        std::string expected;  // changes()
    };
    const Case cases[] = {
        {{}, ""},
        {{"-fps", "7", "-FPS", "12"}, "fps=12 frameInterval=83333"},
        {{"-Width", "100", "-HEIGHT", "40"}, "columns=100 columnsGiven=1 rows=40 rowsGiven=1"},
        {{"-width", " 90x", "-height", "80"}, "columns=90 columnsGiven=1 rows=80 rowsGiven=1"},
        {{"-width", "201", "-width", "80"}, "columnsGiven=1"},  // the later one counts: 80
        {{"-skip", "4294967297"}, "skip=2147483647"},
        {{"-stop", "-skip", "5"}, "stop=0"},  // a value is the next argument, whatever it looks like
        {{"-unknown", "-png", "x", "-h", "--version"}, "movieOutput=0"},
        {{"-double", "-realtime", "-progress", "-quiet"}, "sizeFactor=2 statusLine=1 quiet=1 realtime=1"},
        {{"-output", "a.mp4", "-codec", "ZMBV"}, "output=a.mp4 outputGiven=1 codec=ZMBV"},
        {{"-emulation", "XTERM", "-skip", "3", "-stop", "9"}, "skip=3 stop=9 emulation=1"},
        {{"-idle", "0.5", "-speed", "10000", "-last", ".5"}, "idle=0.5 speed=10000 last=0.5"},
        {{"-speed", "0.01", "-last", "0"}, "speed=0.01 last=0"},
        {{"-from", "1:02:03.5", "-to", "MARKER:3", "-at", "90"}, "from=3723500000 to=marker3 at=90000000"},
        {{"-font", "x.ttf", "-font-size", "4", "-line-height", "0.5"}, "font=x.ttf fontSize=4 lineHeight=0.5"},
        {{"-font-size", "200", "-line-height", "4"}, "font=monospace fontSize=200 lineHeight=4"},
        {{"-line-height", "2", "-font", "x.ttf"}, "font=x.ttf lineHeight=2"},
        {{"-bold-bright", "Off", "-cursor", "BAR", "-padding", "500"}, "boldBright=0 padding=500 cursor=2"},
        {{"-bold-bright", "on", "-cursor", "block", "-padding", "0"}, "boldBright=1 cursor=1"},
        {{"-theme", "nord"}, "themeGiven=1"},
        {{"-window", "-margin", "0", "-margin-color", "#33669a", "-margin-color", "FFFFFF"},
         "window=1 margin=0 marginColour=16777215"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> arguments = commandLine(c.options);
        const ParsedOptions parsed = parseOptions(arguments, RunSettings{});
        EXPECT_EQ(parsed.error, "") << c.expected;
        EXPECT_EQ(parsed.listing, nullptr) << c.expected;
        EXPECT_EQ(changes(parsed.settings), c.expected);
        EXPECT_EQ(parsed.settings.inputPath, "rec.ttyrec");
    }
}

TEST(Options, FirstErrorOrListingStopsParsing) {
    struct Case {
        std::vector<std::string> options;
        std::string error;  // "": the -codec listing
    };
    const Case cases[] = {
        {{"-font-size", "3"}, "Error: -font-size must be between 4 and 200, not 3."},
        {{"-font-size", "201"}, "Error: -font-size must be between 4 and 200, not 201."},
        {{"-line-height", "0.4"}, "Error: -line-height must be a number from 0.5 to 4, not \"0.4\"."},
        {{"-line-height", "1x"}, "Error: -line-height must be a number from 0.5 to 4, not \"1x\"."},
        {{"-padding", "501"}, "Error: -padding must be a whole number of pixels from 0 to 500, not \"501\"."},
        {{"-padding", "-1"}, "Error: -padding must be a whole number of pixels from 0 to 500, not \"-1\"."},
        {{"-margin", "8px"}, "Error: -margin must be a whole number of pixels from 0 to 500, not \"8px\"."},
        {{"-margin-color", "#12345"},
         "Error: -margin-color must be a colour #RRGGBB (quoted: '#2E3440'), or RRGGBB, not \"#12345\"."},
        {{"-speed", "0.001"}, "Error: -speed must be a number from 0.01 to 10000, not \"0.001\"."},
        {{"-speed", "10001"}, "Error: -speed must be a number from 0.01 to 10000, not \"10001\"."},
        {{"-idle", "0"}, "Error: -idle must be a number of seconds above 0, not \"0\"."},
        {{"-last", "-1"}, "Error: -last must be a number of seconds from 0 on, not \"-1\"."},
        {{"-from", "1.5:00"}, "Error: -from must be seconds (12.5), [h:]mm:ss or marker:N, not \"1.5:00\"."},
        {{"-to", "marker:0"}, "Error: -to must be seconds (12.5), [h:]mm:ss or marker:N, not \"marker:0\"."},
        {{"-at", "1:2:3:4"}, "Error: -at must be seconds (12.5), [h:]mm:ss or marker:N, not \"1:2:3:4\"."},
        {{"-bold-bright", "yes"}, "Error: -bold-bright takes on or off, not \"yes\"."},
        {{"-cursor", "box"}, "Error: -cursor takes block, bar or underline, not \"box\"."},
        {{"-chapters", "maybe"}, "Error: -chapters takes on or off, not \"maybe\"."},
        {{"-chapter-every", "0.5"}, "Error: -chapter-every must be a number of seconds from 1 on, not \"0.5\"."},
        {{"-emulation", "vt100"}, "Error: unknown emulation \"vt100\"; the choices are basic and xterm."},
        {{"-codec", "nosuch"}, "Error: unknown codec \"nosuch\"; -codec list shows the choices."},
        {{"-font-size", "1", "-codec", "nosuch"}, "Error: -font-size must be between 4 and 200, not 1."},
        {{"-font-size", "1", "-codec", "list"}, "Error: -font-size must be between 4 and 200, not 1."},
        {{"-codec", "List", "-font-size", "1"}, ""},
    };
    for (const Case& c : cases) {
        const ParsedOptions parsed = parseOptions(commandLine(c.options), RunSettings{});
        EXPECT_EQ(parsed.error, c.error);
        EXPECT_EQ(parsed.listing, c.error.empty() ? findOption("-codec") : nullptr) << c.error;
    }
    // The margin frames -window's window: alone, it is left aside with a word.
    EXPECT_EQ(parseOptions(commandLine({"-margin", "4"}), RunSettings{}).warnings.size(), 1u);
    EXPECT_TRUE(parseOptions(commandLine({"-margin", "4", "-window"}), RunSettings{}).warnings.empty());
    // What was read before the stop stays: -png's directory is made before the message.
    EXPECT_FALSE(parseOptions(commandLine({"-png", "-speed", "0"}), RunSettings{}).settings.movieOutput);
    EXPECT_TRUE(parseOptions(commandLine({"-speed", "0", "-png"}), RunSettings{}).settings.movieOutput);
}

TEST(Options, EveryOptionWithAValueSaysWhenItIsMissing) {
    size_t checked = 0;
    for (const OptionRow& row : optionTable()) {
        if (row.set == nullptr || row.kind == ValueKind::none) continue;
        const ParsedOptions parsed = parseOptions(commandLine({"-png", std::string(row.name)}), RunSettings{});
        EXPECT_EQ(parsed.error, row.missing) << row.name;
        EXPECT_EQ(parsed.error.rfind("Error: ", 0), 0u) << row.name;
        ++checked;
    }
    EXPECT_EQ(checked, 29u);
    EXPECT_EQ(parseOptions(commandLine({"-SKIP"}), RunSettings{}).error, "Error: need to specify number of frames to skip.");
}

TEST(Options, DefaultsStayAndTheRecordingIsTheFirstArgument) {
    RunSettings defaults;
    defaults.plainPaths = true;
    const std::vector<std::string> arguments{"reelcap", "-png", "-width", "90"};
    const ParsedOptions parsed = parseOptions(arguments, defaults);
    EXPECT_TRUE(parsed.settings.plainPaths);
    EXPECT_EQ(parsed.settings.inputPath, "-png");
    EXPECT_TRUE(parsed.settings.movieOutput);
    EXPECT_EQ(parsed.settings.columns, 90);
}

TEST(Options, QuietIsFoundBeforeParsingSteppingOverValues) {
    struct Case {
        std::vector<std::string> arguments;
        bool quiet;
    };
    const Case cases[] = {
        {{"reelcap", "rec", "-QUIET"}, true},
        {{"reelcap", "rec", "-codec", "list", "-quiet"}, true},
        {{"reelcap", "rec", "-codec", "nosuch", "-quiet"}, true},
        {{"reelcap", "rec", "-output", "-quiet"}, false},
        {{"reelcap", "-quiet", "-png"}, false},
        {{"reelcap", "rec", "-png", "x", "-quiet"}, true},
    };
    for (const Case& c : cases) EXPECT_EQ(quietAsked(c.arguments), c.quiet) << c.arguments.back();
}

// Every row has one line, under its group, in the order of the table, after the usage text.
TEST(Options, HelpListsEveryOptionAfterTheUsage) {
    testing::internal::CaptureStdout();
    printUsage();
    const std::string usage = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    printHelp();
    const std::string help = testing::internal::GetCapturedStdout();
    ASSERT_EQ(help.substr(0, usage.size()), usage);
    EXPECT_NE(help.find("man reelcap"), std::string::npos);
    std::istringstream lines(help.substr(usage.size()));
    std::vector<std::string> listed;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  -", 0) == 0) listed.push_back(line);
    }
    size_t next = 0;
    std::set<OptionGroup> groupsDone;
    OptionGroup group = optionTable()[0].group;
    for (const OptionRow& row : optionTable()) {
        if (row.group != group) {
            groupsDone.insert(group);
            group = row.group;
        }
        EXPECT_EQ(groupsDone.count(row.group), 0u) << row.name << " is apart from its group";
        // Rows that share their help share a line.
        if (next > 0 && listed[next - 1].find(", " + std::string(row.name)) != std::string::npos) continue;
        ASSERT_LT(next, listed.size()) << row.name;
        const std::string& line = listed[next++];
        // Appended piece by piece: GCC 12's -O3 warns (-Wrestrict) on " " + a temporary string.
        std::string names = "  ";
        names.append(row.name);
        if (!row.valueName.empty()) names.append(" ").append(row.valueName);
        EXPECT_EQ(line.rfind(names, 0), 0u) << line;
        // A range joins the help's closing parenthesis.
        std::string help(row.help);
        if (help.back() == ')') help.pop_back();
        EXPECT_NE(line.find(help), std::string::npos) << line;
    }
    EXPECT_EQ(next, listed.size());
    EXPECT_NE(help.find(" terminal width in characters (80, or an asciicast file's own; 1 to 200)\n"),
              std::string::npos)
        << help;
}

}  // namespace
