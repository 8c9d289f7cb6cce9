// The update dialog: compares the installed version of the transfer programs
// with the update server's and, when they differ, installs the current ones.
#pragma once

#include "framework/modal_dialog.h"
#include "support/reg_key.h"
#include "update/update_run.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

namespace zarn {

class FileUpdateWindow : public zfw::ModalDialog {
public:
    // How long the end of the modal run waits for the background threads.
    static constexpr DWORD kThreadStopWaitMs = 15000;

    // `resources` holds template 202 (the control module when null).
    explicit FileUpdateWindow(DWORD reportGraceMs = kInstallerReportGraceMs,
                              HINSTANCE resources = nullptr);
    ~FileUpdateWindow() override;

    // Runs the dialog and returns 1 when the transfer programs are current
    // (already, or after an installation whose version was recorded), 2 when
    // they are not, -1 when the dialog could not be created. The update
    // decision comes before the window: when the programs are current it
    // returns 1 without making one. Returns once the background threads have
    // stopped (or a generous wait has passed).
    INT_PTR DoModal(HWND owner = nullptr);

    std::wstring m_installFolder;  // ends in a backslash; set before DoModal

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    enum class Decision {
        Current,  // the programs are current: the run ends with 1
        Install,  // an installation starts once the window runs
        Failed,   // the run ends with 2 after m_failure's message
    };
    // The update decision, up to the point where it needs the window: clears
    // the leftovers of an earlier run, fetches the version file (stage 1) and
    // compares it with the installed version.
    Decision Decide();
    Decision Fail(Notice notice);

    void OnTimer(UINT_PTR id);
    LRESULT OnSetupReport(WPARAM wParam, LPARAM lParam);
    // Judges a report that came while the launch was under way.
    void OnInstallerStarted();
    // Arms the timer of an accepted report.
    void ActOnReport(WPARAM wParam);
    // Ends the modal run with `result` after showing `notice`, when this
    // thread decides the end; does nothing when the run has already ended.
    void EndRun(INT_PTR result, Notice notice);
    // Shows `notice` and ends with `result` for the thread holding the claim.
    void OnStageEnd(INT_PTR result, Notice notice);
    void OnInstallPercent(int position);
    void OnPackageDownloaded();
    void OnDownloadProgress(DWORD received, DWORD total);

    std::shared_ptr<UpdateRun> m_run;
    std::optional<Notice> m_failure;  // set when the decision failed
    // The first report that came while the installer was being launched.
    struct HeldReport {
        WPARAM wParam;
        ULONGLONG arrival;  // system time
    };
    std::optional<HeldReport> m_heldReport;
    bool m_threadsStopped = false;  // OnStageEnd waited for the threads
    // The package download's size label and bar, once the first report came.
    std::optional<ProgressDisplay> m_downloadProgress;
};

}  // namespace zarn
