// The operating-system version test several subsystems share.
#pragma once

namespace zarn {

// True when Windows reports major version 6 or later. Asked afresh on
// every call: the answer chooses "runas" over "Open" and elevation over
// in-process creation.
bool IsVistaOrLater();

}  // namespace zarn
