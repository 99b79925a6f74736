// The bytes libvterm receives for the recorded ones: payloads go in one after another (state
// carries across them) and each gives what the filter passes on for it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/xterm_input_filter.h"
#include "test_support.h"

namespace {

// Widths as libvterm gives them, for the characters the cases use.
CharacterMeasure widthOf(uint32_t codePoint) {
    if (codePoint >= 0x300 && codePoint < 0x370) return {0, codePoint};  // combining marks
    if (codePoint >= 0x4E00 && codePoint < 0xA000) return {2, codePoint};  // CJK ideographs
    if (codePoint == 0x1F973) return {2, 0x3C000};  // wide, given to libvterm as a character it knows wide
    return {1, codePoint};
}

struct Step {
    std::string in;   // one payload, escaped as in the case files
    std::string out;  // what libvterm receives for it
};

struct FilterCase {
    std::string name;
    std::vector<Step> steps;
};

std::string times(int count, const std::string& text) {
    std::string out;
    for (int i = 0; i < count; ++i) out += text;
    return out;
}

std::string parameters(int from, int to) {
    std::string out;
    // Appended in two steps: GCC 12's -O3 warns (-Wrestrict) on ";" + a temporary string.
    for (int i = from; i <= to; ++i) out.append(i > from ? ";" : "").append(std::to_string(i));
    return out;
}

// Every case has a screen of 10 columns by 3 rows.
const std::vector<FilterCase> kCases = {
    {"text and controls pass", {{"ab\\r\\n\\t\\b\\u{E9}", "ab\\r\\n\\t\\b\\u{E9}"}}},
    {"utf-8 cut by payloads is held until whole", {{"x\\xe4\\xb8", "x"}, {"\\xad", "\\xe4\\xb8\\xad"}, {"\\xc3", ""}, {"\\xa9z", "\\xc3\\xa9\\x00z"}}},
    {"utf-8 start cut by ESC goes on as U+FFFD before it", {{"\\xe4\\e[m", "\\u{FFFD}\\e[m"}}},
    {"utf-8 start cut by another goes on as U+FFFD", {{"\\xe4a", "\\u{FFFD}\\x00a"}}},
    {"utf-8 that is not well formed goes on as U+FFFD",
     {{"\\x80\\xf5\\xc0\\xaf\\xe0\\x80\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80", "\\u{FFFD}\\u{FFFD}\\u{FFFD}\\u{FFFD}\\u{FFFD}\\u{FFFD}\\u{FFFD}"}}},
    {"sequence cut by payloads is sent whole", {{"\\e", ""}, {"[3", ""}, {"1m", "\\e[31m"}}},
    {"control inside a sequence acts first", {{"\\e[3\\n1m", "\\n\\e[31m"}, {"\\e\\r7", "\\r\\e7"}}},
    {"sequence cut by ESC is dropped", {{"\\e[31\\e[32m", "\\e[32m"}, {"\\e(\\e7", "\\e7"}}},
    {"CAN and SUB cancel a sequence", {{"\\e[31\\x18x", "\\x18x"}, {"\\e[1\\x1ay", "\\x1ay"}, {"\\xe4\\x18", "\\u{FFFD}\\x18"}}},
    {"escape with intermediates passes", {{"\\e(0q\\e(B\\e#8", "\\e(0q\\e(B\\e#8"}}},
    {"a byte beyond ASCII ends a control sequence and is dropped", {{"\\e[1\\xe4\\xa9x", "\\u{FFFD}\\x00x"}}},
    {"DEL after ESC is ignored", {{"\\e\\x7f7", "\\e7"}}},
    {"OSC and DCS pass to their end", {{"\\e]0;title\\aA\\ePq\\e\\\\B", "\\e]0;title\\aA\\ePq\\e\\\\B"}}},
    {"DECRQSS is dropped whole",
     {{"\\eP$qm\\e\\\\A\\eP$q x\\aB", "AB"}, {"\\eP$", ""}, {"q\\e[1mC", "\\e[1mC"}, {"\\eP$x\\e\\\\", "\\eP$x\\e\\\\"}}},
    {"DECRQSS is found past controls, which act at once, and DEL", {{"\\eP$\\bq x\\e\\\\", "\\b"}, {"\\eP\\x7f$q\\x00\\a", ""}}},
    {"OSC cut by ESC is ended before the new sequence", {{"\\e]2;t\\e[s", "\\e]2;t\\e\\\\\\e7"}}},
    {"OSC after intermediates drops them", {{"\\e(]0;t\\a", "\\e]0;t\\a"}}},
    {"CSI ? 47 is the alternate screen 1047", {{"\\e[?47h", "\\e[?1047h"}, {"\\e[?47l", "\\e[?1047l"}}},
    {"several modes become one sequence each", {{"\\e[?1;47;25h", "\\e[?1h\\e[?1047h\\e[?25h"}, {"\\e[?7;1049l", "\\e[?7l\\e[?1049l"}}},
    {"ESC 8 restores the cursor as DECRST 1048", {{"\\e8\\e#8", "\\e[?1048l\\e#8"}}},
    {"CSI s and CSI u save and restore the cursor", {{"\\e[s\\e[u", "\\e7\\e[?1048l"}, {"\\e[1s\\e[2u", "\\e[1s\\e[2u"}}},
    {"CSI s sets margins while DECLRMM is on",
     {{"\\e[?69h\\e[s\\e[u", "\\e[?69h\\e[s\\e[?1048l"}, {"\\e[?69l\\e[s", "\\e[?69l\\e7"}}},
    {"other sequences pass unchanged", {{"\\e[2J\\e[>c\\e[?25$p\\e[ q", "\\e[2J\\e[>c\\e[?25$p\\e[ q"}}},
    {"ASCII after a character beyond it follows a NUL", {{"\\u{E9}(\\u{2500}\\n", "\\u{E9}\\x00(\\u{2500}\\x00\\n"}}},
    {"REP sends the last character again", {{"a\\e[3b", "aaaa"}, {"\\e[b\\e[0b", "aa"}}},
    {"REP repeats a character of two cells and of utf-8", {{"\\u{4E2D}\\e[2b", times(3, "\\u{4E2D}")}, {"\\u{E9}\\e[b", "\\u{E9}\\u{E9}"}}},
    {"a character is passed on as its stand-in, REP included", {{"\\u{1F973}\\e[b", "\\u{3C000}\\u{3C000}"}}},
    {"REP without a character before does nothing", {{"\\e[5b", ""}}},
    {"REP skips characters without width", {{"\\e[1bx\\u{301}\\e[2b", "x\\x00\\u{301}\\x00xx"}}},
    {"REP after a control repeats the character before it", {{"y\\r\\e[2b", "y\\ryy"}}},
    {"REP with a leader or intermediates passes", {{"a\\e[?2b\\e[2 b", "a\\e[?2b\\e[2 b"}}},
    // On 10 x 3 cells: a screenful and a line (40), then what is left of a line; a count reads
    // as 2^30 at the most.
    {"REP past a screenful keeps only the column", {{"a\\e[1000005b", times(1 + 45, "a")}, {"\\e[99999999999b", times(44, "a")}}},
    {"more than 16 parameters are cut to 16",
     {{"\\e[" + parameters(1, 20) + "r", "\\e[" + parameters(1, 16) + "r"},
      {"\\e[1:2:3:4:5:6:7:8:9:10:11:12:13:14:15:16:17;18H", "\\e[1:2:3:4:5:6:7:8:9:10:11:12:13:14:15:16H"}}},
    {"a long SGR is sent as several", {{"\\e[" + parameters(1, 20) + "m", "\\e[" + parameters(1, 16) + "m\\e[" + parameters(17, 20) + "m"}}},
    {"a long SGR keeps colours whole",
     {{"\\e[" + times(14, "1;") + "38;2;1;2;3;48;5;9m", "\\e[" + times(13, "1;") + "1m\\e[38;2;1;2;3;48;5;9m"}}},
    {"a sequence is kept to 1024 bytes", {{"\\e[" + times(2000, "1") + "m", "\\e[" + times(1022, "1") + "m"}}},
};

TEST(XtermInputFilter, PassesOnWhatLibvtermCanTake) {
    for (const FilterCase& filterCase : kCases) {
        SCOPED_TRACE(filterCase.name);
        XtermInputFilter filter;
        filter.screenColumns = 10;
        filter.screenCells = 30;
        for (size_t i = 0; i < filterCase.steps.size(); ++i) {
            std::string in = decodeEscapes(filterCase.steps[i].in);
            std::string out;
            filterXtermInput(filter, std::span(reinterpret_cast<const uint8_t*>(in.data()), in.size()), widthOf, out);
            EXPECT_EQ(out, decodeEscapes(filterCase.steps[i].out)) << "payload " << i + 1;
        }
    }
}

}  // namespace
