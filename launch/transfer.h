// The sequence DownLoad and UpLoad share.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "support/transfer_program.h"

namespace zarn {

enum class TransferResult {
    Refused,   // the gate refused (or another dialog of the control is
               // open): nothing was started and nothing sent
    UpdateRunning,  // refused too: another process's update dialog holds
                    // the programs (the control answers it as Refused)
    Taken,     // the program answered 1
    NotTaken,  // the program never took the list: no window within the
               // passes, its window gone, other answers until the passes or
               // the time ran out, or a send left unanswered (logged)
};

// What UpLoad answers the page for a transfer's result: 1 refused, 0 taken,
// 2 when the program never took the list.
inline long UpLoadResult(TransferResult result) {
    switch (result) {
    case TransferResult::Refused:
    case TransferResult::UpdateRunning: return 1;
    case TransferResult::Taken: return 0;
    case TransferResult::NotTaken: return 2;
    }
    return 2;
}

// Lets this process receive WM_COPYDATA (the transfer programs' answers)
// from processes of lower integrity. Every process that hands lists to the
// programs calls it once before its first transfer.
void AllowTransferAnswers();

// Claims the modal call for `method` (its scripting name), reports a
// pending installation, passes the installation gate for `installFolder`,
// starts `program` with the credentials when its window is not there, and
// hands it `items`. `controlTag` goes to the program as wParam: it names
// the calling control and is not a window handle. Refused also when modal
// calls were stopped meanwhile (see ModalCall::StopAll): nothing started.
TransferResult RunTransfer(const std::wstring& installFolder, WPARAM controlTag,
                           const TransferProgram& program, const wchar_t* method,
                           std::wstring_view userId, std::wstring_view password,
                           std::wstring_view items);

}  // namespace zarn
