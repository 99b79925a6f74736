// -window in whole runs: the bar, its buttons and title, the rounded corners in the margin's
// colour, and the picture's size, in a PNG, an AVI and a doubled GIF; without it, the plain size.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "movie_reader.h"
#include "test_support.h"

namespace {

class WindowRunTest : public RunDirTest {};

TEST_F(WindowRunTest, BarButtonsAndCornersInEveryKindOfOutput) {
    writeFile(dir / "rec.cast", "{\"version\": 2, \"width\": 30, \"height\": 4, \"title\": \"my talk\"}\n"
                                "[0.1, \"o\", \"Hello\\r\\n\"]\n[0.2, \"o\", \"third\"]\n");
    constexpr uint32_t kBackground = 0x2E3440;  // nord
    constexpr uint32_t kText = 0xD8DEE9;
    constexpr uint32_t kBar = 0x434853;         // the background a tenth of the way to white
    constexpr uint32_t kDefaultMargin = 0x8E949C;
    constexpr uint32_t kButtons[] = {0xFF5F57, 0xFEBC2E, 0x28C840};
    struct Case {
        std::vector<std::string> options;
        std::string movie;  // "": the poster
        int margin;
        uint32_t marginColour;
        int scale;
    };
    const Case cases[] = {
        {{"-at", "1", "-output", "poster.png"}, "", 16, kDefaultMargin, 1},
        {{"-output", "dib.avi", "-margin", "8", "-margin-color", "#336699"}, "dib.avi", 8, 0x336699, 1},
        {{"-output", "talk.gif", "-double", "-margin", "0"}, "talk.gif", 0, kDefaultMargin, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[1]);
        std::vector<std::string> options = {"rec.cast", "-window", "-theme", "nord"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        RunResult result = run(options);
        ASSERT_EQ(result.status, 0) << result.output << result.errors;
        const LastPicture picture = readLastPicture(dir / (c.movie.empty() ? "poster.png" : c.movie), !c.movie.empty(), c.scale);
        ASSERT_GT(picture.width, 0);
        const int width = picture.width;
        const int height = picture.height;
        const auto& colour = picture.colour;
        // 30 x 4 cells of 10 x 20, a bar of 30 above them, the margin around.
        const int m = c.margin;
        EXPECT_EQ(width, (300 + 2 * m) * c.scale);
        EXPECT_EQ(height, (80 + 30 + 2 * m) * c.scale);
        if (c.movie == "dib.avi") {
            const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
            EXPECT_NE(result.errors.find("gets uncompressed frames, " + size), std::string::npos) << result.errors;
        }
        EXPECT_EQ(colour(0, 0), c.marginColour) << std::hex << colour(0, 0);
        EXPECT_EQ(colour(m + 299, m + 109), c.marginColour);  // the window's corners are rounded
        for (int i = 0; i < 3; ++i) EXPECT_EQ(colour(m + 15 + 20 * i, m + 15), kButtons[i]) << i;
        EXPECT_EQ(colour(m + 80, m + 2), kBar);
        EXPECT_EQ(colour(m + 150, m + 30 + 70), kBackground);  // the fourth row is blank
        int titlePixels = 0;
        for (int y = m; y < m + 30; ++y) {
            for (int x = m + 100; x < m + 200; ++x) titlePixels += colour(x, y) == kText;
        }
        EXPECT_GT(titlePixels, 20);
    }
    RunResult plain = run({"rec.cast", "-at", "1", "-output", "plain.png"});
    ASSERT_EQ(plain.status, 0);
    PngImage image = readPng(dir / "plain.png");
    EXPECT_EQ(image.width, 300u);
    EXPECT_EQ(image.height, 80u);
}

}  // namespace
