// The sequence DownLoad and UpLoad share.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "support/transfer_program.h"

namespace zarn {

// Lets this process receive WM_COPYDATA (the transfer programs' answers)
// from processes of lower integrity. Every process that hands lists to the
// programs calls it once before its first transfer.
void AllowTransferAnswers();

// Claims the modal call for `method` (its scripting name), reports a
// pending installation, passes the installation gate for `installFolder`,
// starts `program` with the credentials when its window is not there, and
// hands it `items`. `controlTag` goes to the program as wParam: it names
// the calling control and is not a window handle. Returns false when the
// gate refused the transfer (or another dialog of the control is open, or
// modal calls were stopped meanwhile, see ModalCall::StopAll): then nothing
// was started and nothing sent. How the hand-off ended is not
// the page's concern.
bool RunTransfer(const std::wstring& installFolder, WPARAM controlTag,
                 const TransferProgram& program, const wchar_t* method,
                 std::wstring_view userId, std::wstring_view password, std::wstring_view items);

}  // namespace zarn
