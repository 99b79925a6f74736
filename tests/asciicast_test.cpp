#include "playback/asciicast.h"
#include "playback/recording.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::span<const uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The output events as the ttyrec records of their times and data.
std::string recordsText(const AsciicastRecording& recording) {
    std::string text;
    for (const StoredEvent& event : recording.events) {
        if (event.kind != EventKind::output) continue;
        text += ttyrecRecord(static_cast<uint32_t>(event.time / 1000000), static_cast<uint32_t>(event.time % 1000000),
                             event.data);
    }
    return text;
}

// Resizes, then markers, one line each: "r INDEX OFFSET TIME COLSxROWS", "m INDEX OFFSET TIME
// LABEL", where INDEX is the number of output events before it and OFFSET where the next one's
// record starts in recordsText.
std::string eventsText(const AsciicastRecording& recording) {
    std::string resizes;
    std::string markers;
    size_t index = 0;
    size_t offset = 0;
    for (const StoredEvent& event : recording.events) {
        const std::string place = std::to_string(index) + " " + std::to_string(offset) + " " + std::to_string(event.time);
        if (event.kind == EventKind::output) {
            ++index;
            offset += 12 + event.data.size();
        } else if (event.kind == EventKind::resize) {
            resizes += "r " + place + " " + std::to_string(event.columns) + "x" + std::to_string(event.rows) + "\n";
        } else if (event.kind == EventKind::marker) {
            markers += "m " + place + " " + event.data + "\n";
        }
    }
    return resizes + markers;
}

const std::string kHeader = R"({"version": 2, "width": 100, "height": 30, "timestamp": 1700000000})";

// A version 2 header with a theme; palette holds count colours.
std::string themedHeader(const std::string& fg, const std::string& bg, int count, const std::string& end = "") {
    std::string palette;
    for (int i = 0; i < count; ++i) palette += (i == 0 ? "#00000" : ":#00000") + std::to_string(i % 10);
    return R"({"version": 2, "theme": {"fg": )" + fg + R"(, "bg": )" + bg + R"(, "palette": ")" + palette + end +
           "\"}}\n";
}

TEST(AsciicastTest, OnlyAFirstLineObjectWithAVersionIsAsciicast) {
    struct Case {
        std::string data;
        bool expected;
    };
    const Case cases[] = {
        {kHeader + "\n[0.5, \"o\", \"hi\"]\n", true},
        {kHeader, true},                                  // nothing but the header
        {"\xEF\xBB\xBF  " + kHeader + "\r\n", true},      // byte order mark, blanks, CR LF
        {R"({"version": 4, "stdout": []})", true},         // refused when converted, not played as ttyrec
        {R"({"width": 80})" "\n", false},
        {"[0.5, \"o\", \"hi\"]\n", false},
        {"{\n  \"version\": 2\n}\n", false},               // a header must be one line
        {"{\n  \"version\": 1\n}\n", true},                // but version 1 is one object on any lines
        {"{\"stdout\": [[0, \"{\"]],\n\"env\": {\"version\": 1},\n \"version\": 1.0\n", true},
        {"{\"env\": {\"version\": 1}\n}\n", false},
        {"{\n  \"version\" 1\n}\n", false},
        {"", false},
        {"{", false},
        {ttyrecRecord(1000, 0, "{\"version\": 2}\n"), false},
        {ttyrecRecord(123, 0, "hello"), false},            // 123 is '{'
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isAsciicast(bytesOf(c.data)), c.expected) << c.data;
    }
}

TEST(AsciicastTest, OutputEventsBecomeRecordsAtTheirTimes) {
    const std::string cast = kHeader + "\n" +
                             "[0, \"o\", \"plain\"]\n"
                             "[0.25, \"i\", \"typed keys are left out\"]\n"
                             "\n"
                             "  \t\r\n"
                             "[1.5, \"o\", \"\\u001b[31mr\\u00e9d \\ud83d\\ude00\"]\r\n"
                             "[2.000001, \"m\", \"a marker\"]\n"
                             "[2.25, \"r\", \"90x40\"]\n"
                             "[3, \"o\", \"\"]\n"
                             "[4.9999996, \"o\", \"é ✓\"]";
    AsciicastRecording recording;
    std::string error;
    ASSERT_TRUE(convertAsciicast(bytesOf(cast), recording, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(recording.columns, 100);
    EXPECT_EQ(recording.rows, 30);
    // Escapes and text alike become their UTF-8 bytes; times round to whole microseconds.
    EXPECT_EQ(recordsText(recording), ttyrecRecord(1700000000, 0, "plain") +
                                          ttyrecRecord(1700000001, 500000, "\x1b[31mr\xC3\xA9" "d \xF0\x9F\x98\x80") +
                                          ttyrecRecord(1700000003, 0, "") +
                                          ttyrecRecord(1700000005, 0, "\xC3\xA9 \xE2\x9C\x93"));
    // The resize and the marker fall after the second record, which ends at byte 43.
    EXPECT_EQ(eventsText(recording), "r 2 43 1700000002250000 90x40\n"
                                     "m 2 43 1700000002000001 a marker\n");
    EXPECT_EQ(recording.version, 2);
    EXPECT_EQ(recording.largestColumns, 100);
    EXPECT_EQ(recording.largestRows, 40);
    EXPECT_EQ(recording.startTime, 1700000000000000);
    EXPECT_EQ(recording.endTime, 1700000005000000);
    EXPECT_FALSE(recording.idleTimeLimit.has_value());
    EXPECT_FALSE(recording.theme.has_value());
}

TEST(AsciicastTest, HeaderWithoutSizeOrTimestamp) {
    const std::string cast = "{\"version\": 2}\n[0.000001, \"o\", \"a\"]\n[61.75, \"o\", \"b\"]\n";
    AsciicastRecording recording;
    std::string error;
    ASSERT_TRUE(convertAsciicast(bytesOf(cast), recording, error)) << error;
    EXPECT_EQ(recording.columns, 0);
    EXPECT_EQ(recording.rows, 0);
    EXPECT_EQ(recordsText(recording), ttyrecRecord(0, 1, "a") + ttyrecRecord(61, 750000, "b"));
}

const std::string kVersion3Header = R"({"version": 3, "term": {"cols": 80, "rows": 24}})";
const std::string kVersion1Start = "{\n  \"version\": 1,\n  \"width\": 80,\n  \"stdout\": [\n";  // lines 1 to 4

TEST(AsciicastTest, MalformedLinesAreNamed) {
    struct Case {
        std::string data;
        std::string error;
    };
    auto resize = [](const std::string& data) -> Case {
        return {kHeader + "\n[1, \"r\", " + data + "]\n",
                "line 2: the data of an \"r\" event must be a size \"COLSxROWS\", not " + data};
    };
    const std::string event = "\n[1, \"o\", \"x\"]\n";
    const Case cases[] = {
        {"{\"version\": 2\n", "line 1: not valid JSON (column 14: syntax error while parsing object - unexpected end "
                              "of input; expected '}')"},
        {"{\"version\": 1}" + event,  // version 1 is one object, whatever the lines
         "line 2: not valid JSON (column 1: syntax error while parsing value - unexpected '['; expected end of input)"},
        {"{\"version\": \"2\"}" + event, "line 1: asciicast version \"2\"; only versions 1, 2 and 3 are read"},
        {"{\"version\": 2, \"width\": 0}" + event, "line 1: \"width\" must be a whole number from 1 to 2147483647, not 0"},
        {"{\"version\": 2, \"height\": 24.5}" + event,
         "line 1: \"height\" must be a whole number from 1 to 2147483647, not 24.5"},
        {"{\"version\": 2, \"width\": \"80\"}" + event,
         "line 1: \"width\" must be a whole number from 1 to 2147483647, not \"80\""},
        {"{\"version\": 2, \"width\": 3000000000}" + event,
         "line 1: \"width\" must be a whole number from 1 to 2147483647, not 3000000000"},
        {"{\"version\": 2, \"timestamp\": -5}" + event,
         "line 1: \"timestamp\" must be a whole number from 0 to 4294967295, not -5"},
        {kHeader + event + "[2, \"o\", x]\n", "line 3: not valid JSON (column 10: syntax error while parsing value - "
                                               "invalid literal)"},
        {kHeader + event + "[2, \"o\", \"\xFF\"]\n",
         "line 3: not valid JSON (column 11: syntax error while parsing value - invalid string: ill-formed UTF-8 "
         "byte)"},
        {kHeader + event + "[2, \"o\", \"x\"] [3]\n",
         "line 3: not valid JSON (column 15: syntax error while parsing value - unexpected '['; expected end of "
         "input)"},
        {kHeader + "\n[1e999, \"o\", \"x\"]\n", "line 2: not valid JSON (number overflow parsing '1e999')"},
        {kHeader + "\n{\"time\": 1}\n", "line 2: an event must be [time, type, data]"},
        {kHeader + "\n[1, \"o\"]\n", "line 2: an event must be [time, type, data]"},
        {kHeader + "\n[1, \"o\", \"x\", 4]\n", "line 2: an event must be [time, type, data]"},
        {kHeader + "\n[1, 111, \"x\"]\n", "line 2: an event must be [time, type, data]"},
        {kHeader + "\n[-0.5, \"o\", \"x\"]\n", "line 2: the event time must be a number of seconds from 0 on, not -0.5"},
        {kHeader + "\n[\"1\", \"o\", \"x\"]\n",
         "line 2: the event time must be a number of seconds from 0 on, not \"1\""},
        {kHeader + "\n[4e9, \"o\", \"x\"]\n",  // past the 32-bit seconds of a record
         "line 2: the event time must be a number of seconds from 0 on, not 4000000000.0"},
        {kHeader + "\n[1, \"o\", [120]]\n", "line 2: the data of an \"o\" event must be a string"},
        {kHeader + "\n\n\n[1, \"o\", \"x\"]\n[2, \"o\", \"y\"\n", "line 5: not valid JSON (column 13: syntax error "
                                                                  "while parsing array - unexpected end of input; "
                                                                  "expected ']')"},
        // Version 2: what later playing uses is checked too.
        {kHeader + "\n# a comment is no event in version 2\n",
         "line 2: not valid JSON (column 1: syntax error while parsing value - invalid literal)"},
        resize("\"90\""),
        resize("\"0x5\""),
        resize("\"x30\""),
        resize("\"90x30x\""),
        resize("\"9 x30\""),
        resize("\"90x2147483648\""),
        resize("90"),
        {kHeader + "\n[1, \"m\", null]\n", "line 2: the data of an \"m\" event must be a string, its label"},
        {"{\"version\": 2, \"idle_time_limit\": -1}\n",
         "line 1: \"idle_time_limit\" must be a number of seconds from 0 on, not -1"},
        {"{\"version\": 2, \"idle_time_limit\": \"2\"}\n",
         "line 1: \"idle_time_limit\" must be a number of seconds from 0 on, not \"2\""},
        {"{\"version\": 2, \"theme\": \"dark\"}\n",
         "line 1: \"theme\" must be an object with \"fg\", \"bg\" and \"palette\", not \"dark\""},
        {"{\"version\": 2, \"theme\": {\"fg\": \"#000000\"}}\n",
         "line 1: the theme's \"bg\" must be a colour \"#rrggbb\", not missing"},
        {themedHeader("\"#fff\"", "\"#000000\"", 8),
         "line 1: the theme's \"fg\" must be a colour \"#rrggbb\", not \"#fff\""},
        {themedHeader("\"#000000\"", "\"#00000g\"", 8),
         "line 1: the theme's \"bg\" must be a colour \"#rrggbb\", not \"#00000g\""},
        {themedHeader("\"#000000\"", "0", 8), "line 1: the theme's \"bg\" must be a colour \"#rrggbb\", not 0"},
        {themedHeader("\"#000000\"", "\"#000000\"", 7),
         "line 1: the theme's \"palette\" must be 8 or 16 colours \"#rrggbb\" joined by \":\", not "
         "\"#000000:#000001:#000002:#000003:#000004:#000005:#000006\""},
        {themedHeader("\"#000000\"", "\"#000000\"", 17), "line 1: the theme's \"palette\" must be 8 or 16 colours "
         "\"#rrggbb\" joined by \":\", not \"#000000:#000001:#000002:#000003:#000004:#000005:#000006:#000007:#000008:"
         "#000009:#000000:#000001:#000002:#000003:#000004:#000005:#000006\""},
        {themedHeader("\"#000000\"", "\"#000000\"", 8, ":"), "line 1: the theme's \"palette\" must be 8 or 16 colours "
         "\"#rrggbb\" joined by \":\", not \"#000000:#000001:#000002:#000003:#000004:#000005:#000006:#000007:\""},
        {"{\"version\": 2, \"theme\": {\"fg\": \"#000000\", \"bg\": \"#000000\"}}\n",
         "line 1: the theme's \"palette\" must be 8 or 16 colours \"#rrggbb\" joined by \":\", not missing"},
        {"{\"version\": 4}\n", "line 1: asciicast version 4; only versions 1, 2 and 3 are read"},
        // Version 3.
        {kVersion3Header + "\n[0.5, \"o\", \"a\"]\n[-0.5, \"o\", \"b\"]\n",
         "line 3: the interval must be a number of seconds from 0 on, not -0.5"},
        {kVersion3Header + "\n[\"1\", \"o\", \"a\"]\n",
         "line 2: the interval must be a number of seconds from 0 on, not \"1\""},
        {kVersion3Header + "\n[1, \"o\"]\n", "line 2: an event must be [interval, code, data]"},
        {kVersion3Header + "\n[1, \"o\", 5]\n", "line 2: the data of an \"o\" event must be a string"},
        {kVersion3Header + "\n#\n #\n", "line 3: not valid JSON (column 2: syntax error while parsing value - invalid literal)"},
        {"{\"version\": 3}\n", "line 1: the header's \"term\" must be an object with \"cols\" and \"rows\""},
        {"{\"version\": 3, \"width\": 80, \"height\": 24}\n",
         "line 1: the header's \"term\" must be an object with \"cols\" and \"rows\""},
        {"{\"version\": 3, \"term\": {\"cols\": 80}}\n",
         "line 1: the header's \"term\" must be an object with \"cols\" and \"rows\""},
        {"{\"version\": 3, \"term\": {\"cols\": 80, \"rows\": 0}}\n",
         "line 1: \"rows\" must be a whole number from 1 to 2147483647, not 0"},
        {"{\"version\": 3, \"term\": {\"cols\": 80, \"rows\": 24, \"theme\": []}}\n",
         "line 1: \"theme\" must be an object with \"fg\", \"bg\" and \"palette\", not []"},
        {"{\"version\": 3, \"term\": {\"cols\": 80, \"rows\": 24}, \"timestamp\": 4294967290}\n"
         "[3, \"o\", \"a\"]\n[2.999999, \"o\", \"b\"]\n[0.000001, \"o\", \"c\"]\n",
         "line 4: the events' times add up past the latest a record can hold"},
        // Version 1: the line on which the pair or member at fault starts.
        {kVersion1Start + "    [0.5, \"a\"],\n    [-1, \"b\"]\n  ]\n}\n",
         "line 6: the delay must be a number of seconds from 0 on, not -1"},
        {kVersion1Start + "    [0.5, \"a\"],\n    [\n      1,\n      2\n    ]\n  ]\n}\n",
         "line 6: the data of an \"o\" event must be a string"},
        {kVersion1Start + "    [0.5, \"a\"],\n    5\n  ]\n}\n", "line 6: an event must be [delay, data]"},
        {kVersion1Start + "    [0.5, \"a\"],\n    [1, \"b\", \"c\"]\n  ]\n}\n", "line 6: an event must be [delay, data]"},
        {kVersion1Start + "    [0.5, \"a\"],\n    [\n      1e999,\n      \"b\"]\n  ]\n}\n",
         "line 7: not valid JSON (number overflow parsing '1e999')"},
        {kVersion1Start + "    [0.5, \"a\"]\n    [1, \"b\"]\n  ]\n}\n",
         "line 6: not valid JSON (column 5: syntax error while parsing array - unexpected '['; expected ']')"},
        {kVersion1Start + "  ]\n}\n\n{}\n",
         "line 8: not valid JSON (column 1: syntax error while parsing value - unexpected '{'; expected end of input)"},
        {kVersion1Start + "  ]\n", "line 6: not valid JSON (column 1: syntax error while parsing object - unexpected end "
                                   "of input; expected '}')"},
        {"{\n  \"version\": 1,\n  \"height\": -3,\n  \"stdout\": []\n}\n",
         "line 3: \"height\" must be a whole number from 1 to 2147483647, not -3"},
        {"{\"title\": \"no pairs\",\n  \"version\": 1\n}\n", "line 1: \"stdout\" must be an array of [delay, data] pairs"},
        {"{\"version\": 1,\n \"stdout\": [],\n \"stdout\": {\"0\": \"a\"}}",
         "line 3: \"stdout\" must be an array of [delay, data] pairs"},
        {"{\"version\": 1, \"stdout\": [[4e9, \"a\"],\n[4e9, \"b\"]]}\n",
         "line 2: the events' times add up past the latest a record can hold"},
    };
    for (const Case& c : cases) {
        AsciicastRecording recording;
        recording.columns = 7;
        std::string error;
        EXPECT_FALSE(convertAsciicast(bytesOf(c.data), recording, error)) << c.data;
        EXPECT_EQ(error, c.error) << c.data;
        EXPECT_TRUE(recording.events.empty()) << c.data;
        EXPECT_EQ(recording.columns, 0) << c.data;
    }
}

TEST(AsciicastTest, LargestTimeStillFitsARecord) {
    const std::string cast = "{\"version\": 2, \"timestamp\": 4294967290}\n[5.999999, \"o\", \"x\"]\n";
    AsciicastRecording recording;
    std::string error;
    ASSERT_TRUE(convertAsciicast(bytesOf(cast), recording, error)) << error;
    EXPECT_EQ(recordsText(recording), ttyrecRecord(4294967295u, 999999, "x"));
    const std::string late = "{\"version\": 2, \"timestamp\": 4294967290}\n[6, \"o\", \"x\"]\n";
    EXPECT_FALSE(convertAsciicast(bytesOf(late), recording, error));
    EXPECT_EQ(error, "line 2: the event time must be a number of seconds from 0 on, not 6");
}

TEST(AsciicastTest, Version2TimeGoingBackKeepsItsTimeAndTheHeaderExtrasAreRead) {
    const std::string cast = themedHeader("\"#D0d0d0\"", "\"#123456\"", 16).insert(1, "\"title\": \"talk\", ") +
                             "[2, \"o\", \"a\"]\n[1, \"o\", \"b\"]\n[1.5, \"x\", \"0\"]\n";
    AsciicastRecording recording;
    std::string error;
    ASSERT_TRUE(convertAsciicast(bytesOf(cast), recording, error)) << error;
    EXPECT_EQ(recordsText(recording), ttyrecRecord(2, 0, "a") + ttyrecRecord(1, 0, "b"));
    EXPECT_EQ(recording.endTime, 2000000);
    EXPECT_EQ(recording.title, "talk");
    ASSERT_TRUE(recording.theme.has_value());
    EXPECT_EQ(recording.theme->foreground, 0xD0D0D0u);
    EXPECT_EQ(recording.theme->background, 0x123456u);
    EXPECT_EQ(recording.theme->palette,
              (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2, 3, 4, 5}));
}

TEST(AsciicastTest, IdleTimeLimitOfZeroOrNullIsNone) {
    struct Case {
        const char* member;
        std::optional<double> expected;
    };
    const Case cases[] = {{"", std::nullopt},
                          {R"(, "idle_time_limit": null)", std::nullopt},
                          {R"(, "idle_time_limit": 0)", std::nullopt},
                          {R"(, "idle_time_limit": 2)", 2.0},
                          {R"(, "idle_time_limit": 0.25)", 0.25}};
    for (const Case& c : cases) {
        AsciicastRecording recording;
        std::string error;
        const std::string cast = std::string(R"({"version": 3, "term": {"cols": 80, "rows": 24})") + c.member + "}\n";
        ASSERT_TRUE(convertAsciicast(bytesOf(cast), recording, error)) << error;
        EXPECT_EQ(recording.idleTimeLimit, c.expected) << c.member;
    }
}

TEST(AsciicastTest, Version3EventsAreTimedFromTheOneBefore) {
    const std::string cast = R"({"version": 3, "term": {"cols": 80, "rows": 24}, "timestamp": 1000})" "\n"
                             "# a comment\n"
                             "[0.5, \"o\", \"a\"]\n"
                             "\n"
                             "#[not, an, event\n"
                             "[0.25, \"i\", \"typed\"]\n"
                             "[0.25, \"r\", \"100x20\"]\n"
                             "[0, \"m\", \"here\"]\n"
                             "[1.000001, \"o\", \"b\"]\n"
                             "[2, \"r\", \"060x50\"]\n"
                             "[0.1, \"z\", {\"unknown codes\": \"are left out\"}]\n"
                             "[0.4, \"x\", \"0\"]\n";
    AsciicastRecording recording;
    std::string error;
    ASSERT_TRUE(convertAsciicast(bytesOf(cast), recording, error)) << error;
    EXPECT_EQ(recordsText(recording), ttyrecRecord(1000, 500000, "a") + ttyrecRecord(1002, 1, "b"));
    EXPECT_EQ(eventsText(recording), "r 1 13 1001000000 100x20\n"
                                     "r 2 26 1004000001 60x50\n"
                                     "m 1 13 1001000000 here\n");
    EXPECT_EQ(recording.version, 3);
    EXPECT_EQ(recording.columns, 80);
    EXPECT_EQ(recording.rows, 24);
    EXPECT_EQ(recording.largestColumns, 100);
    EXPECT_EQ(recording.largestRows, 50);
    EXPECT_EQ(recording.startTime, 1000000000);
    EXPECT_EQ(recording.endTime, 1004500001);
    EXPECT_FALSE(recording.theme.has_value());
}

TEST(AsciicastTest, Version1PairsAreTimedFromThePairBefore) {
    const std::string cast =
        R"({"version": 1, "width": 90, "height": 30, "stdout": [[0.5, "a"], [0, "\u00e9"], [1.0000004, ""], [2.25, "z"]]})";
    AsciicastRecording recording;
    std::string error;
    ASSERT_TRUE(convertAsciicast(bytesOf(cast), recording, error)) << error;
    EXPECT_EQ(recordsText(recording), ttyrecRecord(0, 500000, "a") + ttyrecRecord(0, 500000, "\xC3\xA9") +
                                          ttyrecRecord(1, 500000, "") + ttyrecRecord(3, 750000, "z"));
    EXPECT_EQ(recording.version, 1);
    EXPECT_EQ(recording.columns, 90);
    EXPECT_EQ(recording.largestRows, 30);
    EXPECT_EQ(recording.endTime, 3750000);
}

TEST(AsciicastTest, SampleRecordingsOfVersions1And3) {
    const std::string hello = "\x1b[1;31mHello \x1b[32mWorld!\x1b[0m\r\n";
    const std::string better = "That was ok\rThis is better.";
    std::string error;
    AsciicastRecording first;
    const std::string version1 = readFile(sourcePath("samples/hello-v1.cast"));
    EXPECT_TRUE(isAsciicast(bytesOf(version1)));
    ASSERT_TRUE(convertAsciicast(bytesOf(version1), first, error)) << error;
    EXPECT_EQ(recordsText(first), ttyrecRecord(0, 250000, hello) + ttyrecRecord(1, 250001, better) +
                                      ttyrecRecord(2, 750001, "\r\nBye!\r\n"));
    EXPECT_EQ(first.columns, 80);
    EXPECT_EQ(first.rows, 24);
    EXPECT_EQ(first.title, "hello");

    AsciicastRecording third;
    const std::string version3 = readFile(sourcePath("samples/hello-v3.cast"));
    EXPECT_TRUE(isAsciicast(bytesOf(version3)));
    ASSERT_TRUE(convertAsciicast(bytesOf(version3), third, error)) << error;
    const uint32_t t = 1504467315;
    const std::string twoRecords = ttyrecRecord(t, 250000, hello) + ttyrecRecord(t + 1, 250001, better);
    const std::string threeRecords = twoRecords + ttyrecRecord(t + 5, 1, "\r\nNow wider... ");
    const std::string fourRecords = threeRecords + ttyrecRecord(t + 7, 500001, "\x1b[30;91Hthe far corner");
    EXPECT_EQ(recordsText(third), fourRecords + ttyrecRecord(t + 9, 750001, "\r\nBye!\r\n"));
    auto at = [&](const std::string& records, int64_t micros) {
        return std::to_string(records.size()) + " " + std::to_string(int64_t{t} * 1000000 + micros);
    };
    EXPECT_EQ(eventsText(third), "r 3 " + at(threeRecords, 7000001) + " 100x30\n" +
                                     "r 4 " + at(fourRecords, 9250001) + " 90x40\n" +
                                     "m 2 " + at(twoRecords, 4750001) + " \n" +
                                     "m 4 " + at(fourRecords, 9000001) + " the end\n");
    EXPECT_EQ(third.columns, 80);
    EXPECT_EQ(third.rows, 24);
    EXPECT_EQ(third.largestColumns, 100);
    EXPECT_EQ(third.largestRows, 40);
    EXPECT_EQ(third.idleTimeLimit, 2.5);
    EXPECT_EQ(third.title, "hello");
    EXPECT_EQ(third.endTime, int64_t{t} * 1000000 + 10500001);
    ASSERT_TRUE(third.theme.has_value());
    EXPECT_EQ(third.theme->foreground, 0xD0D0D0u);
    EXPECT_EQ(third.theme->background, 0x212121u);
    ASSERT_EQ(third.theme->palette.size(), 16u);
    EXPECT_EQ(third.theme->palette[1], 0xAC4142u);
    EXPECT_EQ(third.theme->palette[15], 0xF5F5F5u);
}

class EarlyReadTest : public testing::Test {
protected:
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(EarlyReadTest, AnAsciicastFileIsReadBeforeTheRun) {
    std::string path = (dir / "rec.cast").string();
    writeFile(path, "{\"version\": 2, \"width\": 40, \"height\": 12}\n[0.5, \"o\", \"hi\"]\n");
    ReadResult early = readRecording(path, {.early = true});
    ASSERT_TRUE(early.recording.has_value()) << early.error;
    ASSERT_EQ(early.recording->format, RecordingFormat::asciicast);
    const AsciicastRecording& recording = early.recording->asciicast;
    EXPECT_EQ(recording.columns, 40);
    EXPECT_EQ(recording.rows, 12);
    // Its events are read from the file as they are played.
    std::string records;
    EventSource events(*early.recording);
    while (std::optional<Event> event = events.next()) {
        records += ttyrecRecord(event->stamp.seconds, static_cast<uint32_t>(event->stamp.micros),
                                std::string(event->data.begin(), event->data.end()));
    }
    EXPECT_EQ(records, ttyrecRecord(0, 500000, "hi"));
    EXPECT_EQ(early.recording->name, path);
}

TEST_F(EarlyReadTest, OtherFilesAreLeftForTheReadProper) {
    struct Case {
        const char* name;
        std::string contents;  // empty: not created
        std::string error;
    };
    fs::create_directory(dir / "directory.cast");
    const Case cases[] = {
        {"rec.ttyrec", ttyrecRecord(1000, 0, "{\"version\": 2}\n"), ""},
        {"brace.ttyrec", ttyrecRecord(123, 0, "hello"), ""},
        {"missing.cast", "", ""},
        {"directory.cast", "", ""},
        {"bad.cast", kHeader + "\n[1, \"o\", \"x\"]\n[2, \"o\"]\n", "line 3: an event must be [time, type, data]"},
    };
    for (const Case& c : cases) {
        std::string path = (dir / c.name).string();
        if (!c.contents.empty()) writeFile(path, c.contents);
        ReadResult early = readRecording(path, {.early = true});
        EXPECT_FALSE(early.recording.has_value()) << c.name;
        EXPECT_EQ(early.error, c.error.empty() ? "" : "Error: " + path + " " + c.error) << c.name;
    }
}

}  // namespace
