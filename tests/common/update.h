// What the update suites share: the published state on the update server
// stand-in, the installed state on this machine, and a watcher that drives
// the real update dialog and its message boxes from a second thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/dialog_watcher.h"

namespace rig::update {

// Requests the server logged after a mark, as "<method> <target>" and raw.
struct Logged {
    std::string target;
    std::string raw;
};
size_t RequestMark();
std::vector<Logged> RequestsSince(size_t mark);
size_t CountTarget(const std::vector<Logged>& requests, std::string_view path);

// Bytes of the installer stand-in, published as install.zip.
const std::string& SetupBytes();
// Publishes a version text and the installer as a release signed with the
// trusted key, and clears every fault.
void Publish(std::string_view versionText, unsigned long release = 1);

// The installed state: "version" under HKCU\Software\Zarn and the programs.
std::optional<std::wstring> InstalledVersion();
void SetInstalledVersion(const std::wstring& version);
void ForgetInstallation();  // removes "version", "release", both programs and runs' folders
std::optional<DWORD> InstalledRelease();
void SetInstalledRelease(DWORD release);
std::wstring InstallFolder();
bool ProgramInstalled();

// How the installer stand-in behaves in the next run (ZARN_SETUP_MODE).
void SetSetupMode(const std::wstring& mode);
// Lines the installer stand-in wrote in this suite.
std::vector<std::string> SetupRuns();
// The program path a line of SetupRuns names (its third field on).
std::wstring SetupRunPath(const std::string& line);

// The update runs' own folders now under the temporary folder.
std::vector<std::wstring> SetupFolders();

// The DACL of a file or folder, as the rig reads it from the system.
struct Dacl {
    bool present = false;
    bool isProtected = false;  // SE_DACL_PROTECTED: nothing inherited from the parent
    struct Entry {
        std::wstring sid;  // S-1-...
        BYTE type = 0xff;
        BYTE flags = 0xff;
        ACCESS_MASK mask = 0;
    };
    std::vector<Entry> entries;
};
Dacl ReadDacl(const std::wstring& path);
Dacl DescribeDacl(PSECURITY_DESCRIPTOR descriptor);
// True when `dacl` is protected and allows exactly the user, SYSTEM and the
// Administrators, each with entries of its own (none inherited).
bool IsPrivate(const Dacl& dacl);
// The SID of the user the rig runs as, as S-1-... text.
std::wstring UserSidText();

// Watches this process's windows while a gate runs on the test's thread:
// records the dialog's controls, answers message boxes captioned "알림" with
// OK, and notes when the installer's report reached the dialog's thread.
class Watcher {
public:
    struct MessageBoxSeen {
        std::wstring text;
        bool ownerVisible = false;
    };
    struct Sample {
        DWORD tick = 0;
        int installPos = 0;
        bool reportedBefore = false;
    };

    // Samples the dialog every `pollMs` (each sample is a few messages to the
    // dialog's thread).
    explicit Watcher(DWORD pollMs = 5);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Once the dialog is visible, also post these messages to it.
    void PostOnShow(UINT message, WPARAM wParam);

    bool dialogShown = false;
    std::wstring caption;
    int maxDownloadPos = 0;
    std::vector<std::wstring> sizeTexts;        // distinct texts of control 209
    std::vector<std::wstring> downloadCaptions;  // distinct texts of control 206
    std::wstring lastPercentText;
    std::vector<Sample> samples;
    int firstHiddenDownloadPos = -1;  // download bar when the ended dialog was first seen hidden
    DWORD downloadFirstTick = 0;  // first sample with the download bar above 0
    DWORD downloadDoneTick = 0;   // first sample with the completed download caption
    // The same two moments as the dialog's thread was told them, exact to the
    // clock's resolution: the download bar's first move above 0 and the
    // completed download caption (none when they never came); and the bar's
    // first move to full, which the last byte brings.
    std::optional<std::chrono::steady_clock::time_point> downloadFirstMoved, downloadDoneShown,
        downloadFull;
    std::vector<MessageBoxSeen> boxes;
    std::atomic<DWORD> reportTick{0};  // when WM_SETUP_REPORT 1 or 2 was taken
    int timerMessages = 0;
    // The dialog was sent WM_SHOWWINDOW to appear (seen on the dialog's thread).
    bool showRequested = false;
    // Dialog windows (the update dialog or a message box) that were made and
    // sent WM_INITDIALOG in this process.
    int dialogsMade = 0;
    // When the dialog started to hide, that is, when it was ended.
    std::atomic<DWORD> endTick{0};

    // Stops watching; the fields are stable afterwards.
    void Stop();

private:
    // One look at the visible dialog's controls.
    struct Reading {
        std::wstring caption, sizeText, downloadCaption, percent;
        int download = 0;
        Sample sample;
    };
    void AnswerBox(HWND box);
    void TakeSample();
    Reading Read(HWND dialog);
    void Keep(const Reading& reading);  // from the watcher's thread or the dialog's
    static LRESULT CALLBACK GetMessageHook(int code, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK CallWndHook(int code, WPARAM wParam, LPARAM lParam);
    void NoteProgress(const CWPSTRUCT& message);  // on the dialog's thread

    std::vector<std::pair<UINT, WPARAM>> onShow_;
    bool posted_ = false;
    std::mutex samplesLock_;
    HHOOK hook_ = nullptr;
    HHOOK sendHook_ = nullptr;
    rig::DialogWatcher watcher_;  // last: it stops before the fields go
};

// Thread ids of this process, leaving out the system's thread-pool workers
// (they start in ntdll, and an idle one waits a while for the next request
// before it ends).
std::vector<DWORD> ThreadIds();

}  // namespace rig::update
