// A stalled update server never freezes the page: the page's calls through
// the real module in the page host, against the update server stand-in's
// fault modes. Every limit is the real one (no wait over 20 s, a small fetch
// within 30 s), so each call is timed with the system's tick count by the
// page itself, and the message boxes of the update dialog are answered, and
// timed, from here.
#include "common/transfer.h"
#include "common/update.h"

#include "common/release.h"
#include "common/updateserver.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

namespace server = rig::updateserver;
using rig::transfer::SetEnv;

constexpr wchar_t kSettingsKey[] = L"Software\\Zarn";
constexpr wchar_t kVersionFileText[] = L"전송 프로그램 버전 파일을 다운로드 하지 못했습니다!   ";
constexpr wchar_t kPackageText[] = L"전송 프로그램 파일을 다운로드 하지 못했습니다!   ";
constexpr wchar_t kSizeCheckText[] = L"설치 프로그램이 설치를 중단했습니다!\n수동 설치를 권장합니다.";
constexpr wchar_t kUntouched[] = L"untouched 0.0.1";

// One line of tests/pages/timed_calls.js.
struct TimedCall {
    std::string name;
    DWORD start = 0;
    DWORD end = 0;
    std::string outcome;  // "result=..." or "error=..."
    DWORD Ms() const { return end - start; }
};

std::vector<TimedCall> ParseCalls(const std::string& output) {
    std::vector<TimedCall> calls;
    for (const std::string& line : rig::Lines(output)) {
        TimedCall call;
        char name[32] = {};
        unsigned long start = 0, end = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "%31s start=%lu end=%lu %n", name, &start, &end, &used) < 3)
            continue;
        call.name = name;
        call.start = start;
        call.end = end;
        call.outcome = line.substr(static_cast<size_t>(used));
        calls.push_back(call);
    }
    return calls;
}

std::vector<TimedCall> RunTimedPage(const wchar_t* call, int times, DWORD timeoutMs) {
    const rig::ProcessResult page = rig::RunPage(
        L"tests\\pages\\timed_calls.js", {call, std::to_wstring(times)}, timeoutMs);
    EXPECT_FALSE(page.timedOut) << "the page froze:\n" << page.output;
    EXPECT_EQ(page.exitCode, 0u) << page.output;
    std::vector<TimedCall> calls = ParseCalls(page.output);
    EXPECT_EQ(calls.size(), static_cast<size_t>(times)) << page.output;
    return calls;
}

// Answers every message box captioned "알림" (in any process: the page
// host's) with OK, and keeps each one's text and when it was seen.
class BoxAnswerer {
public:
    struct Box {
        std::wstring text;
        DWORD tick = 0;
    };

    BoxAnswerer() : thread_([this] { Run(); }) {}
    ~BoxAnswerer() { Stop(); }

    std::vector<Box> Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return boxes_;
    }

private:
    void Run() {
        while (!stop_) {
            HWND box = ::FindWindowW(L"#32770", L"알림");
            if (!box) {
                ::Sleep(50);
                continue;
            }
            Box seen;
            seen.tick = ::GetTickCount();
            // The box may be found before its text is there.
            for (int i = 0; i < 40 && seen.text.empty(); ++i) {
                if (i > 0) ::Sleep(50);
                for (HWND child = ::GetWindow(box, GW_CHILD); child;
                     child = ::GetWindow(child, GW_HWNDNEXT)) {
                    wchar_t cls[32] = {}, text[512] = {};
                    ::GetClassNameW(child, cls, 32);
                    ::GetWindowTextW(child, text, 512);
                    if (_wcsicmp(cls, L"Static") == 0 && text[0]) seen.text = text;
                }
            }
            boxes_.push_back(seen);
            ::PostMessageW(box, WM_COMMAND, IDOK, 0);
            rig::WaitFor([&] { return !::IsWindow(box); }, 5000, 50);
        }
    }

    std::atomic<bool> stop_{false};
    std::vector<Box> boxes_;
    std::thread thread_;
};

DWORD InstallFlag() {
    DWORD value = 0xdeadbeef, size = sizeof(value);
    ::RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"Isinstall", RRF_RT_REG_DWORD, nullptr,
                   &value, &size);
    return value;
}

void SetInstallFlag(DWORD value) {
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"Isinstall", REG_DWORD, &value,
                      sizeof(value));
}

std::wstring DesktopShortcut() {
    wchar_t desktop[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, desktop, CSIDL_DESKTOP, FALSE);
    return std::wstring(desktop) + L"\\Zarn.lnk";
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class BoundedWaits : public rig::transfer::TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        rig::update::ForgetInstallation();
        rig::update::Publish("2.0.1");
        rig::update::SetSetupMode(L"report2");
        SetInstallFlag(0);
        for (const wchar_t* name : {L"install_statistic.php", L"zarn1.ico"})
            server::ClearFault(name);
    }
    void TearDown() override {
        for (const wchar_t* name : {L"version.ini", L"install.zip", L"GetInstallFileSize.php",
                                    L"install_statistic.php", L"zarn1.ico"})
            server::ClearFault(name);
        SetInstallFlag(0);
        TransferTest::TearDown();
    }
    bool NothingStarted() { return rig::transfer::ReadRecord(record_).empty(); }
};

// Every fault mode on the version file, one UpLoad each (the n-th request
// gets the n-th mode), while MakeShortCut meets a silent icon server in a
// second page.
TEST_F(BoundedWaits, VersionFileFaultsEndWithTheMessageAndIconlessShortcut) {
    // The drip announces a body within the version file's cap, so that only
    // the stall can end it.
    const char* modes[] = {"silent", "drip 3000 60 1000", "slow-headers", "huge",
                           "reset-mid-body"};
    std::string directives;
    for (const char* mode : modes) directives += std::string(mode) + "\n";
    server::SetFault(L"version.ini", directives);
    server::SetFault(L"zarn1.ico", "silent\n");
    rig::update::SetInstalledVersion(kUntouched);
    const std::wstring temp = rig::ScratchDir(L"bounded") + L"\\";
    SetEnv(L"TMP", temp);
    ::DeleteFileW(DesktopShortcut().c_str());

    BoxAnswerer answerer;
    std::vector<TimedCall> shortcut;
    std::thread iconPage([&] { shortcut = RunTimedPage(L"MakeShortCut", 1, 120000); });
    const std::vector<TimedCall> calls = RunTimedPage(L"UpLoad", 5, 5 * 90000);
    iconPage.join();
    const std::vector<BoxAnswerer::Box> boxes = answerer.Stop();

    ASSERT_EQ(calls.size(), std::size(modes));
    ASSERT_EQ(boxes.size(), std::size(modes));
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(modes[i]);
        EXPECT_EQ(calls[i].outcome, "result=1");
        EXPECT_LT(calls[i].Ms(), 60000u);
        EXPECT_EQ(boxes[i].text, kVersionFileText);
        EXPECT_GE(boxes[i].tick, calls[i].start);
        EXPECT_LE(boxes[i].tick, calls[i].end);
        std::printf("[ measured ] version file, %-14s message after %5lu ms, call %5lu ms\n",
                    modes[i], static_cast<unsigned long>(boxes[i].tick - calls[i].start),
                    static_cast<unsigned long>(calls[i].Ms()));
    }
    // A silent server and a dripping body hold the fetch for the whole wait
    // limit: the failure comes from the limit, not from anything earlier.
    EXPECT_GE(boxes[0].tick - calls[0].start, 19000u);
    EXPECT_GE(boxes[1].tick - calls[1].start, 19000u);
    EXPECT_EQ(rig::update::InstalledVersion(), std::wstring(kUntouched));
    EXPECT_TRUE(NothingStarted());

    ASSERT_EQ(shortcut.size(), 1u);
    EXPECT_EQ(shortcut[0].outcome, "result=0");
    EXPECT_LT(shortcut[0].Ms(), 60000u);
    EXPECT_GE(shortcut[0].Ms(), 19000u) << "the icon fetch did not wait for the silent server";
    std::printf("[ measured ] MakeShortCut with a silent icon server: %lu ms\n",
                static_cast<unsigned long>(shortcut[0].Ms()));
    EXPECT_TRUE(Exists(temp + L"Zarn\\Zarn.url"));
    EXPECT_FALSE(Exists(temp + L"Zarn\\zarn1.ico"));
    EXPECT_TRUE(Exists(DesktopShortcut()));
    ::DeleteFileW(DesktopShortcut().c_str());
    SetEnv(L"TMP", L"");
}

// A package that stalls: on its first download the download's own message;
// on the re-downloads of the size check (a dripping one, then a silent one)
// the size check's message once its re-downloads are spent.
TEST_F(BoundedWaits, StalledPackageEndsTheDialogWith2) {
    struct Case {
        std::string package;
        const char* sizeReply;
        const wchar_t* text;
        DWORD limitMs;
    };
    // The drip announces the release's own size: a longer body would be
    // refused at once, before any wait.
    const std::string drip = "drip 5000 300 " + std::to_string(rig::update::SetupBytes().size()) + "\n";
    for (const Case& c : {Case{drip, "ok\n", kPackageText, 60000},
                          Case{"ok\n" + drip + "silent\n", "reply 12\n", kSizeCheckText, 120000}}) {
        SCOPED_TRACE(c.package);
        server::SetFault(L"install.zip", c.package);
        server::SetFault(L"GetInstallFileSize.php", c.sizeReply);
        BoxAnswerer answerer;
        const std::vector<TimedCall> calls = RunTimedPage(L"UpLoad", 1, 300000);
        const std::vector<BoxAnswerer::Box> boxes = answerer.Stop();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].outcome, "result=1");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, c.text);
        EXPECT_LT(boxes[0].tick - calls[0].start, c.limitMs);
        EXPECT_GE(boxes[0].tick - calls[0].start, 19000u);
        std::printf("[ measured ] package %s: message after %lu ms\n",
                    c.text == kPackageText ? "stalled on its first download"
                                           : "stalled on both re-downloads",
                    static_cast<unsigned long>(boxes[0].tick - calls[0].start));
        EXPECT_FALSE(rig::update::InstalledVersion());
        EXPECT_TRUE(NothingStarted());
    }
}

// A silent server during the install report: the call fails within the
// limits of a small fetch, and the report stays due.
TEST_F(BoundedWaits, SilentReportEndsTheCallAndKeepsTheFlag) {
    server::SetFault(L"install_statistic.php", "silent\n");
    SetInstallFlag(1);
    const std::vector<TimedCall> calls = RunTimedPage(L"DownLoad", 1, 120000);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].outcome.rfind("error=", 0), 0u) << calls[0].outcome;
    EXPECT_LT(calls[0].Ms(), 60000u);
    EXPECT_GE(calls[0].Ms(), 19000u);
    std::printf("[ measured ] install report to a silent server: call ended after %lu ms\n",
                static_cast<unsigned long>(calls[0].Ms()));
    EXPECT_EQ(InstallFlag(), 1u);
    EXPECT_TRUE(NothingStarted());
}

// The stall limit is about silence, not speed: a 32 MiB package served at
// about 1 MiB/s installs.
TEST_F(BoundedWaits, SlowButSteadyPackageInstalls) {
    std::string package = rig::update::SetupBytes();
    ASSERT_FALSE(package.empty());
    package.resize(32u << 20, '\0');  // an overlay the installer stand-in ignores
    // Published as a signed release of the same version: the dialog runs no other.
    rig::release::Publish("2.0.1", package);
    server::SetFault(L"install.zip", "slow 65536 62\n");
    BoxAnswerer answerer;
    const std::vector<TimedCall> calls = RunTimedPage(L"UpLoad", 1, 300000);
    const std::vector<BoxAnswerer::Box> boxes = answerer.Stop();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].outcome, "result=0");
    EXPECT_TRUE(boxes.empty()) << rig::Utf8(boxes.front().text);
    EXPECT_GE(calls[0].Ms(), 25000u) << "the package was not served slowly";
    std::printf("[ measured ] 32 MiB package at about 1 MiB/s: UpLoad took %lu ms\n",
                static_cast<unsigned long>(calls[0].Ms()));
    EXPECT_EQ(rig::update::InstalledVersion(), std::wstring(L"2.0.1"));
    EXPECT_TRUE(rig::update::ProgramInstalled());
    EXPECT_FALSE(NothingStarted()) << "the upload program was not started";
}

}  // namespace
