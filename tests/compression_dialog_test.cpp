#include "platform/compression_dialog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "platform/avi_file.h"

namespace {

class CompressionDialogTest : public ::testing::Test {};

// Runs the dialog with typed answers; the result and everything the menu printed.
struct Answer {
    bool confirmed;
    uint32_t handler;
    std::string shown;
};

Answer answerMenu(const std::string& typed, uint32_t prefilled = 0, const CodecChoice* preset = nullptr) {
    std::string text = typed;
    std::FILE* input = text.empty() ? std::fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
    char* shown = nullptr;
    size_t shownSize = 0;
    std::FILE* output = open_memstream(&shown, &shownSize);
    AviCompressOptions options;
    options.fccHandler = prefilled;
    bool confirmed = aviSaveOptions(options, {.preset = preset, .input = input, .output = output});
    std::fclose(input);
    std::fclose(output);
    Answer answer{confirmed, options.fccHandler, std::string(shown, shownSize)};
    std::free(shown);
    if (confirmed) {
        EXPECT_EQ(options.fccType, kStreamTypeVideo);
    }
    return answer;
}

TEST_F(CompressionDialogTest, NamesAreFoundWhateverTheirCase) {
    struct Case {
        const char* typed;
        const char* found;  // nullptr: unknown
    };
    const Case cases[] = {{"dib", "dib"},   {"ZMBV", "zmbv"}, {"Ffv1", "ffv1"},   {"mjpeg", "mjpeg"},
                          {"H264", "h264"}, {"VP9", "vp9"},   {"av1", "av1"},     {"Gif", "gif"},
                          {"", nullptr},    {"x264", nullptr}, {"zmbvx", nullptr}, {"dib ", nullptr},
                          {"zmb", nullptr}, {"vp8", nullptr}};
    for (const Case& c : cases) {
        const CodecChoice* choice = findCodecChoice(c.typed);
        if (c.found == nullptr) {
            EXPECT_EQ(choice, nullptr) << c.typed;
        } else {
            ASSERT_NE(choice, nullptr) << c.typed;
            EXPECT_STREQ(choice->name, c.found);
        }
    }
}

TEST_F(CompressionDialogTest, ChoicesHaveDistinctNamesAndCompressorsAndStartUncompressed) {
    std::set<std::string> names;
    std::set<uint32_t> compressors;
    for (const CodecChoice& choice : codecChoices()) {
        names.insert(choice.name);
        compressors.insert(choice.fourcc);
        EXPECT_NE(std::string(choice.description), "");
    }
    EXPECT_EQ(names.size(), codecChoices().size());
    EXPECT_EQ(compressors.size(), codecChoices().size());
    EXPECT_STREQ(codecChoices()[0].name, "dib");
    EXPECT_EQ(codecChoices()[0].fourcc, kCompressorDib);
}

TEST_F(CompressionDialogTest, PresetChoiceIsTakenWithoutAsking) {
    Answer answer = answerMenu("q\n", 0, findCodecChoice("mjpeg"));
    EXPECT_TRUE(answer.confirmed);
    EXPECT_EQ(answer.handler, fourcc("MJPG"));
    EXPECT_EQ(answer.shown, "");
}

TEST_F(CompressionDialogTest, MenuAnswers) {
    struct Case {
        const char* typed;
        uint32_t prefilled;
        bool confirmed;
        uint32_t handler;
    };
    const Case cases[] = {
        {"\n", 0, true, kCompressorDib},                       // Enter keeps the starting choice
        {"\n", fourcc("ZMBV"), true, fourcc("ZMBV")},
        {"\n", fourcc("IV50"), true, kCompressorDib},          // one we do not offer
        {"2\n", 0, true, fourcc("ZMBV")},
        {"  H264 \n", 0, true, fourcc("H264")},
        {"9\nffv1\n", 0, true, fourcc("FFV1")},                 // asked again after a wrong answer
        {"0\nmjpeg", 0, true, fourcc("MJPG")},                 // last line without a line end
        {"q\n", 0, false, 0},
        {"Q\n", fourcc("ZMBV"), false, fourcc("ZMBV")},        // options left as they were
        {"", 0, false, 0},                                     // end of input cancels
        {"what\n", 0, false, 0},
        {"vp9\ngif\n6\n5\n", 0, true, fourcc("H264")},     // not for AVI files, nor numbered
        {"\n", kCompressorGif, true, kCompressorDib},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        Answer answer = answerMenu(c.typed, c.prefilled);
        EXPECT_EQ(answer.confirmed, c.confirmed);
        EXPECT_EQ(answer.handler, c.handler);
        // The menu is only for AVI files: it offers exactly what they hold.
        for (const CodecChoice& choice : codecChoices()) {
            bool offered = movieContainerHolds(MovieContainer::avi, choice.fourcc);
            EXPECT_EQ(answer.shown.find(std::string(" ") + choice.name + " ") != std::string::npos, offered)
                << choice.name;
            EXPECT_EQ(answer.shown.find(std::string(" ") + choice.description + "\n") != std::string::npos, offered)
                << choice.name;
        }
    }
}

TEST_F(CompressionDialogTest, WrongAnswerIsNamed) {
    Answer answer = answerMenu("9\nwebm\nav1\n\n");
    EXPECT_NE(answer.shown.find("There is no choice \"9\".\n"), std::string::npos) << answer.shown;
    EXPECT_NE(answer.shown.find("There is no choice \"webm\".\n"), std::string::npos) << answer.shown;
    EXPECT_NE(answer.shown.find("AVI files cannot hold av1.\n"), std::string::npos) << answer.shown;
    EXPECT_TRUE(answer.confirmed);
}

TEST_F(CompressionDialogTest, EachContainerDefaultsToAChoiceItHolds) {
    struct Case {
        MovieContainer container;
        const char* expected;  // nullptr: the dialog decides
    };
    const Case cases[] = {{MovieContainer::avi, nullptr},
                          {MovieContainer::mp4, "h264"},
                          {MovieContainer::matroska, "h264"},
                          {MovieContainer::webm, "vp9"},
                          {MovieContainer::gif, "gif"}};
    for (const Case& c : cases) {
        const CodecChoice* choice = defaultCodecChoice(c.container);
        if (c.expected == nullptr) {
            EXPECT_EQ(choice, nullptr);
            continue;
        }
        ASSERT_NE(choice, nullptr) << c.expected;
        EXPECT_STREQ(choice->name, c.expected);
        EXPECT_TRUE(movieContainerHolds(c.container, choice->fourcc)) << c.expected;
    }
}

TEST_F(CompressionDialogTest, WithoutTerminalTheStartingChoiceIsTakenAtOnce) {
    // Whatever the test runner's own input is, here it is not a terminal.
    int savedInput = dup(STDIN_FILENO);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    close(devNull);

    AviCompressOptions options;
    bool plain = aviSaveOptions(options, {});
    uint32_t plainHandler = options.fccHandler;
    options.fccHandler = fourcc("FFV1");
    bool prefilled = aviSaveOptions(options, {});

    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    EXPECT_TRUE(plain);
    EXPECT_EQ(plainHandler, kCompressorDib);
    EXPECT_TRUE(prefilled);
    EXPECT_EQ(options.fccHandler, fourcc("FFV1"));
}

}  // namespace
