#include "driver/help.h"

#include <lodepng.h>

#include <cstdio>
#include <string_view>

#include "driver/announce.h"
#include "driver/options.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr const char* kUsage[] = {
    "Usage: reelcap <input file> (options)",
    "Options: ",
    "\t-width (#columns)  Sets terminal width in characters",
    "\t-height (#rows)    Sets terminal height in characters",
    "\t-output (filename) Sets output AVI name (overwritten if it exists)",
    "\t-fps (#)           Sets frames-per-second of output AVI",
    "\t-skip (# frames)   Skip specified number of frames from start in output",
    "\t-stop (# frames)   Stop output after specified number of frames",
    "\t-double            Doubles the output frame size",
    "\t-png               Output a series of .PNG images containing the frames",
    " Parameters are optional, reelcap will default to a 80 x 25 terminal at 30 fps",
    " .PNG frames are output to a subdirectory named 'frames'",
    " .AVI movies are saved by default to 'output.avi'",
};

struct GroupTitle {
    OptionGroup group;
    const char* title;
};

constexpr GroupTitle kGroupTitles[] = {
    {OptionGroup::terminal, "The terminal:"},     {OptionGroup::output, "The output:"},
    {OptionGroup::timing, "Timing:"},             {OptionGroup::look, "The picture:"},
    {OptionGroup::messages, "Messages:"},         {OptionGroup::firstArgument, "As the first argument:"},
};

// The help column starts here; a longer name and value pushes it one space past them.
constexpr size_t kHelpColumn = 31;
constexpr double kShownBound = 1e9;

// A bound as the listing writes it: "4", "0.5", "10000".
std::string boundText(double bound) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", bound);
    return text;
}

// "  -width N                  terminal width ... (1 to 200)"; rows of one group with the same
// help (-h, --help, -help) share a line.
void printGroup(OptionGroup group) {
    const std::span<const OptionRow> table = optionTable();
    for (size_t i = 0; i < table.size(); ++i) {
        const OptionRow& row = table[i];
        if (row.group != group) continue;
        // Appended piece by piece: GCC 12's -O3 warns (-Wrestrict) on " " + a temporary string.
        std::string names(row.name);
        if (!row.valueName.empty()) names.append(" ").append(row.valueName);
        while (i + 1 < table.size() && table[i + 1].group == group && table[i + 1].help == row.help) {
            names.append(", ").append(table[++i].name);
        }
        std::string line = "  " + names;
        line += std::string(line.size() < kHelpColumn ? kHelpColumn - line.size() : 1, ' ');
        line += row.help;
        // A bound past any use (the latest time) is left out.
        if (row.range.high > row.range.low && row.range.high < kShownBound) {
            const std::string range = boundText(row.range.low) + " to " + boundText(row.range.high);
            line = line.back() == ')' ? line.substr(0, line.size() - 1) + "; " + range + ")" : line + " (" + range + ")";
        }
        printAlways(line);
    }
}

std::string libraryVersion(unsigned version) {
    return std::to_string(AV_VERSION_MAJOR(version)) + "." + std::to_string(AV_VERSION_MINOR(version)) + "." +
           std::to_string(AV_VERSION_MICRO(version));
}

}  // namespace

void printUsage() {
    printAlways("");
    for (const char* line : kUsage) printAlways(line);
}

void printHelp() {
    printUsage();
    printAlways("");
    printAlways("Every option (names ignore letter case; man reelcap describes each):");
    for (const GroupTitle& title : kGroupTitles) {
        printAlways(title.title);
        printGroup(title.group);
    }
    printAlways("");
    printAlways("A movie or picture named right after the recording is the output, as with -output:");
    printAlways("  reelcap demo.cast demo.gif");
}

void printVersions() {
    std::printf("reelcap %s\n", REELCAP_VERSION);
    std::printf("FFmpeg %s\n", av_version_info());
    std::printf("libavformat %s\n", libraryVersion(avformat_version()).c_str());
    std::printf("libavcodec %s\n", libraryVersion(avcodec_version()).c_str());
    std::printf("libavutil %s\n", libraryVersion(avutil_version()).c_str());
    std::printf("libswscale %s\n", libraryVersion(swscale_version()).c_str());
    std::printf("libvterm %s\n", REELCAP_VTERM_VERSION);
    std::printf("LodePNG %s\n", LODEPNG_VERSION_STRING);
    std::fflush(stdout);
}

std::string codecsHeldBy(MovieContainer container) {
    const CodecChoice* first = defaultCodecChoice(container);
    std::string names = first != nullptr ? first->name : "";
    for (const CodecChoice& choice : codecChoices()) {
        if (&choice == first || !movieContainerHolds(container, choice.fourcc)) continue;
        names += (names.empty() ? "" : ", ") + std::string(choice.name);
    }
    return names;
}

void printCodecList() {
    for (const CodecChoice& choice : codecChoices()) {
        std::printf("%-6s %s\n", choice.name, choice.description);
    }
    std::printf("The -output name's extension picks the container, which holds (first: the default):\n");
    for (const MovieContainerInfo& info : movieContainers()) {
        std::printf("  %-6s %s\n", info.extension, codecsHeldBy(info.container).c_str());
    }
    std::fflush(stdout);
}
