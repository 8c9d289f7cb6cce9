// The question DownLoad and UpLoad ask before starting a transfer program.
#pragma once

#include "update/update_run.h"

#include <windows.h>

#include <string>

namespace zarn {

enum class GateResult {
    Passed,
    Refused,        // the update dialog ended with 2
    UpdateRunning,  // another process of this user runs its update dialog:
                    // refused without a dialog of this one
};

// Passed when the transfer may start: a window of either transfer program
// exists (which proves they are installed), or the update dialog, run
// modally on this thread for `installFolder`, ended with 1. Logs
// "FileVersionCheck" first. `reportGraceMs` is the update dialog's.
GateResult PassInstallationGate(const std::wstring& installFolder,
                                DWORD reportGraceMs = kInstallerReportGraceMs,
                                HINSTANCE resources = nullptr);

// The same, as the control answers it: true when it passed.
inline bool RunInstallationGate(const std::wstring& installFolder,
                                DWORD reportGraceMs = kInstallerReportGraceMs,
                                HINSTANCE resources = nullptr) {
    return PassInstallationGate(installFolder, reportGraceMs, resources) == GateResult::Passed;
}

// The gate for a call that has just found a window of a transfer program:
// it passes, as RunInstallationGate would, with the same log line and
// without searching for the windows again.
void PassInstallationGateWhileRunning();

}  // namespace zarn
