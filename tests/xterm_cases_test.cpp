// The xterm emulation against the screens tmux showed for the hand-made cases, kept in the case
// files (see xterm_case_files.h): the comparison of xterm_tmux_test.cpp where tmux is missing.

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "terminal/xterm_emulation.h"
#include "test_support.h"
#include "xterm_case_files.h"

namespace {

class XtermCases : public testing::TestWithParam<fs::path> {
protected:
    void SetUp() override { std::setlocale(LC_CTYPE, "C.UTF-8"); }  // for wcwidth
    void TearDown() override { resetAll(); }
};

TEST_P(XtermCases, MatchTheScreensTmuxShowed) {
    std::vector<XtermCase> cases = readCaseFile(GetParam());
    ASSERT_FALSE(cases.empty());
    for (const XtermCase& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::vector<ExpectedScreen> points;
        for (const ExpectedScreen& screen : testCase.screens) points.push_back({screen.afterRecords, screen.afterResizes, {}});
        if (testCase.screens.empty() || points != screenPointsOf(testCase)) {
            ADD_FAILURE() << testCase.name << ": its screens do not follow its records; refresh them from tmux "
                          << "(REELCAP_REFRESH_XTERM_CASES=1, see README.md)";
            continue;
        }
        ReplayPosition position = startReplay(testCase);
        for (const ExpectedScreen& screen : testCase.screens) {
            std::string differences = compareWithCapture(testCase, position, screen);
            if (!differences.empty()) {
                ADD_FAILURE() << testCase.name << ", after record " << position.fed << " of " << testCase.records.size()
                              << " and resize " << position.resized << ": " << differences;
                break;
            }
        }
    }
}

// Every .case file in the folder is a test of its own, named after the file.
INSTANTIATE_TEST_SUITE_P(Files, XtermCases, testing::ValuesIn(filesIn(sourcePath("tests/xterm_cases"), ".case")),
                         [](const testing::TestParamInfo<fs::path>& info) { return testNameOf(info.param); });

}  // namespace
