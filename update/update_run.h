// What one run of the update dialog shares with its two background threads.
//
// The dialog object lives on the gate's stack and goes away when the modal
// run returns; the threads may outlive it. Everything they use therefore
// lives here, owned jointly (shared_ptr) by the dialog and each thread, so it
// outlives whichever side ends last. The threads touch no window: they post
// requests, and the download's progress, to the dialog, whose own thread
// acts on them and draws. The one exception is an end request that finds
// the dialog's queue full (RequestEnd). Once the run has ended, no thread
// posts anything or writes the installed version.
#pragma once

#include "framework/handle.h"
#include "update/http.h"
#include "update/setup_folder.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zarn {

// The installer's report to the update dialog: wParam 1 when it stopped
// without completing, 2 when it completed. Any window can post it, so the
// dialog believes one report only, from the installer it started
// (UpdateRun::JudgeReport).
inline constexpr UINT WM_SETUP_REPORT = WM_USER + 100;
inline constexpr WPARAM kSetupStopped = 1;
inline constexpr WPARAM kSetupFinished = 2;

// How long an installer that exits without a report gets before the run
// gives up on it: long enough for a hand-over to a second process.
inline constexpr DWORD kInstallerReportGraceMs = 5000;

// Requests a background thread posts to the dialog. WM_STAGE_END carries
// nothing: the result is the one the claimant of the end stored, so that a
// message posted by another program decides nothing.
inline constexpr UINT WM_STAGE_END = WM_APP + 1;
inline constexpr UINT WM_INSTALL_PERCENT = WM_APP + 2;    // wParam position, 0 to 100
inline constexpr UINT WM_PACKAGE_DOWNLOADED = WM_APP + 3;  // the download caption changes
inline constexpr UINT WM_INSTALLER_STARTED = WM_APP + 4;   // a held report can be judged
// The package download's progress: wParam the bytes received, lParam the
// total (0 without a Content-Length).
inline constexpr UINT WM_DOWNLOAD_PROGRESS = WM_APP + 5;

// The message shown before a failed run ends.
enum class Notice : LPARAM {
    None = 0,
    VersionFileNotFetched,  // the version file could not be fetched
    PackageNotFetched,      // the installer package could not be fetched
    SizeCheckFailed,        // the package never matched the server's size
    ReleaseNotVerified,     // the package's release could not be verified
};

class UpdateRun : public ProgressSink, public std::enable_shared_from_this<UpdateRun> {
public:
    explicit UpdateRun(DWORD reportGraceMs);

    // What the dialog's thread settles before any background thread starts;
    // after that every thread only reads it.
    struct Plan {
        std::wstring versionFilePath;
        // The run's own folder (removed when the run's last owner lets go)
        // and the two paths in it.
        std::optional<SetupFolder> setupFolder;
        std::wstring setupPath;
        std::wstring packagePath;
        std::wstring serverVersion;
        // The version file's bytes as fetched (a few more than any signed
        // release can name, when it is longer).
        std::string versionBytes;
    };
    // For the dialog's thread, before StartThread.
    Plan& Prepare() noexcept { return m_plan; }
    const Plan& plan() const noexcept { return m_plan; }
    // The dialog's window; set in WM_INITDIALOG, before StartThread.
    void SetDialog(HWND dialog) noexcept { m_dialog = dialog; }
    // How long an installer that exited without reporting gets for a process
    // it handed over to before the run gives up on the report.
    DWORD ReportGraceMs() const noexcept { return m_reportGraceMs; }

    // What the download thread keeps for itself.
    struct DownloadState {
        std::wstring serverSize;
        int retryCount = 0;
        // The verified release number; set before the install progress
        // thread starts, which stores it once the run ends with 1.
        DWORD release = 0;
    };
    // For the download thread (and the install progress thread it starts,
    // which reads the release).
    DownloadState& Download() noexcept { return m_download; }

    // From the dialog's thread once the installer completed.
    void SetupDone() noexcept { m_setupDone = true; }
    bool IsSetupDone() const noexcept { return m_setupDone.load(); }
    // Whether the installer has reported (1 or 2).
    bool Reported() const noexcept { return m_reported.load(); }

    // ProgressSink, on the download thread: posts the counts to the dialog,
    // which draws them.
    void DownloadProgress(DWORD received, DWORD total) override;

    // From the download thread: the installer is about to be launched.
    void LaunchStarting();
    // From the download thread once the installer has started: its process
    // (null when the system gave none, a launch through another program).
    // Tells the dialog, which judges a report held meanwhile.
    void InstallerStarted(zfw::unique_handle process);
    // The installer's process while the run holds it; null before the launch
    // and when there is none. Valid as long as the run lives.
    HANDLE Installer() const;

    // What the dialog does with a report that arrived at `arrival` (system
    // time). Only one report is ever accepted: the first that came while the
    // installer the run started was running, or within the report grace
    // period of its exit (any time after the launch when the run has no
    // process to look at). One that comes while the launch is under way is
    // held until the launch is known, then judged by JudgeHeldReport.
    enum class ReportVerdict { Accept, Ignore, Hold };
    ReportVerdict JudgeReport(ULONGLONG arrival);
    // A held report: accepted when it came once the installer's process
    // existed and no other report was accepted.
    bool JudgeHeldReport(ULONGLONG arrival);

    // True once some side has decided how the run ends.
    bool Ended() const noexcept { return m_ended.load(); }
    // Decides the end; true for exactly one caller, who must then end the
    // dialog (or ask it to). Wakes every thread that waits in WaitEnded.
    bool ClaimEnd() noexcept;
    // Waits up to `ms`; true when the run has ended (at once or meanwhile).
    bool WaitEnded(DWORD ms) const noexcept;
    // The event set when the run ends, for waits on several things at once.
    HANDLE EndedEvent() const noexcept { return m_endedEvent.get(); }

    // From a background thread: claims the end and asks the dialog to show
    // `notice` and end with `result`. Does nothing when the run has ended.
    void Finish(INT_PTR result, Notice notice);
    // From a background thread that already holds the claim: asks the dialog
    // to end with `result`.
    void RequestEnd(INT_PTR result, Notice notice);
    // On the dialog's thread, for WM_STAGE_END: the end a thread asked for,
    // once; none when no thread asked (the message came from elsewhere).
    std::optional<std::pair<INT_PTR, Notice>> TakeEndRequest();
    // Posts a request to the dialog unless the run has ended.
    void Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // Starts `entry` on a new thread named `name` (where the system names
    // threads) that shares this run and keeps the module loaded while it
    // runs. False when the thread cannot start.
    bool StartThread(LPTHREAD_START_ROUTINE entry, const wchar_t* name);
    // Waits for every thread of the run to finish, serving this thread's
    // messages meanwhile (all of them when `dispatchAll`, else only those
    // sent from other threads). Gives up after `timeoutMs`: the threads then
    // finish on their own, with this object and the module kept for them.
    void WaitForThreads(DWORD timeoutMs, bool dispatchAll);

    // Removes the run's folder; an installer still running from it gets a
    // few seconds to exit first.
    ~UpdateRun();
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

private:
    // ---- the dialog's thread's, settled before any background thread starts
    HWND m_dialog = nullptr;
    Plan m_plan;
    const DWORD m_reportGraceMs;

    // ---- the download thread's
    DownloadState m_download;

    // ---- shared across threads
    std::atomic<bool> m_setupDone{false};  // set by the dialog once the installer completed
    std::atomic<bool> m_reported{false};   // the installer has reported (1 or 2)
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_endRequested{false};
    INT_PTR m_endResult = IDCANCEL;  // written before m_endRequested is set
    Notice m_endNotice = Notice::None;
    enum class Launch { NotYet, UnderWay, Done };
    mutable std::mutex m_installerLock;
    Launch m_launch = Launch::NotYet;
    zfw::unique_handle m_installer;
    zfw::unique_handle m_endedEvent;
    std::mutex m_threadsLock;
    std::vector<zfw::unique_handle> m_threads;
};

// What a thread entry receives: its share of the run and the module
// reference it gives back when it exits.
struct UpdateThreadStart {
    std::shared_ptr<UpdateRun> run;
    HMODULE module = nullptr;
};

// Runs `body` with the run of `start` (an UpdateThreadStart the entry now
// owns), then releases the module reference and ends the thread.
[[noreturn]] void RunUpdateThread(void* start, void (*body)(UpdateRun& run));

}  // namespace zarn
