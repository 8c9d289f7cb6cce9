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
    Taken,     // the program answered 1
    NotTaken,  // the program never took the list: no window within the
               // passes, its window gone, other answers until the passes or
               // the time ran out, or a send left unanswered (logged)
};

// Claims the modal call for `method` (its scripting name), reports a
// pending installation, passes the installation gate for `installFolder`,
// starts `program` with the credentials when its window is not there, and
// hands it `items`. `controlTag` goes to the program as wParam: it names
// the calling control and is not a window handle.
TransferResult RunTransfer(const std::wstring& installFolder, WPARAM controlTag,
                           const TransferProgram& program, const wchar_t* method,
                           std::wstring_view userId, std::wstring_view password,
                           std::wstring_view items);

}  // namespace zarn
