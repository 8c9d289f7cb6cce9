// DownLoad and UpLoad through the control's scripting interface, with the
// transfer program stand-ins as the programs.
#include "common/transfer.h"

#include "common/log_receiver.h"

using namespace rig::transfer;

namespace {

std::string ExpectedBytes(const std::string& ascii) { return Hex(ascii + std::string(1, '\0')); }

// As the stand-in records text: each backslash written twice.
std::string Recorded(const std::wstring& text) {
    std::string out;
    for (const char c : rig::Utf8(text)) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out;
}

// The control's log lines that contain `text`.
size_t LogLinesWith(const rig::LogReceiver& log, const std::wstring& text) {
    size_t n = 0;
    for (const std::wstring& line : log.Lines(L"ZarnCtrl2")) n += line.find(text) != std::wstring::npos;
    return n;
}

class Transfer : public TransferTest {};

// A running program gets the list at once: no start, one send, no sleep.
TEST_F(Transfer, RunningProgramGetsEachListOnceWithoutWaiting) {
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");

    const std::wstring list = L"/docs/a.txt|/docs/b.txt";
    const CallResult first = Call(L"DownLoad", L"user", L"secret", list.c_str());
    ASSERT_HRESULT_SUCCEEDED(first.hr);
    EXPECT_EQ(first.result.vt, VT_EMPTY) << "DownLoad has no result";
    const auto taken = Select(Record(), "download", "list");
    ASSERT_EQ(taken.size(), 1u);
    // From the stand-in's own receipt: a 500 ms pass interval would show.
    EXPECT_LT(first.ended - std::stoull(taken[0].fields.at("t")), 400u)
        << "a taken list must not be followed by a sleep";

    const CallResult nullList = Call(L"DownLoad", L"user", L"secret", nullptr);
    ASSERT_HRESULT_SUCCEEDED(nullList.hr);
    const CallResult emptyList = Call(L"DownLoad", L"user", L"secret", L"");
    ASSERT_HRESULT_SUCCEEDED(emptyList.hr);

    const auto all = Record();
    EXPECT_EQ(Select(all, "download", "start").size(), 1u) << "only the test's own start";
    const auto lists = Select(all, "download", "list");
    ASSERT_EQ(lists.size(), 3u);
    EXPECT_EQ(lists[0].fields.at("cbData"), std::to_string(list.size() + 1));
    EXPECT_EQ(lists[0].fields.at("bytes"), ExpectedBytes("/docs/a.txt|/docs/b.txt"));
    EXPECT_EQ(lists[0].fields.at("dwData"), "0");
    // wParam names the control: not zero, not a window, the same every call.
    const std::string sender = lists[0].fields.at("wParam");
    EXPECT_NE(sender, "0");
    EXPECT_FALSE(::IsWindow(reinterpret_cast<HWND>(std::stoull(sender, nullptr, 16))));
    for (const auto& line : lists) EXPECT_EQ(line.fields.at("wParam"), sender);
    // Script null and the empty text both arrive as one zero byte.
    EXPECT_EQ(lists[1].fields.at("cbData"), "1");
    EXPECT_EQ(lists[1].fields.at("bytes"), "00");
    EXPECT_EQ(lists[2].fields.at("cbData"), "1");
    EXPECT_EQ(lists[2].fields.at("bytes"), "00");
    EXPECT_TRUE(Select(all, "upload", "list").empty()) << "DownLoad addresses only its own program";
}

// Replies 0,0,0,1: the same list four times, 500 ms apart, then done.
TEST_F(Transfer, ListIsSentAgainUntilTheProgramAnswersOne) {
    StandInSettings{L"0,0,0,1", L"", L""}.Apply();
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");

    const CallResult call = Call(L"UpLoad", L"user", L"secret", L"x.bin");
    ASSERT_HRESULT_SUCCEEDED(call.hr);
    EXPECT_EQ(call.result.vt, VT_I4);
    EXPECT_EQ(call.result.lVal, 0);

    const auto lists = Select(Record(), "upload", "list");
    ASSERT_EQ(lists.size(), 4u);
    for (size_t i = 0; i < lists.size(); ++i) {
        EXPECT_EQ(lists[i].fields.at("bytes"), ExpectedBytes("x.bin")) << "pass " << i;
        if (i == 0) continue;
        const ULONGLONG gap = std::stoull(lists[i].fields.at("t")) - std::stoull(lists[i - 1].fields.at("t"));
        EXPECT_GE(gap, 450u) << "pass " << i;
        EXPECT_LE(gap, 900u) << "pass " << i;
    }
    // Three sleeps and four quick answers; no sleep after the 1.
    EXPECT_GE(call.ms(), 1450u);
    EXPECT_LT(call.ended - std::stoull(lists.back().fields.at("t")), 400u)
        << "a sleep followed the 1";
}

// A window that goes away without a 1 ends the loop in the first pass that
// misses it: one list, one sleep.
TEST_F(Transfer, VanishedWindowEndsTheHandOff) {
    StandInSettings{L"0", L"destroy-after-first", L""}.Apply();
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");

    const CallResult call = Call(L"DownLoad", L"user", L"secret", L"a");
    ASSERT_HRESULT_SUCCEEDED(call.hr);
    const auto lists = Select(Record(), "download", "list");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_GE(call.ms(), 450u);
    // The nine passes left would take 4.5 s more.
    EXPECT_LT(call.ended - std::stoull(lists[0].fields.at("t")), 3000u)
        << "the loop must end once the window is gone, not run ten passes";
}

// Only the upload program runs: DownLoad gets through the gate on its
// window, starts the download program with the credentials as its command
// line, and hands the list to it, not to the upload program.
TEST_F(Transfer, StartsItsOwnProgramWithTheCredentials) {
    InstallStandIns();
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");

    const CallResult call = Call(L"DownLoad", L"kim minsu", L"pa55", L"/a/b.txt");
    ASSERT_HRESULT_SUCCEEDED(call.hr);
    EXPECT_GE(call.ms(), 500u) << "a started program gets 500 ms before the first pass";

    const auto all = Record();
    const auto starts = Select(all, "download", "start");
    ASSERT_EQ(starts.size(), 1u);
    // An ID with a space arrives as one argument, quoted.
    EXPECT_EQ(starts[0].fields.at("argc"), "3");
    const std::string cmdline = starts[0].fields.at("cmdline");
    EXPECT_TRUE(cmdline.ends_with(" \"kim minsu\" pa55")) << cmdline;
    // From the folder where the 32-bit installer put it, whatever the
    // module's architecture.
    EXPECT_NE(cmdline.find(Recorded(InstallFolder() + L"Zarn_download.exe")), std::string::npos)
        << cmdline;
    const auto args = Select(all, "download", "arg");
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[1].rest, "1 kim minsu");
    EXPECT_EQ(args[2].rest, "2 pa55");

    const auto lists = Select(all, "download", "list");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].fields.at("bytes"), ExpectedBytes("/a/b.txt"));
    EXPECT_TRUE(Select(all, "upload", "list").empty());

    // Once running, the program is not started again, and keeps its credentials.
    ASSERT_HRESULT_SUCCEEDED(Call(L"DownLoad", L"other", L"pw", L"c").hr);
    EXPECT_EQ(Select(Record(), "download", "start").size(), 1u);
    EXPECT_EQ(Select(Record(), "download", "list").size(), 2u);
}

// A started program that never opens its window: one start, ten passes,
// back about 5.5 s after the start; UpLoad answers 2 (not taken) and the
// control logs why.
TEST_F(Transfer, ProgramWithoutWindowCostsTenPasses) {
    rig::LogReceiver log;
    InstallStandIns();
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");  // lets UpLoad through the gate
    StandInSettings{L"", L"no-window", L""}.Apply();

    const CallResult call = Call(L"UpLoad", L"user", L"secret", L"x");
    ASSERT_HRESULT_SUCCEEDED(call.hr);
    EXPECT_EQ(call.result.vt, VT_I4);
    EXPECT_EQ(call.result.lVal, 2);
    EXPECT_EQ(LogLinesWith(log, L"UpLoad: the transfer program did not take"), 1u);

    const auto starts = Select(Record(), "upload", "start");
    ASSERT_EQ(starts.size(), 1u);
    const ULONGLONG sinceStart = call.ended - std::stoull(starts[0].fields.at("t"));
    EXPECT_GE(sinceStart, 5200u);
    EXPECT_LE(sinceStart, 6500u);
    EXPECT_TRUE(Select(Record(), "download", "list").empty()) << "UpLoad sent to the download program";
}

// The page learns when the program never took the list: UpLoad answers 2,
// DownLoad (which has no result) leaves a log line. Both for a program that
// answers 0 every time, one whose window goes away, and (DownLoad) one that
// never opens its window; UpLoad's start without a window is above.
TEST_F(Transfer, ListNotTakenIsReported) {
    rig::LogReceiver log;
    // One call of `method` that sends `lists` lists to `program`.
    const auto expectNotTaken = [&](const wchar_t* method, const char* program, size_t lists) {
        const std::wstring logged = std::wstring(method) + L": the transfer program did not take";
        const size_t linesBefore = LogLinesWith(log, logged);
        const size_t listsBefore = Select(Record(), program, "list").size();
        const CallResult call = Call(method, L"user", L"secret", L"x");
        ASSERT_HRESULT_SUCCEEDED(call.hr);
        if (std::wstring_view(method) == L"UpLoad") {
            EXPECT_EQ(call.result.vt, VT_I4);
            EXPECT_EQ(call.result.lVal, 2) << "UpLoad";
        } else {
            EXPECT_EQ(call.result.vt, VT_EMPTY) << "DownLoad";
        }
        EXPECT_EQ(LogLinesWith(log, logged) - linesBefore, 1u) << rig::Utf8(method);
        EXPECT_EQ(Select(Record(), program, "list").size() - listsBefore, lists) << rig::Utf8(method);
    };

    // Answers 0 every time: ten lists each.
    StandInSettings{L"0", L"", L""}.Apply();
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");
    expectNotTaken(L"UpLoad", "upload", 10);
    expectNotTaken(L"DownLoad", "download", 10);
    EndPrograms();

    // Answers 0 to the first list, then its window goes away.
    StandInSettings{L"0", L"destroy-after-first", L""}.Apply();
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");
    expectNotTaken(L"UpLoad", "upload", 1);
    expectNotTaken(L"DownLoad", "download", 1);
    EndPrograms();

    // Started by DownLoad, and never opens its window.
    InstallStandIns();
    StandInSettings{}.Apply();
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");  // lets DownLoad through the gate
    StandInSettings{L"", L"no-window", L""}.Apply();
    expectNotTaken(L"DownLoad", "download", 0);
    EXPECT_EQ(Select(Record(), "download", "start").size(), 3u) << "DownLoad did not start its program";
}

// Look-alikes of the list's separators (fullwidth '|' and '/') have no
// exact mapping in the prefix's code page (1252): they arrive as the default
// character, never as a separator, and the control logs it once.
TEST_F(Transfer, LookAlikeSeparatorsArriveAsTheDefaultCharacter) {
    ASSERT_EQ(::GetACP(), 1252u);
    rig::LogReceiver log;
    StandInSettings{L"0,1", L"", L""}.Apply();
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");

    ASSERT_HRESULT_SUCCEEDED(Call(L"DownLoad", L"user", L"secret", L"/a\uFF0Fb\uFF5C12|/c").hr);
    const auto lists = Select(Record(), "download", "list");
    ASSERT_EQ(lists.size(), 2u) << "answered 0, then 1";
    for (const auto& list : lists) EXPECT_EQ(list.fields.at("bytes"), ExpectedBytes("/a?b?12|/c"));
    EXPECT_EQ(LogLinesWith(log, L"default character"), 1u) << "one line per hand-off";

    ASSERT_HRESULT_SUCCEEDED(Call(L"DownLoad", L"user", L"secret", L"/a/b|12").hr);
    EXPECT_EQ(LogLinesWith(log, L"default character"), 1u) << "an exact list is not logged";
}

// What the page gives as ID and password reaches the program as exactly
// those two arguments. Text that needs no quoting keeps today's command line
// byte for byte; the rest is quoted as the C runtime reads it back.
TEST_F(Transfer, CredentialsReachTheProgramAsTwoArguments) {
    struct Case {
        std::wstring id, password;
        std::wstring tail;  // the command line's end, after the program
    };
    const Case cases[] = {
        {L"user", L"pa55", L"user pa55"},
        {L"back\\slash", L"trail\\", L"back\\slash trail\\"},
        {L"kim minsu", L"tab\there", L"\"kim minsu\" \"tab\there\""},
        {L"say \"hi\"", L"a\"b", L"\"say \\\"hi\\\"\" \"a\\\"b\""},
        {L"dir\\ x\\", L"q\\\"", L"\"dir\\ x\\\\\" \"q\\\\\\\"\""},
        {L"", L"", L"\"\" \"\""},
        {L"", L"-x /y", L"\"\" \"-x /y\""},
    };
    InstallStandIns();
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");  // lets DownLoad through the gate
    // Each started program takes its list and goes, so the next call starts one again.
    StandInSettings{L"1", L"destroy-after-first", L""}.Apply();

    for (const Case& c : cases) {
        const std::string row = rig::Utf8(L"[" + c.id + L"] [" + c.password + L"]");
        ASSERT_HRESULT_SUCCEEDED(Call(L"DownLoad", c.id, c.password, L"x").hr) << row;
        rig::WaitFor([] { return !::FindWindowW(L"Zarn_class_down", nullptr); }, 10000, 25);
        ASSERT_EQ(::FindWindowW(L"Zarn_class_down", nullptr), nullptr) << row << ": the program stayed";

        // The lines of this row's start: the latest start and the arguments after it.
        std::vector<RecordLine> args;
        std::string cmdline;
        for (const RecordLine& line : Record()) {
            if (line.program != "download") continue;
            if (line.kind == "start") cmdline = line.fields.at("cmdline"), args.clear();
            if (line.kind == "arg") args.push_back(line);
        }
        EXPECT_TRUE(cmdline.ends_with(" " + Recorded(c.tail))) << row << " " << cmdline;
        ASSERT_EQ(args.size(), 3u) << row << " " << cmdline;
        EXPECT_EQ(args[1].rest, "1 " + Recorded(c.id)) << row;
        EXPECT_EQ(args[2].rest, "2 " + Recorded(c.password)) << row;
    }
}

// The same through a page's script in the page host: DownLoad gives script
// nothing, UpLoad 0; null and numbers reach the program as text.
TEST_F(Transfer, PageScriptCallsHandTheListOver) {
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");

    const rig::ProcessResult page = rig::RunPage(L"tests\\pages\\transfer.js", {}, 60000);
    ASSERT_FALSE(page.timedOut) << page.output;
    const auto lines = rig::Lines(page.output);
    ASSERT_EQ(lines.size(), 3u) << page.output;
    EXPECT_TRUE(lines[0].starts_with("DownLoad=undefined ")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("DownLoadNull=undefined ")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("UpLoad=0 ")) << lines[2];

    const auto all = Record();
    const auto down = Select(all, "download", "list");
    ASSERT_EQ(down.size(), 2u);
    EXPECT_EQ(down[0].fields.at("bytes"), ExpectedBytes("/a.txt|3"));
    EXPECT_EQ(down[1].fields.at("bytes"), "00");
    const auto up = Select(all, "upload", "list");
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].fields.at("bytes"), ExpectedBytes("345"));
}

}  // namespace
