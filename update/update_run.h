// What one run of the update dialog shares with its two background threads.
//
// The dialog object lives on the gate's stack and goes away when the modal
// run returns; the threads may outlive it. Everything they use therefore
// lives here, owned jointly (shared_ptr) by the dialog and each thread, so it
// outlives whichever side ends last. The threads post requests to the
// dialog and its own thread acts on them, with one exception: while the
// package downloads, the download thread shows its progress in two of the
// dialog's controls itself (m_sizeLabel, m_downloadBar), by messages sent
// across threads (update/http.cpp); so the dialog's window outlives the
// threads. Once the run has ended, no thread posts anything, shows anything
// or writes the installed version.
#pragma once

#include "framework/handle.h"
#include "update/http.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zarn {

// The installer's report to the update dialog: wParam 1 when it stopped
// without completing, 2 when it completed.
inline constexpr UINT WM_SETUP_REPORT = WM_USER + 100;
inline constexpr WPARAM kSetupStopped = 1;
inline constexpr WPARAM kSetupFinished = 2;

// How long an installer that exits without a report gets before the run
// gives up on it: long enough for a hand-over to a second process.
inline constexpr DWORD kInstallerReportGraceMs = 5000;

// Requests a background thread posts to the dialog.
inline constexpr UINT WM_STAGE_END = WM_APP + 1;          // wParam result, lParam Notice
inline constexpr UINT WM_INSTALL_PERCENT = WM_APP + 2;    // wParam position, 0 to 100
inline constexpr UINT WM_PACKAGE_DOWNLOADED = WM_APP + 3;  // the download caption changes

// The message shown before a failed run ends.
enum class Notice : LPARAM {
    None = 0,
    VersionFileNotFetched,  // the version file could not be fetched
    PackageNotFetched,      // the installer package could not be fetched
    SizeCheckFailed,        // the package never matched the server's size
    ReleaseNotVerified,     // the package's release could not be verified
};

class UpdateRun : public ProgressOwner, public std::enable_shared_from_this<UpdateRun> {
public:
    explicit UpdateRun(DWORD reportGraceMs);

    // ---- written by the dialog's thread before any background thread starts
    HWND m_dialog = nullptr;
    std::wstring m_versionFilePath;
    std::wstring m_setupPath;
    std::wstring m_packagePath;
    std::wstring m_serverVersion;
    // The version file's bytes as fetched (a few more than any signed
    // release can name, when it is longer).
    std::string m_versionBytes;
    // How long an installer that exited without reporting gets for a process
    // it handed over to before the run gives up on the report.
    const DWORD m_reportGraceMs;

    // ---- the download thread's own
    std::wstring m_serverSize;
    int m_retryCount = 0;
    HWND m_sizeLabel = nullptr;    // control 209 while the package downloads
    HWND m_downloadBar = nullptr;  // control 205 while the package downloads
    // The verified release number; set before the install progress thread
    // starts, which stores it once the run ends with 1.
    DWORD m_release = 0;

    // ---- shared across threads
    std::atomic<bool> m_setupDone{false};  // set by the dialog once the installer completed
    std::atomic<bool> m_reported{false};   // the installer has reported (1 or 2)

    // ProgressOwner: the controls bound for the package download.
    HWND SizeLabel() const override { return m_sizeLabel; }
    HWND DownloadBar() const override { return m_downloadBar; }

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
    // Posts a request to the dialog unless the run has ended.
    void Post(UINT message, WPARAM wParam = 0);

    // Starts `entry` on a new thread that shares this run and keeps the
    // module loaded while it runs. False when the thread cannot start.
    bool StartThread(LPTHREAD_START_ROUTINE entry);
    // Waits for every thread of the run to finish, serving this thread's
    // messages meanwhile (all of them when `dispatchAll`, else only those
    // sent from other threads). Gives up after `timeoutMs`: the threads then
    // finish on their own, with this object and the module kept for them.
    void WaitForThreads(DWORD timeoutMs, bool dispatchAll);

    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

private:
    std::atomic<bool> m_ended{false};
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
