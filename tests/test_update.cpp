// The update dialog run by the installation gate, in this process, against
// the update server stand-in and the installer stand-in: the real dialog,
// its real threads and message boxes, driven by a watcher thread.
#include "common/update.h"

#include "common/log_receiver.h"
#include "common/rig.h"
#include "common/updateserver.h"
#include "framework/handle.h"
#include "support/os_version.h"
#include "update/installation_gate.h"
#include "update/setup_folder.h"

#include <commctrl.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <random>
#include <thread>

using namespace zarn;

using namespace rig::update;

namespace {

constexpr char kVersionFile[] = "/append/application/version.ini";
constexpr char kPackage[] = "/append/application/install.zip";
constexpr char kSizeQuery[] = "/append/application/GetInstallFileSize.php";
constexpr wchar_t kSizeFailedText[] = L"설치 프로그램이 설치를 중단했습니다!\n수동 설치를 권장합니다.";

HMODULE Resources() {
    static HMODULE module = ::LoadLibraryW(rig::ModulePath().c_str());
    return module;
}

struct GateRun {
    bool passed = false;
    DWORD returnedTick = 0;
    std::vector<Logged> requests;
};

// Runs the gate under `watcher` and collects what it asked the server.
GateRun RunGate(Watcher& watcher, DWORD graceMs = 3000) {
    const size_t mark = RequestMark();
    GateRun run;
    run.passed = RunInstallationGate(InstallFolder(), graceMs, Resources());
    run.returnedTick = ::GetTickCount();
    watcher.Stop();
    run.requests = RequestsSince(mark);
    return run;
}

std::string Targets(const std::vector<Logged>& requests) {
    std::string all;
    for (const auto& r : requests) all += r.target + " ";
    return all;
}

// A file of an earlier run in the temp folder.
bool WriteLeftover(const std::wstring& path) {
    const zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const char text[] = "left by an earlier run";
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text, sizeof(text) - 1, &written, nullptr) &&
           written == sizeof(text) - 1;
}

// A dialog ended during its initialisation is destroyed before it is shown.
// Wine shows it for a moment anyway (its dialog creation shows a template
// marked visible after WM_INITDIALOG without checking whether the dialog has
// already ended): known Wine gap, marked so that a fix shows up here.
void ExpectNeverShown(const Watcher& watcher) {
    EXPECT_WINE_GAP("a dialog ended in WM_INITDIALOG is shown all the same",
                    !watcher.showRequested);
}

class UpdateDialog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Resources(), nullptr);
        ForgetInstallation();
        Publish("1.0.7\r\n");
        SetSetupMode(L"report2");
    }
};

TEST_F(UpdateDialog, FirstInstallationThenCurrentWithoutDialog) {
    // A version file longer than 100 bytes: only its first 100 bytes count.
    std::string version = "2.0.1 build ";
    while (version.size() < 150) version += "0123456789";
    version.replace(97, 3, "\r\n\t");
    Publish(version);
    SetSetupMode(L"delay:3000");  // long enough to see the install bar hold
    const size_t setupRunsBefore = SetupRuns().size();

    Watcher watcher;
    const GateRun first = RunGate(watcher);
    ASSERT_TRUE(first.passed);
    // The signed release comes before the package it names, and the size
    // query after the package.
    EXPECT_EQ(Targets(first.requests), std::string(kVersionFile) +
                                           " /append/application/release.txt"
                                           " /append/application/release.sig " +
                                           kPackage + " " + kSizeQuery + " ");
    EXPECT_EQ(SetupRuns().size(), setupRunsBefore + 1);
    EXPECT_TRUE(ProgramInstalled());
    const auto stored = InstalledVersion();
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, rig::Wide(version.substr(0, 100)));

    EXPECT_TRUE(watcher.dialogShown);
    EXPECT_EQ(watcher.caption, L"Zarn");
    EXPECT_EQ(watcher.maxDownloadPos, 100);
    ASSERT_FALSE(watcher.sizeTexts.empty());
    EXPECT_NE(watcher.sizeTexts.back().find(L" / "), std::wstring::npos)
        << rig::Utf8(watcher.sizeTexts.back());
    EXPECT_EQ(watcher.downloadCaptions.front(), L"프로그램 다운로드");
    EXPECT_EQ(watcher.downloadCaptions.back(), L"프로그램 다운로드 완료");
    EXPECT_EQ(watcher.lastPercentText, L"100%");
    EXPECT_TRUE(watcher.boxes.empty());

    // Before the report the bar climbs to 80..82 and holds there. The
    // installer takes 3 s; the climb to 80 about 1.8 s from the start of
    // the installation, so the bar holds for a good second (measured from
    // the first sample at 80, which may come late under load).
    ASSERT_NE(watcher.reportTick.load(), 0u);
    int maxBeforeReport = 0;
    DWORD firstHeldTick = 0;
    for (const auto& s : watcher.samples) {
        if (s.reportedBefore) continue;
        maxBeforeReport = std::max(maxBeforeReport, s.installPos);
        if (s.installPos >= 80 && firstHeldTick == 0) firstHeldTick = s.tick;
    }
    EXPECT_GE(maxBeforeReport, 80);
    EXPECT_LE(maxBeforeReport, 82);
    ASSERT_NE(firstHeldTick, 0u);
    EXPECT_GE(watcher.reportTick - firstHeldTick, 300u) << "the bar did not wait for the installer";

    // Now current: passes after one request, before any window is made.
    Watcher second;
    const GateRun again = RunGate(second);
    EXPECT_TRUE(again.passed);
    EXPECT_EQ(Targets(again.requests), std::string(kVersionFile) + " ");
    EXPECT_EQ(second.timerMessages, 0);
    EXPECT_FALSE(second.showRequested);

    // Same version but the download program gone: a full installation.
    ::DeleteFileW((InstallFolder() + L"Zarn_download.exe").c_str());
    SetSetupMode(L"report2");
    Watcher third;
    const GateRun reinstall = RunGate(third);
    EXPECT_TRUE(reinstall.passed);
    EXPECT_EQ(CountTarget(reinstall.requests, kPackage), 1u);
    EXPECT_TRUE(ProgramInstalled());
}

TEST_F(UpdateDialog, SizeReplyThatNeverMatchesGivesUpAfterThreeDownloads) {
    const std::string size = std::to_string(SetupBytes().size());
    // Anything besides the digits makes the reply differ: a space, a line end
    // (written as the server's escapes). A reply of another status is a
    // failed size fetch, even when its body is the package's size.
    for (const std::string& fault :
         {"reply " + size + "\\x20", "reply " + size + "\\r\\n", std::string("reply 12"),
          "status 500 " + size, "status 404 " + size}) {
        SCOPED_TRACE(fault);
        ForgetInstallation();
        rig::updateserver::SetFault(L"GetInstallFileSize.php", fault + "\n");
        const size_t setupRunsBefore = SetupRuns().size();
        Watcher watcher;
        const GateRun run = RunGate(watcher);
        EXPECT_FALSE(run.passed);
        EXPECT_EQ(CountTarget(run.requests, kPackage), 3u) << Targets(run.requests);
        EXPECT_EQ(CountTarget(run.requests, kSizeQuery), 2u) << Targets(run.requests);
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].text, kSizeFailedText);
        EXPECT_EQ(SetupRuns().size(), setupRunsBefore) << "the installer ran";
        EXPECT_FALSE(InstalledVersion());
    }
}

TEST_F(UpdateDialog, MismatchThenMatchDownloadsTwiceAndAsksOnce) {
    rig::updateserver::SetFault(L"install.zip", "reply not the package\nok\n");
    Watcher watcher;
    const GateRun run = RunGate(watcher);
    EXPECT_TRUE(run.passed);
    EXPECT_EQ(CountTarget(run.requests, kPackage), 2u) << Targets(run.requests);
    EXPECT_EQ(CountTarget(run.requests, kSizeQuery), 1u) << Targets(run.requests);
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(UpdateDialog, FetchFailuresShowTheirMessageAndEndWith2) {
    struct Case {
        const wchar_t* name;
        const char* fault;
        const wchar_t* text;
        bool dialogShown;
    };
    constexpr wchar_t kVersionFileFailed[] = L"전송 프로그램 버전 파일을 다운로드 하지 못했습니다!   ";
    // "cut 2": the connection closes before the announced body has arrived.
    // An error reply is no version file, whatever its body says: it was once
    // taken for a version, and the run went on to refuse the release.
    for (const Case& c : {Case{L"version.ini", "cut 2", kVersionFileFailed, false},
                          Case{L"version.ini", "status 404", kVersionFileFailed, false},
                          Case{L"version.ini", "status 500 1.0.8\\r\\n", kVersionFileFailed, false},
                          Case{L"install.zip", "cut 2",
                               L"전송 프로그램 파일을 다운로드 하지 못했습니다!   ", true}}) {
        SCOPED_TRACE(rig::Utf8(c.name) + " " + c.fault);
        Publish("1.0.7\r\n");
        rig::updateserver::SetFault(c.name, std::string(c.fault) + "\n");
        Watcher watcher;
        const GateRun run = RunGate(watcher);
        EXPECT_FALSE(run.passed);
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].text, c.text);
        // The version file's failure comes before the dialog ever shows.
        EXPECT_EQ(watcher.boxes[0].ownerVisible, c.dialogShown);
        if (c.dialogShown)
            EXPECT_TRUE(watcher.dialogShown);
        else
            ExpectNeverShown(watcher);
        EXPECT_FALSE(InstalledVersion());
    }
}

// A version file that cannot be fetched leaves its cause in the log: the
// "CATCH_ALL" record carries the WinINet error in its code field and the
// call that failed, with its site, as its extra text.
TEST_F(UpdateDialog, AFailedVersionFileFetchLogsTheWinInetErrorAndTheFailingCall) {
    rig::LogReceiver viewer;
    rig::updateserver::RefuseConnections(true);
    Watcher watcher;
    const GateRun run = RunGate(watcher);
    rig::updateserver::RefuseConnections(false);
    EXPECT_FALSE(run.passed);
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].text, L"전송 프로그램 버전 파일을 다운로드 하지 못했습니다!   ");

    std::vector<rig::CopyDataMessage> caught;
    for (const auto& record : viewer.From(L"test_update"))
        if (record.Text(4100, 2048) == L"CATCH_ALL") caught.push_back(record);
    ASSERT_EQ(caught.size(), 1u);
    std::int32_t code = 0xdeadbeef;
    std::memcpy(&code, caught[0].bytes.data(), sizeof(code));
    EXPECT_EQ(code, ERROR_INTERNET_CANNOT_CONNECT) << "got " << code;
    const std::wstring extra = caught[0].Text(8196, 2048);
    EXPECT_EQ(extra.rfind(L"HttpSendRequest at internet_file.cpp:", 0), 0u) << rig::Utf8(extra);
}

// Records, on the dialog's thread, every progress position and text the
// dialog's controls are told, and whether it came from another thread: a
// message sent across threads reaches the owner's window procedure with the
// hook told so (and InSendMessage true), whatever the sender is.
class ControlMessageRecorder {
public:
    ControlMessageRecorder() {
        self_ = this;
        hook_ = ::SetWindowsHookExW(WH_CALLWNDPROC, &Hook, nullptr, ::GetCurrentThreadId());
    }
    ~ControlMessageRecorder() {
        ::UnhookWindowsHookEx(hook_);
        self_ = nullptr;
    }
    ControlMessageRecorder(const ControlMessageRecorder&) = delete;
    ControlMessageRecorder& operator=(const ControlMessageRecorder&) = delete;

    int fromThisThread = 0;
    int downloadBarMoves = 0;     // PBM_SETPOS above 0 to the download bar
    std::vector<std::wstring> foreign;  // "<control id> <message>" from other threads

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (code == HC_ACTION && self_ &&
            (message->message == PBM_SETPOS || message->message == WM_SETTEXT)) {
            wchar_t parent[16] = {};
            ::InternalGetWindowText(::GetParent(message->hwnd), parent, 16);
            if (std::wstring_view(parent) == L"Zarn") {
                const int id = ::GetDlgCtrlID(message->hwnd);
                if (!wParam || ::InSendMessage())
                    self_->foreign.push_back(std::to_wstring(id) + L" " +
                                             (message->message == PBM_SETPOS ? L"PBM_SETPOS"
                                                                             : L"WM_SETTEXT"));
                else
                    ++self_->fromThisThread;
                if (message->message == PBM_SETPOS && id == 205 && message->wParam > 0)
                    ++self_->downloadBarMoves;
            }
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }

    inline static ControlMessageRecorder* self_ = nullptr;
    HHOOK hook_ = nullptr;
};

// The download thread and the install progress thread post to the dialog;
// only the dialog's own thread tells its controls anything, across two
// downloads of the package.
TEST_F(UpdateDialog, OnlyTheDialogsThreadTellsItsControls) {
    rig::updateserver::SetFault(L"install.zip", "reply not the package\nok\n");
    ControlMessageRecorder recorder;
    Watcher watcher;
    const GateRun run = RunGate(watcher);
    EXPECT_TRUE(run.passed);
    EXPECT_EQ(watcher.maxDownloadPos, 100);
    EXPECT_EQ(watcher.lastPercentText, L"100%");
    EXPECT_GT(recorder.downloadBarMoves, 0) << "the download's progress was never shown";
    EXPECT_GT(recorder.fromThisThread, 0);
    std::wstring all;
    for (const auto& seen : recorder.foreign) all += seen + L"; ";
    EXPECT_TRUE(recorder.foreign.empty())
        << recorder.foreign.size() << " from other threads: " << rig::Utf8(all);
}

TEST_F(UpdateDialog, ALeftoverThatCannotBeDeletedEndsWith2) {
    // An installer of an earlier run still holding its file.
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring leftover = std::wstring(temp) + L"Zarn_setup.exe";
    HANDLE held = ::CreateFileW(leftover.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Watcher watcher;
    const GateRun run = RunGate(watcher);
    ::CloseHandle(held);
    ::DeleteFileW(leftover.c_str());
    EXPECT_FALSE(run.passed);
    EXPECT_TRUE(run.requests.empty()) << Targets(run.requests);
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].text, L"전송 프로그램 버전 파일을 다운로드 하지 못했습니다!   ");
}

TEST_F(UpdateDialog, InstallerReportsDecideTheResult) {
    {
        SCOPED_TRACE("report 1: ends with 2 after about 300 ms, no message");
        SetSetupMode(L"report1");
        Watcher watcher;
        const GateRun run = RunGate(watcher);
        EXPECT_FALSE(run.passed);
        ASSERT_NE(watcher.reportTick.load(), 0u);
        ASSERT_NE(watcher.endTick.load(), 0u);
        const DWORD after = watcher.endTick - watcher.reportTick;
        EXPECT_GE(after, 250u);
        EXPECT_LT(after, 1500u);
        EXPECT_TRUE(watcher.boxes.empty());
        EXPECT_FALSE(InstalledVersion());
    }
    {
        SCOPED_TRACE("another wParam, an end request, Enter, Esc and close do nothing");
        ForgetInstallation();
        SetSetupMode(L"delay:1200");
        Watcher watcher;
        watcher.PostOnShow(WM_USER + 100, 3);
        // The dialog's own request to end, posted by someone else.
        watcher.PostOnShow(WM_APP + 1, IDOK);
        watcher.PostOnShow(WM_COMMAND, IDOK);
        watcher.PostOnShow(WM_COMMAND, IDCANCEL);
        watcher.PostOnShow(WM_CLOSE, 0);
        const GateRun run = RunGate(watcher);
        EXPECT_TRUE(run.passed);
        ASSERT_NE(watcher.reportTick.load(), 0u) << "ended before the installer reported";
        EXPECT_GE(watcher.endTick - watcher.reportTick, 500u);
        EXPECT_TRUE(InstalledVersion());
    }
    {
        SCOPED_TRACE("an installer that exits without a report: 2 after the grace period");
        ForgetInstallation();
        SetSetupMode(L"exit");
        Watcher watcher;
        // Left waiting for a report, this run would never return.
        const GateRun run = RunGate(watcher, 1000);
        EXPECT_FALSE(run.passed);
        EXPECT_TRUE(watcher.boxes.empty());
        EXPECT_FALSE(InstalledVersion());
    }
    {
        SCOPED_TRACE("a hand-over whose second process reports within the grace period");
        ForgetInstallation();
        SetSetupMode(L"handover:800");
        Watcher watcher;
        const GateRun run = RunGate(watcher, 3000);
        EXPECT_TRUE(run.passed);
        EXPECT_TRUE(InstalledVersion());
    }
}

TEST_F(UpdateDialog, OnlyTheStartedInstallersFirstReportCounts) {
    {
        SCOPED_TRACE("reports posted while the package downloads, before any launch");
        // The package arrives over a few seconds; both reports come meanwhile.
        rig::updateserver::SetFault(L"install.zip", "slow 32768 40\n");
        const size_t setupRunsBefore = SetupRuns().size();
        Watcher watcher;
        watcher.PostOnShow(WM_USER + 100, 1);
        watcher.PostOnShow(WM_USER + 100, 2);
        const GateRun run = RunGate(watcher);
        EXPECT_TRUE(run.passed) << "a report from before the launch ended the run";
        EXPECT_EQ(watcher.maxDownloadPos, 100);
        EXPECT_EQ(CountTarget(run.requests, kSizeQuery), 1u) << Targets(run.requests);
        EXPECT_EQ(SetupRuns().size(), setupRunsBefore + 1);
        EXPECT_TRUE(watcher.boxes.empty());
        EXPECT_EQ(InstalledVersion(), std::optional<std::wstring>(L"1.0.7\r\n"));
    }
    {
        SCOPED_TRACE("an installer that reports 2, then 1");
        rig::updateserver::ClearFault(L"install.zip");
        ForgetInstallation();
        SetSetupMode(L"twice");
        Watcher watcher;
        const GateRun run = RunGate(watcher);
        EXPECT_TRUE(run.passed) << "the second report was taken";
        EXPECT_TRUE(InstalledVersion());
    }
}

TEST_F(UpdateDialog, TheInstallerRunsFromAFolderOfTheRunsOwn) {
    SetSetupMode(L"delay:1500");
    const size_t setupRunsBefore = SetupRuns().size();
    // Looked at while the installer runs: it logs its path as it starts and
    // reports 1.5 s later.
    std::atomic<bool> stop{false};
    std::wstring program;
    bool programThere = false;
    Dacl dacl;
    std::thread look([&] {
        while (!stop) {
            const auto runs = SetupRuns();
            if (runs.size() > setupRunsBefore) {
                program = SetupRunPath(runs.back());
                programThere = ::GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES;
                dacl = ReadDacl(program.substr(0, program.rfind(L'\\')));
                return;
            }
            ::Sleep(10);
        }
    });
    Watcher watcher;
    const GateRun run = RunGate(watcher);
    stop = true;
    look.join();
    EXPECT_TRUE(run.passed);

    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_FALSE(program.empty()) << "the installer never ran";
    const std::wstring folder = program.substr(0, program.rfind(L'\\'));
    EXPECT_EQ(program.substr(folder.size()), L"\\Zarn_setup.exe") << rig::Utf8(program);
    EXPECT_EQ(folder.rfind(std::wstring(temp) + L"ZarnSetup-", 0), 0u) << rig::Utf8(folder);
    EXPECT_EQ(folder.find(L'\\', std::wcslen(temp)), std::wstring::npos) << rig::Utf8(folder);
    EXPECT_TRUE(programThere);

    // Only the user, SYSTEM and the Administrators, nothing from the
    // temporary folder: as the folder is made, and as the system tells it.
    // Wine keeps no DACL of a file's own: it answers one made from the unix
    // mode, which it sets from the DACL given (owner only: the user and
    // SYSTEM; a folder made without one would also let everyone read).
    const std::vector<BYTE> made = SetupFolderSecurity();
    EXPECT_TRUE(IsPrivate(DescribeDacl(const_cast<BYTE*>(made.data()))));
    ASSERT_TRUE(dacl.present);
    if (EXPECT_WINE_GAP("a file's DACL is made from its unix mode, not kept", IsPrivate(dacl))) {
        const std::wstring allowed[] = {UserSidText(), L"S-1-5-18", L"S-1-5-32-544"};
        bool user = false;
        for (const auto& entry : dacl.entries) {
            EXPECT_EQ(entry.type, ACCESS_ALLOWED_ACE_TYPE);
            EXPECT_NE(std::find(std::begin(allowed), std::end(allowed), entry.sid),
                      std::end(allowed))
                << rig::Utf8(entry.sid);
            user = user || entry.sid == allowed[0];
        }
        EXPECT_TRUE(user);
    }

    // Gone with the run, and never made for a run that finds the programs current.
    EXPECT_EQ(::GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(SetupFolders().empty());
    Watcher current;
    EXPECT_TRUE(RunGate(current).passed);
    EXPECT_TRUE(SetupFolders().empty());
}

// A window of a transfer program's class, in this process.
class TransferWindow {
public:
    explicit TransferWindow(const wchar_t* windowClass) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = windowClass;
        ::RegisterClassW(&wc);
        window_ = ::CreateWindowW(windowClass, L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    }
    ~TransferWindow() { ::DestroyWindow(window_); }
    HWND get() const { return window_; }

private:
    HWND window_;
};

TEST_F(UpdateDialog, GatePassesAtOnceWhileATransferProgramRuns) {
    // Installed version older than the server's: only the window lets it pass.
    SetInstalledVersion(L"0.9");
    for (const wchar_t* windowClass : {L"Zarn_class_down", L"Zarn_class_upload"}) {
        SCOPED_TRACE(rig::Utf8(windowClass));
        rig::LogReceiver viewer;
        TransferWindow program(windowClass);
        ASSERT_NE(program.get(), nullptr);
        Watcher watcher;
        const GateRun run = RunGate(watcher);
        EXPECT_TRUE(run.passed);
        EXPECT_TRUE(run.requests.empty()) << Targets(run.requests);
        EXPECT_FALSE(watcher.dialogShown);
        const auto lines = viewer.Lines(L"test_update");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], L"FileVersionCheck");
    }
    EXPECT_EQ(InstalledVersion(), std::optional<std::wstring>(L"0.9"));
}

TEST_F(UpdateDialog, CurrentProgramsPassWithoutAWindowAndClearTheLeftovers) {
    Publish("4.2");
    SetInstalledVersion(L"4.2");
    Watcher installWatcher;
    ASSERT_TRUE(RunGate(installWatcher).passed);  // installs the programs

    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(::GetTempPathW(MAX_PATH + 1, temp), 0u);
    const std::wstring leftovers[] = {std::wstring(temp) + L"version.ini",
                                      std::wstring(temp) + L"Zarn_setup.exe",
                                      std::wstring(temp) + L"install.zip"};
    for (const std::wstring& path : leftovers)
        ASSERT_TRUE(WriteLeftover(path)) << rig::Utf8(path);

    Watcher watcher;
    const GateRun run = RunGate(watcher);
    EXPECT_TRUE(run.passed);
    EXPECT_EQ(Targets(run.requests), std::string(kVersionFile) + " ");
    // The decision is made before any window: none is made, shown or timed.
    EXPECT_EQ(watcher.dialogsMade, 0);
    EXPECT_FALSE(watcher.showRequested);
    EXPECT_FALSE(watcher.dialogShown);
    EXPECT_EQ(watcher.timerMessages, 0);
    EXPECT_TRUE(watcher.boxes.empty());
    // The leftovers went before the fetch, and the fetched file after it.
    for (const std::wstring& path : leftovers)
        EXPECT_EQ(::GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << rig::Utf8(path);
    EXPECT_EQ(InstalledVersion(), std::optional<std::wstring>(L"4.2"));

    // The folder of a run killed during its download, with its partial
    // package (read-only, as a stray file may be), waits for the next
    // update; folders only named alike are not a run's and stay.
    const std::wstring killed = std::wstring(temp) + L"ZarnSetup-00112233aabbccdd";
    const std::wstring alike[] = {std::wstring(temp) + L"ZarnSetup-00112233aabbccdg",
                                  std::wstring(temp) + L"ZarnSetup-00112233aabbccdd0"};
    for (const std::wstring& folder : {killed, alike[0], alike[1]}) {
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr) ||
                    ::GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(WriteLeftover(folder + L"\\install.zip")) << rig::Utf8(folder);
    }
    ::SetFileAttributesW((killed + L"\\install.zip").c_str(), FILE_ATTRIBUTE_READONLY);
    Watcher stillCurrent;
    EXPECT_TRUE(RunGate(stillCurrent).passed);
    EXPECT_NE(::GetFileAttributesW(killed.c_str()), INVALID_FILE_ATTRIBUTES);

    // One that is not current still gets its dialog, shown in its modal loop.
    Publish("4.3");
    SetSetupMode(L"report2");
    Watcher update;
    EXPECT_TRUE(RunGate(update).passed);
    EXPECT_EQ(update.dialogsMade, 1);
    EXPECT_TRUE(update.dialogShown);
    EXPECT_EQ(InstalledVersion(), std::optional<std::wstring>(L"4.3"));
    EXPECT_EQ(::GetFileAttributesW(killed.c_str()), INVALID_FILE_ATTRIBUTES)
        << "the killed run's folder outlived a successful update";
    for (const std::wstring& folder : alike) {
        EXPECT_NE(::GetFileAttributesW((folder + L"\\install.zip").c_str()),
                  INVALID_FILE_ATTRIBUTES)
            << rig::Utf8(folder);
        ::DeleteFileW((folder + L"\\install.zip").c_str());
        ::RemoveDirectoryW(folder.c_str());
    }
}

TEST_F(UpdateDialog, EveryCallFetchesTheVersionFileAnew) {
    Publish("3.1");
    SetInstalledVersion(L"3.1");
    Watcher installWatcher;
    ASSERT_TRUE(RunGate(installWatcher).passed);  // installs the programs
    for (int call = 0; call < 2; ++call) {
        Watcher watcher;
        const GateRun run = RunGate(watcher);
        EXPECT_TRUE(run.passed);
        EXPECT_EQ(Targets(run.requests), std::string(kVersionFile) + " ");
    }
}

TEST_F(UpdateDialog, FiftyRunsWithRandomInstallerOutcomes) {
    const std::wstring outcomes[] = {L"report2", L"report1", L"silent:300", L"exit",
                                     L"delay:700"};
    std::mt19937 random(rig::TestSeed());
    {
        Watcher warmUp;  // first use of the shell and the network in this process
        RunGate(warmUp, 500);
    }
    int passed = 0;
    for (int i = 0; i < 50; ++i) {
        const std::wstring& outcome = outcomes[random() % std::size(outcomes)];
        SCOPED_TRACE("run " + std::to_string(i) + " " + rig::Utf8(outcome));
        const std::string version = "run-" + std::to_string(i);
        Publish(version);
        ForgetInstallation();
        SetSetupMode(outcome);
        const auto threadsBefore = ThreadIds();
        Watcher watcher;
        const GateRun run = RunGate(watcher, 500);
        const bool shouldPass = outcome == L"report2" || outcome == L"delay:700";
        EXPECT_EQ(run.passed, shouldPass);
        const auto threadsAfter = ThreadIds();
        std::vector<DWORD> left;
        std::set_difference(threadsAfter.begin(), threadsAfter.end(), threadsBefore.begin(),
                            threadsBefore.end(), std::back_inserter(left));
        EXPECT_TRUE(left.empty()) << left.size() << " thread(s) still running";
        EXPECT_EQ(InstalledVersion(),
                  run.passed ? std::optional<std::wstring>(rig::Wide(version)) : std::nullopt);
        passed += run.passed;
    }
    RecordProperty("passed_runs", passed);
}

// Run by WindowsXpPathLaunchesTheInstaller in a second process of this suite,
// which Wine reports as Windows XP.
TEST_F(UpdateDialog, DISABLED_InstallOnWindowsXp) {
    ASSERT_FALSE(IsVistaOrLater()) << "not running as Windows 5.x";
    Watcher watcher;
    const GateRun run = RunGate(watcher);
    EXPECT_TRUE(run.passed);
    EXPECT_TRUE(InstalledVersion());
}

TEST_F(UpdateDialog, WindowsXpPathLaunchesTheInstaller) {
    ASSERT_TRUE(IsVistaOrLater());
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const wchar_t* exeName = std::wcsrchr(self, L'\\') + 1;
    const std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + exeName;
    ::RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ, L"winxp64",
                      sizeof(L"winxp64"));
    const auto result = rig::Run(std::wstring(L"\"") + self +
                                     L"\" --gtest_also_run_disabled_tests"
                                     L" --gtest_filter=UpdateDialog.DISABLED_InstallOnWindowsXp",
                                 120000);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_NE(result.output.find("[  PASSED  ] 1 test"), std::string::npos) << result.output;
}

}  // namespace
