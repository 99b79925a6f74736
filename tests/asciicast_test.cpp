#include "playback/asciicast.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::span<const uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string recordsText(const AsciicastRecording& recording) {
    return std::string(recording.records.begin(), recording.records.end());
}

const std::string kHeader = R"({"version": 2, "width": 100, "height": 30, "timestamp": 1700000000})";

TEST(AsciicastTest, OnlyAFirstLineObjectWithAVersionIsAsciicast) {
    struct Case {
        std::string data;
        bool expected;
    };
    const Case cases[] = {
        {kHeader + "\n[0.5, \"o\", \"hi\"]\n", true},
        {kHeader, true},                                  // nothing but the header
        {"\xEF\xBB\xBF  " + kHeader + "\r\n", true},      // byte order mark, blanks, CR LF
        {R"({"version": 1, "stdout": []})", true},         // refused when converted, not played as ttyrec
        {R"({"width": 80})" "\n", false},
        {"[0.5, \"o\", \"hi\"]\n", false},
        {"{\n  \"version\": 1\n}\n", false},               // a header must be one line
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

TEST(AsciicastTest, MalformedLinesAreNamed) {
    struct Case {
        std::string data;
        std::string error;
    };
    const std::string event = "\n[1, \"o\", \"x\"]\n";
    const Case cases[] = {
        {"{\"version\": 2\n", "line 1: not valid JSON (column 14: syntax error while parsing object - unexpected end "
                              "of input; expected '}')"},
        {"{\"version\": 1}" + event, "line 1: asciicast version 1; only version 2 is read"},
        {"{\"version\": \"2\"}" + event, "line 1: asciicast version \"2\"; only version 2 is read"},
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
    };
    for (const Case& c : cases) {
        AsciicastRecording recording;
        recording.columns = 7;
        std::string error;
        EXPECT_FALSE(convertAsciicast(bytesOf(c.data), recording, error)) << c.data;
        EXPECT_EQ(error, c.error) << c.data;
        EXPECT_TRUE(recording.records.empty()) << c.data;
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

class PreparedAsciicastTest : public testing::Test {
protected:
    void SetUp() override {
        resetAsciicast();
        dir = makeTempDir();
    }
    void TearDown() override {
        resetAsciicast();
        fs::remove_all(dir);
    }
    fs::path dir;
};

TEST_F(PreparedAsciicastTest, RecordsAreHandedOverOnceToTheirPathOnly) {
    std::string path = (dir / "rec.cast").string();
    writeFile(path, "{\"version\": 2, \"width\": 40, \"height\": 12}\n[0.5, \"o\", \"hi\"]\n");
    std::string error;
    const AsciicastRecording* recording = prepareAsciicast(path, error);
    ASSERT_NE(recording, nullptr) << error;
    EXPECT_EQ(recording->columns, 40);
    EXPECT_EQ(recording->rows, 12);

    std::vector<uint8_t> records;
    EXPECT_FALSE(takePreparedAsciicast((dir / "other.cast").string(), records));
    EXPECT_TRUE(records.empty());
    ASSERT_TRUE(takePreparedAsciicast(path, records));
    EXPECT_EQ(std::string(records.begin(), records.end()), ttyrecRecord(0, 500000, "hi"));
    EXPECT_FALSE(takePreparedAsciicast(path, records));
}

TEST_F(PreparedAsciicastTest, OtherFilesAreLeftForTheRecordingReader) {
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
        std::string error = "unchanged";
        EXPECT_EQ(prepareAsciicast(path, error), nullptr) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        std::vector<uint8_t> records;
        EXPECT_FALSE(takePreparedAsciicast(path, records)) << c.name;
    }
}

}  // namespace
