// The question DownLoad and UpLoad ask before starting a transfer program.
#pragma once

#include "update/update_run.h"

#include <windows.h>

#include <string>

namespace zarn {

// True when the transfer may start: a window of either transfer program
// exists (which proves they are installed), or the update dialog, run
// modally on this thread for `installFolder`, ended with 1. Logs
// "FileVersionCheck" first. `reportGraceMs` is the update dialog's.
bool RunInstallationGate(const std::wstring& installFolder,
                         DWORD reportGraceMs = kInstallerReportGraceMs, HINSTANCE resources = nullptr);

// The gate for a call that has just found a window of a transfer program:
// it passes, as RunInstallationGate would, with the same log line and
// without searching for the windows again.
void PassInstallationGateWhileRunning();

}  // namespace zarn
