// The control as the service's page uses it: hosted in the page host and
// called from JScript, with handlers connected to its events.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/rig.h"

namespace {

using Lines = std::vector<std::string>;

Lines RunPageLines(const wchar_t* script, DWORD* exitCode = nullptr) {
    const rig::ProcessResult r = rig::RunPage(script, {}, 120000);
    EXPECT_FALSE(r.timedOut) << r.output;
    if (exitCode) *exitCode = r.exitCode;
    return rig::Lines(r.output);
}

TEST(PageScript, SelectCompleteReachesEveryHandlerWithItsStrings) {
    DWORD code = 0xdeadbeef;
    const Lines lines = RunPageLines(L"tests\\pages\\select_events.js", &code);
    EXPECT_EQ(0u, code);
    const Lines expected = {
        "first|D:\\Photos|-1|-1|string",
        "second|D:\\Photos|-1|-1|string",
        "r=0",
        "first||||string",
        "second||||string",
        // Numbers arrive as their text; null and undefined as the empty text.
        "first|1234|2.5|-1|string",
        "second|1234|2.5|-1|string",
        "first|||-1|string",
        "second|||-1|string",
        "first|한글 경로\\파일.txt|5368709120|D:\\사진|string",
        "second|한글 경로\\파일.txt|5368709120|D:\\사진|string",
        // A control made by ProgID from script raises to its own handlers only.
        "made|x|1|-1|string",
        "made=0",
    };
    EXPECT_EQ(expected, lines);
}

TEST(PageScript, WrongCallsFailCatchablyAndThePageRunsOn) {
    DWORD code = 0xdeadbeef;
    const Lines lines = RunPageLines(L"tests\\pages\\bad_input.js", &code);
    EXPECT_EQ(0u, code);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("end of page", lines.back());

    int refused = 0;
    for (const std::string& line : lines) {
        if (line.find(" missing:") != std::string::npos || line.find(" extra:") != std::string::npos) {
            EXPECT_NE(std::string::npos, line.find(": error 0x8002000e")) << line;
            ++refused;
        }
    }
    EXPECT_EQ(13, refused);
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "Nothing: error 0x800a01b6"));
    // Values of any kind reach the method as text; 1 MB strings arrive whole.
    for (const char* label : {"object: ok 0", "array: ok 0", "function: ok 0", "huge: ok 0",
                              "date: ok 0"})
        EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), label)) << label;
    EXPECT_NE(lines.end(),
              std::find(lines.begin(), lines.end(), "event lengths 1048576 1048576 1048576"));
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "heard 5"));
}

}  // namespace
