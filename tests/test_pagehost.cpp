// The page host as tests and the demo use it: output, exit codes, error
// reports, arguments, script access to errors, and event connections to the
// hosted control.

#include "common/rig.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Runs an inline page script; `name` keeps scratch files apart.
rig::ProcessResult Page(std::wstring_view name, std::string_view script,
                        const std::vector<std::wstring>& args = {}) {
    return rig::RunPage(rig::WriteScratchFile(std::wstring(name) + L".js", script), args, 30000);
}

// Every page must end by itself; a hang is a fault of its own.
#define EXPECT_PAGE_EXIT(result, code)                                          \
    do {                                                                        \
        ASSERT_FALSE((result).timedOut) << "output so far:\n" << (result).output; \
        EXPECT_EQ((result).exitCode, static_cast<DWORD>(code)) << (result).output; \
    } while (0)

constexpr char kHex[] = "function hex(e) { return (e.number >>> 0).toString(16); }\n";

TEST(PageHostOutput, PrintWritesUtf8LinesAndScriptTextMayCarryABom) {
    // Korean in the script (after a byte-order mark) and in host.print must
    // reach the pipe as the same UTF-8 bytes.
    const auto result = Page(L"utf8", "\xEF\xBB\xBFhost.print(\"파일전송 \" + \"웹컨트롤\");\n"
                                      "host.print(1.5, true, null, undefined, 42);\n"
                                      "host.print();\n");
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output),
              (Lines{"파일전송 웹컨트롤", "1.5 true null undefined 42", ""}));
}

TEST(PageHostOutput, FilesRoundTripAsUtf8WithoutBom) {
    const std::wstring dir = rig::ScratchDir(L"files");
    const std::wstring path = dir + L"\\out.txt";
    std::string script = "var p = host.arg(0);\n"
                         "host.writeFile(p, \"알림 ok\");\n"
                         "host.print(host.readFile(p));\n";
    const auto result = Page(L"files", script, {path});
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output), (Lines{"알림 ok"}));

    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char bytes[64] = {};
    DWORD got = 0xdeadbeef;
    ::ReadFile(file, bytes, sizeof(bytes), &got, nullptr);
    ::CloseHandle(file);
    EXPECT_EQ(std::string(bytes, got), "알림 ok") << "got " << got << " bytes";
}

TEST(PageHostExit, CodesOfTheRun) {
    {
        SCOPED_TRACE("global code runs to its end");
        const auto result = Page(L"end", "host.print('a');\n");
        EXPECT_PAGE_EXIT(result, 0);
    }
    {
        SCOPED_TRACE("host.exit ends the run at once with its code");
        const auto result = Page(L"exit", "host.print('a');\nhost.exit(7);\nhost.print('b');\n");
        EXPECT_PAGE_EXIT(result, 7);
        EXPECT_EQ(rig::Lines(result.output), (Lines{"a"}));
    }
    {
        SCOPED_TRACE("a catch around host.exit cannot keep the page going");
        const auto result = Page(L"exitcatch",
                                 "try { host.exit(5); } catch (e) { host.print('caught'); }\n"
                                 "host.print('after');\n");
        EXPECT_PAGE_EXIT(result, 5);
        EXPECT_EQ(result.output, "");
    }
    {
        SCOPED_TRACE("a missing script file is a set-up failure");
        const auto result = rig::RunPage(rig::ScratchDir(L"none") + L"\\missing.js", {}, 30000);
        EXPECT_PAGE_EXIT(result, 2);
        EXPECT_NE(result.output.find("cannot read the script"), std::string::npos);
    }
}

TEST(PageHostExit, UnregisteredProgIdIsReportedNotHosted) {
    // atl.dll would host a web browser for a name that looks like a file, so
    // the host must refuse before it gets there.
    const std::wstring script = rig::WriteScratchFile(L"noprogid.js", "host.print('ran');\n");
    const auto result = rig::Run(L"\"" + rig::BuildDir() + L"\\pagehost.exe\" --progid "
                                 L"Zarn.NoSuchControl.1 --hidden \"" + script + L"\"", 30000);
    EXPECT_PAGE_EXIT(result, 2);
    EXPECT_EQ(rig::Lines(result.output),
              (Lines{"pagehost: cannot host Zarn.NoSuchControl.1: the ProgID is not registered "
                     "(0x800401F3)"}));
}

TEST(PageHostExit, ExitInsideAnEventHandlerEndsThePage) {
    const auto result = Page(L"exithandler",
                             "host.connect(ctl, 'UpSelectComplete', function () {\n"
                             "  host.exit(4); host.print('rest of handler'); });\n"
                             "ctl.SelectComplete('a', 'b', 'c');\n"
                             "host.print('rest of page');\n");
    EXPECT_PAGE_EXIT(result, 4);
    EXPECT_EQ(result.output, "");
}

TEST(PageHostExit, ControlNameOption) {
    const std::wstring script =
        rig::WriteScratchFile(L"name.js", "host.print(typeof web + ' ' + typeof ctl);\n");
    const std::wstring exe = L"\"" + rig::BuildDir() + L"\\pagehost.exe\" ";
    auto result = rig::Run(exe + L"--hidden --name web \"" + script + L"\"", 30000);
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output), (Lines{"object undefined"}));

    // The host object keeps its name.
    result = rig::Run(exe + L"--name host \"" + script + L"\"", 30000);
    EXPECT_PAGE_EXIT(result, 2);
    EXPECT_EQ(result.output.rfind("usage: ", 0), 0u) << result.output;
}

// Runs a page that waits up to ten seconds on another thread, finds its
// window by title, checks its visibility and closes it.
void CloseWaitingPage(const std::wstring& name, bool hidden) {
    // The page tells that its script runs by writing a file next to it.
    const std::wstring running = rig::ScratchDir(L"page-running") + L"\\running.txt";
    std::string escaped;
    for (const char c : rig::Utf8(running)) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    const std::wstring script = rig::WriteScratchFile(
        name + L".js", "host.print('up');\n"
                       "host.writeFile('" + escaped + "', 'up');\n"
                       "for (var i = 0; i < 100; i++) host.sleep(100);\n"
                       "host.print('not closed');\n");
    std::wstring line = L"\"" + rig::BuildDir() + L"\\pagehost.exe\" ";
    if (hidden) line += L"--hidden ";
    line += L"\"" + script + L"\"";
    rig::ProcessResult result;
    std::thread page([&] { result = rig::Run(line, 30000); });

    const std::wstring title = L"Zarn page - " + name + L".js";
    HWND window = nullptr;
    // The window comes before the script runs, and a close that arrives
    // first ends the page before it has printed anything: wait for both.
    rig::WaitFor([&] {
        window = ::FindWindowW(L"ZarnPageHostFrame", title.c_str());
        return window && rig::ReadFileBytes(running);
    }, 20000, 20);
    EXPECT_NE(window, nullptr);
    EXPECT_TRUE(rig::ReadFileBytes(running)) << "the page's script never ran";
    if (window) {
        EXPECT_EQ(::IsWindowVisible(window) != FALSE, !hidden);
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
    page.join();
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output), (Lines{"up"}));
}

TEST(PageHostExit, ClosingTheWindowEndsAWaitingPage) {
    {
        SCOPED_TRACE("shown");
        CloseWaitingPage(L"shown", false);
    }
    {
        SCOPED_TRACE("hidden");
        CloseWaitingPage(L"hidden", true);
    }
}

TEST(PageHostErrors, ScriptErrorsNameTheirLineAndEndTheRun) {
    {
        SCOPED_TRACE("run-time error");
        const auto result = Page(L"runtime", "host.print('before');\n\n  noSuchFunction();\n"
                                             "host.print('after');\n");
        EXPECT_PAGE_EXIT(result, 1);
        const Lines lines = rig::Lines(result.output);
        ASSERT_EQ(lines.size(), 2u) << result.output;
        EXPECT_EQ(lines[0], "before");
        EXPECT_EQ(lines[1].rfind("script error: 3:3: ", 0), 0u) << lines[1];
        EXPECT_NE(lines[1].find("(0x800A138F)"), std::string::npos) << lines[1];
    }
    {
        SCOPED_TRACE("syntax error: nothing runs");
        const auto result = Page(L"syntax", "host.print('a');\nvar x = ;\n");
        EXPECT_PAGE_EXIT(result, 1);
        EXPECT_EQ(rig::Lines(result.output),
                  (Lines{"script error: 2:9: Syntax error (0x800A03EA)"}));
    }
}

TEST(PageHostErrors, TryCatchSeesNumberAndDescription) {
    std::string script = kHex;
    script +=
        // DISP_E_EXCEPTION with a description, raised by the host itself.
        "try { host.readFile('C:\\\\no\\\\such\\\\file.txt'); } catch (e) {\n"
        "  host.print(hex(e) + ' ' + e.description); }\n"
        // A plain failure HRESULT from a method.
        "try { host.create('Zarn.NoSuchThing.1'); } catch (e) { host.print(hex(e)); }\n"
        // The control's own dispatch: too few arguments.
        "try { ctl.SelectComplete('a'); } catch (e) { host.print(hex(e)); }\n"
        "try { ctl.NoSuchMethod(); } catch (e) { host.print(hex(e)); }\n";
    const auto result = Page(L"trycatch", script);
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output),
              (Lines{"80070003 host.readFile: cannot read C:\\no\\such\\file.txt", "800401f3",
                     "8002000e", "800a01b6"}));
}

TEST(PageHostScript, ArgumentsEnvironmentAndTime) {
    ::SetEnvironmentVariableW(L"ZARN_PAGEHOST_TEST", L"값 value");
    const auto result =
        Page(L"args",
             "host.print(host.argc + ' ' + host.args.length);\n"
             "host.print(host.arg(0) + '|' + host.args[1] + '|' + host.arg(2));\n"
             "host.print(host.env('ZARN_PAGEHOST_TEST') + '|' + host.env('ZARN_NOT_SET_X') + '|');\n"
             "var t = host.tick(); host.sleep(200); var d = host.tick() - t;\n"
             "host.print(d >= 190 && d < 5000 ? 'slept' : 'slept ' + d);\n",
             {L"one two", L"셋"});
    ::SetEnvironmentVariableW(L"ZARN_PAGEHOST_TEST", nullptr);
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output),
              (Lines{"2 2", "one two|셋|undefined", "값 value||", "slept"}));
}

TEST(PageHostScript, ObjectsFromHostCreateAndActiveXObject) {
    const auto result = Page(L"create",
                             "var a = host.create('Scripting.Dictionary'); a.Add('k', 'v1');\n"
                             "var b = new ActiveXObject('Scripting.Dictionary'); b.Add('k', 'v2');\n"
                             "host.print(a.Item('k') + ' ' + b.Item('k') + ' ' + (a == b));\n");
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output), (Lines{"v1 v2 false"}));
}

TEST(PageHostEvents, EachConnectionIsItsOwnSink) {
    std::string script = kHex;
    script +=
        "var c1 = host.connect(ctl, 'UpSelectComplete', function (p, s, m) {\n"
        "  host.print('one ' + p + ',' + s + ',' + m); });\n"
        "var c2 = host.connect(ctl, 'UpSelectComplete', function (p, s, m) {\n"
        "  host.print('two ' + p + ',' + s + ',' + m); });\n"
        "host.print(c1 != c2 ? 'cookies differ' : 'same cookie ' + c1);\n"
        "ctl.SelectComplete('C:\\\\한글\\\\a.txt', '1234', '-1');\n"
        "host.disconnect(ctl, c1);\n"
        "ctl.SelectComplete('D:\\\\b', '0', '1');\n"
        "try { host.disconnect(ctl, c1); } catch (e) { host.print('again ' + hex(e)); }\n"
        "host.disconnect(ctl, c2);\n"
        "ctl.SelectComplete('E:\\\\c', '5', '-1');\n"
        "host.print('end');\n";
    const auto result = Page(L"sinks", script);
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output),
              (Lines{"cookies differ", "one C:\\한글\\a.txt,1234,-1", "two C:\\한글\\a.txt,1234,-1",
                     "two D:\\b,0,1", "again 80040200", "end"}));
}

TEST(PageHostEvents, FailingHandlerIsReportedAndTheNextSinkStillRuns) {
    // As in a browser: the handler's error is reported, the page goes on,
    // and the run ends with the script-error code.
    const auto result = Page(L"throwing",
                             "host.connect(ctl, 'UpSelectComplete', function () {\n"
                             "  throw new Error('handler failed'); });\n"
                             "host.connect(ctl, 'UpSelectComplete', function (p) {\n"
                             "  host.print('second ' + p); });\n"
                             "ctl.SelectComplete('x', '1', '-1');\n"
                             "host.print('page goes on');\n");
    EXPECT_PAGE_EXIT(result, 1);
    const Lines lines = rig::Lines(result.output);
    ASSERT_EQ(lines.size(), 3u) << result.output;
    EXPECT_EQ(lines[0].rfind("script error: 2:", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("handler failed"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "second x");
    EXPECT_EQ(lines[2], "page goes on");
}

TEST(PageHostEvents, ConnectRefusesWhatCannotBeConnected) {
    std::string script = kHex;
    script += "try { host.connect(ctl, 'NoSuchEvent', function () {}); } catch (e) {\n"
              "  host.print(hex(e)); }\n"
              // An object without events: which code depends on how much
              // class information it gives, but it must be refused.
              "try { host.connect(host.create('Scripting.Dictionary'), 'X', function () {});\n"
              "  host.print('connected'); } catch (e) { host.print('refused'); }\n";
    const auto result = Page(L"badconnect", script);
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output), (Lines{"80020006", "refused"}));
}

}  // namespace

namespace {

// Timers run after the global code, in the order they are due; a cleared
// one never runs; the page ends once none is left; an error in a timer is
// the page's script error.
TEST(PageHostTimers, RunAfterTheGlobalCodeInOrderAndEndThePageWhenNoneIsLeft) {
    const auto result = Page(L"timers",
                             "host.setTimeout(function () { host.print('late'); }, 150);\n"
                             "var gone = host.setTimeout(function () { host.print('cleared'); }, 50);\n"
                             "host.setTimeout(function () {\n"
                             "  host.print('early');\n"
                             "  host.setTimeout(function () { host.print('nested'); }, 300);\n"
                             "}, 20);\n"
                             "host.clearTimeout(gone);\n"
                             "host.print('global code done');\n");
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output), (Lines{"global code done", "early", "late", "nested"}));

    const auto failing = Page(L"timer-error",
                              "host.setTimeout(function () { nosuchname(); }, 10);\n");
    EXPECT_PAGE_EXIT(failing, 1);
    EXPECT_NE(failing.output.find("script error: in a timer:"), std::string::npos)
        << failing.output;
}

// A timer fires inside a loop that runs while the script waits (as it does
// inside a control's modal dialog); host.release lets go of the page's
// control only, after which calls on it fail and the module can go.
TEST(PageHostTimers, FireInsideNestedLoopsAndReleaseLetsTheControlGo) {
    const auto result = Page(
        L"release",
        "var fired = false;\n"
        "host.setTimeout(function () { fired = true; }, 10);\n"
        "host.sleep(500);\n"
        "host.print('fired during sleep ' + fired);\n"
        "var other = host.create('WEB_CONTROL.WebControlCtrl.1');\n"
        "try { host.release(other); } catch (e) { host.print('other: ' + e.description); }\n"
        "other = null;\n"
        "host.print('before ' + host.canUnload('ZarnCtrl2.ocx'));\n"
        "host.release(ctl);\n"
        "try { ctl.CheckInstall(); host.print('still callable'); }\n"
        "catch (e) { host.print('gone'); }\n"
        "host.print('after ' + host.canUnload('ZarnCtrl2.ocx') + ' ' + "
        "host.freeModule('ZarnCtrl2.ocx') + ' ' + host.moduleThreads('ZarnCtrl2.ocx'));\n");
    EXPECT_PAGE_EXIT(result, 0);
    EXPECT_EQ(rig::Lines(result.output),
              (Lines{"fired during sleep true", "other: host.release: not the page's control",
                     "before S_FALSE", "gone", "after S_OK unloaded 0"}));
}

}  // namespace
