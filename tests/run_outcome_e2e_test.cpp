// What a run says and leaves behind: the fixed transcript on standard output, the project's own
// errors and warnings on standard error, and no file of the run's own left where none is wanted.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::string kMissingFont =
    "Unable to find the file \"font.txt\"... copy to this directory \nor check %PATH% environment variable?\n";

class RunOutcomeTest : public RunDirTest {
protected:
    void SetUp() override {
        RunDirTest::SetUp();
        writeFile(dir / "rec.ttyrec", ttyrecRecord(1, 0, "a") + ttyrecRecord(2, 0, "b") + ttyrecRecord(3, 0, "c"));
    }
};

TEST_F(RunOutcomeTest, ErrorsAreExplainedOnStandardError) {
    fs::create_directory(dir / "adir");
    writeFile(dir / "notes.cast", "hello world, these are notes\n");
    writeFile(dir / "image.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    writeFile(dir / "clip.mp4", std::string("\0\0\0\x20" "ftypisom\0\0\x02\0", 16));
    writeFile(dir / "first-cut.ttyrec", ttyrecRecord(1, 0, "abcdef").substr(0, 15));
    struct Case {
        std::vector<std::string> args;
        std::string outputEnd;  // the end of standard output
        std::string errors;     // the start of standard error
        int status;
    };
    const std::string notRecording = " is not a ttyrec or asciicast recording: ";
    const Case cases[] = {
        {{"missing.ttyrec"}, "errno 2\n",
         "Error: cannot open the recording missing.ttyrec: No such file or directory; check", 1},
        {{"adir"}, "errno 21\n", "Error: adir is a directory: give a recording file\n", 1},
        {{"notes.cast"}, "...\n", "Error: notes.cast" + notRecording + "it looks like a text file.", 1},
        {{"image.png", "-output", "x.mp4"}, "...\n", "Error: image.png" + notRecording + "it looks like a PNG image.", 1},
        {{"clip.mp4"}, "...\n", "Error: clip.mp4" + notRecording + "it looks like an MP4 or QuickTime movie.", 1},
        {{"first-cut.ttyrec"}, "...\n", "Error: first-cut.ttyrec" + notRecording + "its first ttyrec record would "
                                        "need 6 bytes, and 3 follow its header.", 1},
        {{"rec.ttyrec", "-from", "2", "-to", "1"}, "\n\n", "Error: -to must come after -from.\n", 1},
        {{"rec.ttyrec", "-quiet", "-codec", "xvid"}, "", "Error: unknown codec \"xvid\"", 1},
        {{"rec.ttyrec", "-width"}, "Error: need to specify width.\n", "", 1},
        {{"rec.ttyrec", "-quiet", "-at", "9"}, "",
         "Warning: -at 9.00 s is past the end of rec.ttyrec, which lasts 2.00 s; the last screen is shown.\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        RunResult result = run(c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_TRUE(result.output.ends_with(c.outputEnd)) << result.output;
        EXPECT_EQ(result.errors.rfind(c.errors, 0), 0u) << result.errors;
        EXPECT_EQ(result.errors.empty(), c.errors.empty()) << result.errors;
        EXPECT_FALSE(fs::exists(dir / "output.avi"));
        EXPECT_FALSE(fs::exists(dir / "x.mp4"));
        EXPECT_EQ(fs::exists(dir / "output"), c.status == 0) << "playback began";
    }
    // A stream is told by its first bytes too.
    RunResult piped = runCommand("(cd " + shellQuoted(dir.string()) + " && " + REELCAP_BINARY +
                                 " - -output piped.avi 2>errors.txt <image.png)");
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(readFile(dir / "errors.txt").rfind("Error: standard input" + notRecording + "it looks like a PNG image.", 0),
              0u);
    EXPECT_FALSE(fs::exists(dir / "piped.avi"));
}

TEST_F(RunOutcomeTest, NothingLostNothingLeftBehind) {
    // Without font.txt anywhere an earlier movie stays as it was.
    fs::path bare = dir / "bare";
    fs::create_directories(bare / "bin");
    fs::copy_file(REELCAP_BINARY, bare / "bin/reelcap");
    writeFile(bare / "keep.avi", "an earlier movie");
    RunOptions noFont;
    noFont.binary = (bare / "bin/reelcap").string();
    noFont.extraEnv = {"PATH=/nonexistent"};
    RunResult missing = runReelcapWith(bare, {(dir / "rec.ttyrec").string(), "-output", "keep.avi"}, noFont);
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.output.ends_with(kMissingFont)) << missing.output;
    EXPECT_EQ(readFile(bare / "keep.avi"), "an earlier movie");

    // The log and the last screen's bitmap stay, unless -tidy.
    for (bool tidy : {false, true}) {
        std::vector<std::string> args = {"rec.ttyrec", "-codec", "zmbv", "-output", "t.avi"};
        if (tidy) args.push_back("-tidy");
        ASSERT_EQ(run(args).status, 0);
        EXPECT_TRUE(fs::exists(dir / "t.avi"));
        EXPECT_EQ(fs::exists(dir / "output"), !tidy);
        EXPECT_EQ(filesIn(dir, ".bmp").size(), tidy ? 0u : 1u);
        fs::remove(dir / "output");
        for (const fs::path& bitmap : filesIn(dir, ".bmp")) fs::remove(bitmap);
    }

    // Older frames past this run's last are counted.
    fs::create_directory(dir / "frames");
    for (const char* name : {"0000500.png", "0000501.png", "notes.png"}) writeFile(dir / "frames" / name, "old");
    RunResult series = run({"rec.ttyrec", "-png"});
    EXPECT_EQ(series.status, 0);
    EXPECT_EQ(series.errors, "Warning: frames still holds 2 numbered frame files after this run's last "
                             "(frames/0000061.png), from an earlier run; remove them before using the series.\n");

    // -at writes JPEG for .jpg and .jpeg names.
    for (const char* name : {"poster.jpg", "poster.JPEG"}) {
        ASSERT_EQ(run({"rec.ttyrec", "-at", "1", "-output", name}).status, 0);
        EXPECT_EQ(readFile(dir / name).substr(0, 3), "\xFF\xD8\xFF") << name;
    }

    // An asciicast recording's times count from its start, not from its first event.
    writeFile(dir / "late.cast", "{\"version\": 2, \"width\": 20, \"height\": 3}\n[2, \"o\", \"first\"]\n"
                                 "[3, \"o\", \"\\r\\nsecond\"]\n");
    for (const char* time : {"2.5", "3"}) {
        ASSERT_EQ(run({"late.cast", "-at", time, "-output", std::string("at") + time + ".png"}).status, 0);
    }
    EXPECT_NE(readFile(dir / "at2.5.png"), readFile(dir / "at3.png"));
}

}  // namespace
