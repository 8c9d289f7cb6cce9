// DownLoad and UpLoad: report a pending installation, pass the installation
// gate, start the transfer program when its window is not there, and hand
// it the page's item list.
#include "control/modal_call.h"
#include "control/web_control.h"

#include <string_view>

#include "launch/handoff.h"
#include "launch/install_report.h"
#include "launch/program_starter.h"
#include "launch/transfer_program.h"

namespace {

// Time a freshly started program gets to open its window before the first pass.
constexpr DWORD kStartWaitMs = 500;

// A null BSTR is the empty text, as COM defines it.
std::wstring_view Text(BSTR text) {
    return text ? std::wstring_view(text, ::SysStringLen(text)) : std::wstring_view();
}

// The sequence both methods share. Returns false when the gate refused the
// transfer: then nothing was started and nothing sent. How the hand-off
// ended is not the page's concern.
bool RunTransfer(CWebControlCtrl& control, const zarn::TransferProgram& program,
                 const wchar_t* method, BSTR strUserID, BSTR strUserPW, BSTR strItem) {
    // Called again from the page while a dialog of the control is open:
    // refused as a gate that refuses, before anything is reported or started.
    const zarn::ModalCall modal(method);
    if (!modal) return false;
    ReportPendingInstall();
    if (!control.FileVersionCheck()) return false;

    // wParam names the control to the program; it is not a window handle.
    zarn::ProgramWindow window(program.windowClass, reinterpret_cast<WPARAM>(&control),
                               zarn::SendLimitSetting());
    if (!window.Find()) {
        // A running program keeps the credentials it was started with; only
        // a new one gets them.
        zarn::ProgramStarter(control.InstallFolder()).Start(program, Text(strUserID), Text(strUserPW));
        ::Sleep(kStartWaitMs);
    }
    zarn::HandOff(window).Deliver(Text(strItem));
    return true;
}

}  // namespace

void CWebControlCtrl::DownLoad(BSTR strUserID, BSTR strUserPW, BSTR strItem) {
    RunTransfer(*this, zarn::kDownloadProgram, L"DownLoad", strUserID, strUserPW, strItem);
}

SCODE CWebControlCtrl::UpLoad(BSTR strUserID, BSTR strUserPW, BSTR strItem) {
    return RunTransfer(*this, zarn::kUploadProgram, L"UpLoad", strUserID, strUserPW, strItem) ? 0 : 1;
}
