// DownLoad and UpLoad: report a pending installation, pass the installation
// gate, start the transfer program when its window is not there, and hand
// it the page's item list.
#include "launch/transfer.h"

#include "launch/handoff.h"
#include "launch/install_report.h"
#include "launch/program_starter.h"
#include "support/log.h"
#include "framework/handle.h"
#include "support/modal_call.h"
#include "support/os_version.h"
#include "update/installation_gate.h"

namespace zarn {

namespace {

// Time a freshly started program gets to open its window before the first pass.
constexpr DWORD kStartWaitMs = 500;

}  // namespace

void AllowTransferAnswers() {
    // The call does not exist before Windows 6, so it is looked up at run time.
    if (!IsVistaOrLater()) return;
    zfw::unique_hmodule user32(::LoadLibraryW(L"USER32.DLL"));
    if (!user32) return;
    using ChangeFilter = BOOL(WINAPI*)(UINT, DWORD);
    const auto change = reinterpret_cast<ChangeFilter>(
        reinterpret_cast<void*>(::GetProcAddress(user32.get(), "ChangeWindowMessageFilter")));
    if (change) change(WM_COPYDATA, 1 /* MSGFLT_ADD */);
}

TransferResult RunTransfer(const std::wstring& installFolder, WPARAM controlTag,
                           const TransferProgram& program, const wchar_t* method,
                           std::wstring_view userId, std::wstring_view password,
                           std::wstring_view items) {
    // Called again from the page while a dialog of the control is open:
    // refused as a gate that refuses, before anything is reported or started.
    const ModalCall modal(method);
    if (!modal) return TransferResult::Refused;
    ReportPendingInstall();

    // The program's own window, when it is already there, answers the gate
    // (a running program proves the installation), the question whether to
    // start it, and the first pass of the hand-off: one search serves all
    // three, as nothing runs in between.
    HWND running = ::FindWindowW(program.windowClass, nullptr);
    if (running) {
        PassInstallationGateWhileRunning();
    } else {
        switch (PassInstallationGate(installFolder)) {
        case GateResult::Passed: break;
        case GateResult::Refused: return TransferResult::Refused;
        case GateResult::UpdateRunning: return TransferResult::UpdateRunning;
        }
        // The dialog may have run for minutes: look again. The caller may
        // have gone meanwhile; then the installation stays, but no program
        // starts for a list nobody waits for.
        if (ModalCall::Stopped()) return TransferResult::Refused;
        running = ::FindWindowW(program.windowClass, nullptr);
        if (!running) {
            // A running program keeps the credentials it was started with;
            // only a new one gets them.
            ProgramStarter(installFolder).Start(program, userId, password);
            ::Sleep(kStartWaitMs);
        }
    }
    ProgramWindow window(program.windowClass, controlTag);
    const HandOff::Outcome outcome = HandOff(window, HandOffLimitSetting()).Deliver(items, running);
    if (outcome == HandOff::Outcome::Taken) return TransferResult::Taken;
    // DownLoad has no result to say so: the line is all the trace it leaves.
    ZARN_LOG(L"%s: the transfer program did not take the item list: %s", method,
             OutcomeText(outcome));
    return TransferResult::NotTaken;
}

}  // namespace zarn
