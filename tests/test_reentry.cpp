// Calls made from inside the control's own modal loops, through the page
// host: a page timer (or an event handler) calls the control again, from
// the same control, a second control or a second process, or lets go of it
// while the update dialog, a picker or the walk is running. After every case
// the control's module must unload with no thread of it left.
#include "common/transfer.h"  // shlobj.h first, for the selection rig
#include "common/selection.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "common/log_receiver.h"
#include "common/release.h"
#include "common/updateserver.h"
#include "update/update_lock.h"

using namespace zarn;

using namespace rig::transfer;
namespace server = rig::updateserver;

namespace {

constexpr wchar_t kPage[] = L"tests\\pages\\reentry.js";
constexpr wchar_t kSettingsKey[] = L"Software\\Zarn";
constexpr wchar_t kUpdateCaption[] = L"Zarn";

// What the page printed: "<what> <value>" per line; "<missing>" for a
// line it never printed.
struct Seen {
    std::map<std::string, std::string> values;
    std::string operator[](const std::string& what) const {
        const auto found = values.find(what);
        return found == values.end() ? "<missing>" : found->second;
    }
};

Seen Parse(const std::string& output) {
    Seen seen;
    for (const std::string& line : rig::Lines(output)) {
        const size_t space = line.find(' ');
        if (space != std::string::npos) seen.values[line.substr(0, space)] = line.substr(space + 1);
    }
    return seen;
}

std::string Show(const Seen& seen) {
    std::string out;
    for (const auto& [what, value] : seen.values) out += "  " + what + " = " + value + "\n";
    return out;
}

// Every dialog window (#32770) any process shows meanwhile, by caption. A
// dialog other than the expected ones (a message box, an error box of the
// shell) is answered with OK, unless a watcher drives it, so that no run
// waits on it.
class DialogSpy {
public:
    explicit DialogSpy(std::set<std::wstring> expected, bool answerOthers = true)
        : expected_(std::move(expected)), answerOthers_(answerOthers),
          thread_([this] { Watch(); }) {}
    ~DialogSpy() {
        stop_ = true;
        thread_.join();
    }
    std::set<std::wstring> Captions() const {
        const std::lock_guard lock(mutex_);
        return captions_;
    }
    // Texts of the dialogs that were not expected ("caption: text").
    std::vector<std::string> Unexpected() const {
        const std::lock_guard lock(mutex_);
        return unexpected_;
    }

private:
    // A window procedure's calling convention: stdcall on the 32-bit build,
    // which a lambda cannot take.
    static BOOL CALLBACK CollectDialog(HWND window, LPARAM list) {
        if (::IsWindowVisible(window) && rig::selection::ClassOf(window) == L"#32770")
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
        return TRUE;
    }
    void Watch() {
        while (!stop_) {
            std::vector<HWND> dialogs;
            ::EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&dialogs));
            for (HWND dialog : dialogs) Look(dialog);
            ::Sleep(40);
        }
    }
    void Look(HWND dialog) {
        // Read without a message: the page's thread may be busy in a timer
        // of the page, inside the dialog's own loop.
        wchar_t text[256] = {};
        ::GetWindowTextW(dialog, text, 256);
        const std::wstring caption = text;
        {
            const std::lock_guard lock(mutex_);
            captions_.insert(caption);
        }
        if (expected_.count(caption) || !answerOthers_) return;
        std::wstring texts;
        for (HWND child : rig::selection::Descendants(dialog))
            if (rig::selection::ClassOf(child) == L"Static") texts += rig::selection::WindowText(child) + L" ";
        {
            const std::lock_guard lock(mutex_);
            if (answered_.insert(dialog).second)
                unexpected_.push_back(rig::Utf8(caption) + ": " + rig::Utf8(texts));
        }
        ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    }

    const std::set<std::wstring> expected_;
    const bool answerOthers_;
    mutable std::mutex mutex_;
    std::set<std::wstring> captions_;
    std::set<HWND> answered_;
    std::vector<std::string> unexpected_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Reentry : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        RemoveInstalled();
        for (const wchar_t* name : {L"version", L"release"})
            ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name);
        for (const wchar_t* name : {L"version.ini", L"install.zip", L"GetInstallFileSize.php"})
            server::ClearFault(name);
        // A new version every run, so that the dialog always installs, as a
        // signed release: the dialog runs no other.
        rig::release::Publish("reentry " + std::to_string(Now()),
                              rig::ReadFileBytes(rig::BuildDir() + L"\\Zarn_setup.exe").value_or(""));
        setupLog_ = rig::ScratchDir(L"reentry") + L"\\setup.log";
        SetEnv(L"ZARN_SETUP_LOG", setupLog_);
        // The dialog stays up well past the page's timer.
        SetEnv(L"ZARN_SETUP_MODE", L"delay:1000");
        marker_ = rig::ScratchDir(L"reentry") + L"\\marker.txt";
        versionFetches_ = VersionFetches();
    }
    void TearDown() override {
        SetEnv(L"ZARN_SETUP_MODE", L"");
        SetEnv(L"ZARN_SETUP_LOG", L"");
        TransferTest::TearDown();
    }

    static size_t VersionFetches() { return server::RequestsTagged(L"version.ini").size(); }
    size_t NewVersionFetches() const { return VersionFetches() - versionFetches_; }
    size_t InstallerRuns() const {
        return rig::Lines(rig::ReadFileBytes(setupLog_).value_or("")).size();
    }
    bool MarkerWritten() const { return rig::ReadFileBytes(marker_).has_value(); }

    Seen Page(const std::wstring& scenario, bool withMarker = false) {
        std::vector<std::wstring> args{scenario};
        if (withMarker) args.push_back(marker_);
        const rig::ProcessResult run = rig::RunPage(kPage, args, 90000);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(0u, run.exitCode) << run.output;
        return Parse(run.output);
    }

    // The page has let go and the control has let its module go.
    static void ExpectModuleGone(const Seen& seen) {
        EXPECT_EQ("S_OK", seen["end.canUnload"]) << Show(seen);
        EXPECT_EQ("unloaded", seen["end.module"]);
        EXPECT_EQ("0", seen["end.threads"]);
    }

    // The upload program was started once from the install folder with the
    // first call's ID and password, and took the first call's list, once.
    void ExpectFirstUploadOnly() {
        const auto all = Record();
        const auto args = Select(all, "upload", "arg");
        ASSERT_EQ(3u, args.size()) << "the upload program was not started once";
        // The record escapes backslashes.
        std::string path;
        for (const char c : rig::Utf8(InstallFolder() + L"Zarn_upload.exe"))
            path += c == '\\' ? std::string("\\\\") : std::string(1, c);
        EXPECT_EQ("0 " + path, args[0].rest);
        EXPECT_EQ("1 user", args[1].rest);
        EXPECT_EQ("2 pw", args[2].rest);
        const auto lists = Select(all, "upload", "list");
        ASSERT_EQ(1u, lists.size());
        EXPECT_EQ(Hex(std::string("first|1") + '\0'), lists[0].fields.at("bytes"));
        EXPECT_TRUE(Select(all, "download", "start").empty());
    }

    size_t Refusals(const rig::LogReceiver& log) const {
        size_t n = 0;
        // The module names itself in every line it logs.
        for (const std::wstring& line : log.Lines(L"ZarnCtrl2"))
            n += line.find(L"refused") != std::wstring::npos;
        return n;
    }

    std::wstring setupLog_, marker_;
    size_t versionFetches_ = 0;
};

// The page lets go of the control while the update dialog runs: the call
// goes on in a live object, installs, starts the upload program with the
// right path, ID, password and list, shows no error and returns 0.
TEST_F(Reentry, PageLetsGoDuringTheUpdateDialog) {
    DialogSpy spy({kUpdateCaption});
    const Seen seen = Page(L"update-release");
    EXPECT_EQ("true", seen["timer.inCall"]) << Show(seen);
    EXPECT_EQ("S_FALSE", seen["timer.canUnload"]) << "the running call holds the module";
    EXPECT_EQ("script error", seen["timer.callAfterRelease"]) << "the element is gone";
    EXPECT_EQ("0", seen["result"]);
    EXPECT_EQ(1u, InstallerRuns());
    ExpectFirstUploadOnly();
    EXPECT_EQ(std::vector<std::string>{}, spy.Unexpected());
    EXPECT_EQ(std::set<std::wstring>{kUpdateCaption}, spy.Captions());
    ExpectModuleGone(seen);
}

// While the update dialog runs, the page calls again: a second UpLoad and
// DownLoad on the same control and on a second control, and both pickers,
// are refused quietly with one log line each; what shows no modal UI still
// works; the first call installs once and hands over its own list.
TEST_F(Reentry, CallsDuringTheUpdateDialogAreRefusedQuietly) {
    DialogSpy spy({kUpdateCaption});
    rig::LogReceiver log;
    const Seen seen = Page(L"update-again");
    EXPECT_EQ("true", seen["again.inCall"]) << Show(seen);
    EXPECT_EQ("1", seen["again.UpLoad"]);
    EXPECT_EQ("undefined", seen["again.DownLoad"]);
    EXPECT_EQ("0", seen["again.ShowDlgFile"]);
    EXPECT_EQ("0", seen["again.ShowDlgFolder"]);
    EXPECT_EQ("1", seen["other.UpLoad"]);
    EXPECT_EQ("undefined", seen["other.DownLoad"]);
    EXPECT_EQ("0", seen["again.SelectComplete"]);
    EXPECT_EQ("1", seen["again.event"]);
    EXPECT_EQ("undefined", seen["again.CheckInstall"]);
    EXPECT_EQ("0", seen["again.AllowPopUp"]);
    EXPECT_EQ("0", seen["result"]);

    EXPECT_EQ(1u, NewVersionFetches()) << "only the first call checked the version";
    EXPECT_EQ(1u, InstallerRuns());
    ExpectFirstUploadOnly();
    EXPECT_EQ(6u, Refusals(log)) << "one line per refused call";
    EXPECT_EQ(std::vector<std::string>{}, spy.Unexpected());
    EXPECT_EQ(std::set<std::wstring>{kUpdateCaption}, spy.Captions()) << "no picker showed";
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER,
                         L"Software\\Microsoft\\Internet Explorer\\New Windows\\Allow",
                         L"reentry.example");
    ExpectModuleGone(seen);
}

// A second process of the same user starts an update while the first one's
// dialog runs: refused (UpLoad returns 1) before it fetches anything; the
// installer runs once and reports to the first process's dialog.
TEST_F(Reentry, ASecondProcessIsRefusedWhileAnUpdateRuns) {
    // Long enough for the second page host to start while it runs.
    SetEnv(L"ZARN_SETUP_MODE", L"delay:6000");
    DialogSpy spy({kUpdateCaption});
    rig::LogReceiver log;
    Seen first;
    std::thread firstPage([&] { first = Page(L"update"); });
    const bool dialogUp = rig::WaitFor([] { return ::FindWindowW(L"#32770", kUpdateCaption) != nullptr; },
                                  30000);
    Seen second;
    if (dialogUp) second = Page(L"update");
    firstPage.join();
    ASSERT_TRUE(dialogUp) << "the first page's update dialog never showed";

    EXPECT_EQ("1", second["result"]) << Show(second);
    EXPECT_EQ("0", first["result"]) << Show(first);
    EXPECT_EQ(1u, NewVersionFetches());
    EXPECT_EQ(1u, InstallerRuns());
    ExpectFirstUploadOnly();
    EXPECT_EQ(1u, Refusals(log));
    EXPECT_EQ(std::vector<std::string>{}, spy.Unexpected());
    ExpectModuleGone(first);
    ExpectModuleGone(second);
}

// A browser that ended while its update dialog ran leaves the lock
// abandoned: the next update takes it and runs.
TEST_F(Reentry, AnAbandonedUpdateLockDoesNotBlockTheNextUpdate) {
    SetEnv(L"ZARN_SETUP_MODE", L"");
    zfw::unique_handle lock(::CreateMutexW(nullptr, FALSE, UpdateLock::Name().c_str()));
    ASSERT_TRUE(lock);
    DWORD taken = WAIT_FAILED;
    std::thread([&] { taken = ::WaitForSingleObject(lock.get(), 0); }).join();  // ends holding it
    ASSERT_EQ(WAIT_OBJECT_0, taken);

    const Seen seen = Page(L"update");
    EXPECT_EQ("0", seen["result"]) << Show(seen);
    EXPECT_EQ(1u, InstallerRuns());
    ExpectFirstUploadOnly();
    ExpectModuleGone(seen);
}

// The page lets go of the control while the file picker is open; the user
// then picks a file. The call goes on to its end: the folder is remembered,
// no event reaches the page that left, the result is 0.
TEST_F(Reentry, PageLetsGoDuringTheFilePicker) {
    const std::wstring folder = rig::selection::DriveCScratch(L"reentry-file");
    rig::selection::MakeFile(folder + L"\\picked.txt", 12);
    rig::selection::SetRemembered(folder);
    Seen seen;
    {
        rig::selection::Watcher watcher(
            [&](HWND dialog) {
                rig::WaitFor([&] { return MarkerWritten(); }, 20000);
                ::SendMessageW(::GetDlgItem(dialog, 1152), WM_SETTEXT, 0,
                               reinterpret_cast<LPARAM>((folder + L"\\picked.txt").c_str()));
                rig::selection::Click(dialog, IDOK);
            },
            30000, /*anyProcess=*/true);
        seen = Page(L"file-release", true);
    }
    EXPECT_EQ("true", seen["timer.inCall"]) << Show(seen);
    EXPECT_EQ("S_FALSE", seen["timer.canUnload"]);
    EXPECT_EQ("0", seen["result"]);
    EXPECT_EQ("0", seen["events"]) << "the page had let go before the pick";
    EXPECT_EQ(folder, rig::selection::Remembered());
    ExpectModuleGone(seen);
}

// The same while the folder browser is open: the picked folder is
// remembered and walked, and nothing reaches the page that left.
TEST_F(Reentry, PageLetsGoDuringTheFolderBrowser) {
    const std::wstring folder = rig::selection::DriveCScratch(L"reentry-folder");
    rig::selection::MakeFolder(folder + L"\\sub");
    rig::selection::MakeFile(folder + L"\\sub\\a.txt", 3);
    rig::selection::SetRemembered(folder);
    Seen seen;
    {
        rig::selection::Watcher watcher(
            [&](HWND dialog) {
                rig::WaitFor([&] { return MarkerWritten(); }, 20000);
                rig::selection::Click(dialog, IDOK);
            },
            30000, /*anyProcess=*/true);
        seen = Page(L"folder-release", true);
    }
    EXPECT_EQ("true", seen["timer.inCall"]) << Show(seen);
    EXPECT_EQ("S_FALSE", seen["timer.canUnload"]);
    EXPECT_EQ("0", seen["result"]);
    EXPECT_EQ("0", seen["events"]);
    EXPECT_EQ(folder, rig::selection::Remembered());
    ExpectModuleGone(seen);
}

// In the middle of the walk the page's handler calls the control again (an
// echo works, another picker and an update are refused), then lets go of
// it. The walk ends cleanly and no event follows the release.
TEST_F(Reentry, HandlerCallsAgainThenLetsGoDuringTheWalk) {
    const std::wstring folder = rig::selection::DriveCScratch(L"reentry-walk");
    for (const wchar_t* sub : {L"\\a", L"\\b", L"\\c"}) {
        rig::selection::MakeFolder(folder + sub);
        rig::selection::MakeFile(folder + sub + L"\\f.txt", 5);
    }
    rig::selection::SetRemembered(folder);
    rig::LogReceiver log;
    Seen seen;
    {
        rig::selection::Watcher watcher([&](HWND dialog) { rig::selection::Click(dialog, IDOK); }, 30000,
                                /*anyProcess=*/true);
        seen = Page(L"walk");
    }
    EXPECT_EQ("0", seen["walk.SelectComplete"]) << Show(seen);
    EXPECT_EQ("1", seen["walk.echo"]);
    EXPECT_EQ("0", seen["walk.ShowDlgFolder"]);
    EXPECT_EQ("1", seen["walk.UpLoad"]);
    EXPECT_EQ("true", seen["walk.inCall"]);
    EXPECT_EQ("S_FALSE", seen["walk.canUnload"]);
    EXPECT_EQ("0", seen["result"]);
    EXPECT_EQ("4", seen["events"]) << "folder, echo, a, a\\f.txt; nothing after the release";
    EXPECT_EQ("0", seen["eventsAfterRelease"]);
    EXPECT_EQ(0u, NewVersionFetches());
    EXPECT_EQ(2u, Refusals(log));
    ExpectModuleGone(seen);
}

// While the file picker is open, the page's timer asks for an update and for
// the pickers: each is refused quietly, nothing is fetched, no second
// dialog shows.
TEST_F(Reentry, UpdateAndPickerCallsDuringAPickerAreRefused) {
    DialogSpy spy({}, /*answerOthers=*/false);
    rig::LogReceiver log;
    rig::selection::SetRemembered(rig::selection::DriveCScratch(L"reentry-cancel"));
    Seen seen;
    {
        rig::selection::Watcher watcher(
            [&](HWND dialog) {
                rig::WaitFor([&] { return MarkerWritten(); }, 20000);
                rig::selection::Click(dialog, IDCANCEL);
            },
            30000, /*anyProcess=*/true);
        seen = Page(L"file-again", true);
    }
    EXPECT_EQ("true", seen["again.inCall"]) << Show(seen);
    EXPECT_EQ("1", seen["again.UpLoad"]);
    EXPECT_EQ("undefined", seen["again.DownLoad"]);
    EXPECT_EQ("0", seen["again.ShowDlgFile"]);
    EXPECT_EQ("0", seen["again.ShowDlgFolder"]);
    EXPECT_EQ("0", seen["result"]);
    EXPECT_EQ(0u, NewVersionFetches());
    EXPECT_TRUE(Record().empty()) << "a transfer program was started";
    EXPECT_EQ(4u, Refusals(log));
    EXPECT_EQ(1u, spy.Captions().size()) << "only the file picker showed";
    ExpectModuleGone(seen);
}

}  // namespace
