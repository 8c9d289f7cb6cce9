// zarn.js, the page library, in a page that has the control: the page
// host's JScript loads it and drives the real control through it. A page
// on the extension sees the same results and events (tests/browser).
#include <gtest/gtest.h>

#include "common/rig.h"
#include "settings/build_settings.h"

namespace {

TEST(ZarnJs, TheControlThroughThePageLibrary) {
    // The page is one of the service's own, so the site lock is on.
    const rig::ProcessResult page = rig::Run(
        L"\"" + rig::BuildDir() + L"\\pagehost.exe\" --url " + zarn::settings::kUpdateServer +
            L"/ \"" + rig::SourceDir() + L"\\tests\\pages\\zarn_js.js\"",
        120000);
    ASSERT_FALSE(page.timedOut) << page.output;
    EXPECT_EQ(0u, page.exitCode) << page.output;
    const std::vector<std::string> expected = {
        // JScript has no Promise: the library's own thenable stands in.
        "kind activex, Promise undefined",
        "event C:\\\xEB\xAC\xB8\xEC\x84\x9C\\\xEB\xB3\xB4\xEA\xB3\xA0\xEC\x84\x9C.txt|1234||string",
        "returned",
        "event x|1|-1|string",
        "SelectComplete result 0",
        "MakeShortCut error refused-site true",
        "chained from 0",
        "caught thrown in then",
        "then recovered",
        "end of page",
    };
    EXPECT_EQ(expected, rig::Lines(page.output)) << page.output;
}

}  // namespace
