#include "update/installation_gate.h"

#include "support/log.h"
#include "support/transfer_program.h"
#include "update/file_update_window.h"
#include "update/update_lock.h"

namespace zarn {

namespace {

// The gate's first word, the same from both entries.
void LogGateStart() { ZARN_LOG(L"FileVersionCheck"); }

}  // namespace

void PassInstallationGateWhileRunning() { LogGateStart(); }

GateResult PassInstallationGate(const std::wstring& installFolder, DWORD reportGraceMs,
                                HINSTANCE resources) {
    LogGateStart();
    if (::FindWindowW(kDownloadProgram.windowClass, nullptr)) return GateResult::Passed;
    if (::FindWindowW(kUploadProgram.windowClass, nullptr)) return GateResult::Passed;

    // Another process of this user runs its update dialog: this call is
    // refused like a gate whose dialog ended with 2, without a dialog.
    const UpdateLock lock;
    if (!lock.Held()) {
        ZARN_LOG(L"FileVersionCheck refused: an update is already running for this user");
        return GateResult::UpdateRunning;
    }
    FileUpdateWindow dialog(reportGraceMs, resources);
    dialog.m_installFolder = installFolder;
    return dialog.DoModal() == IDOK ? GateResult::Passed : GateResult::Refused;
}

}  // namespace zarn
