#include "launch/handoff.h"

#include "launch/handoff_record.h"

namespace zarn {

HWND ProgramWindow::Find() { return ::FindWindowW(windowClass_, nullptr); }

HandOffChannel::Reply ProgramWindow::Send(HWND window, const COPYDATASTRUCT& record) {
    // A program that is already hung is not sent to at all: the list has not
    // reached it, so a later pass may try again. Once sent, a failure cannot
    // tell "never arrived" from "arrived, no answer yet" (a program that hangs
    // in between is refused by SMTO_ABORTIFHUNG; one that hangs in its handler
    // runs out the limit), so every failed send ends the hand-off: a lost list
    // is better than one taken twice.
    if (::IsHungAppWindow(window)) return Reply::NotTaken;
    DWORD_PTR result = 0;
    const LRESULT sent =
        ::SendMessageTimeoutW(window, WM_COPYDATA, sender_, reinterpret_cast<LPARAM>(&record),
                              SMTO_NORMAL | SMTO_ABORTIFHUNG, sendLimitMs_, &result);
    if (sent == 0) return Reply::Abandoned;
    return result == 1 ? Reply::Taken : Reply::NotTaken;
}

void ProgramWindow::Wait(DWORD milliseconds) { ::Sleep(milliseconds); }

HandOff::Outcome HandOff::Deliver(std::wstring_view items, HWND found, UINT codePage) {
    bool windowSeen = false;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        if (HWND window = pass == 0 && found ? found : channel_.Find()) {
            windowSeen = true;
            const HandOffRecord record(items, codePage);
            if (!record.converted()) return Outcome::NotConvertible;
            switch (channel_.Send(window, record.data())) {
                case HandOffChannel::Reply::Taken: return Outcome::Taken;
                case HandOffChannel::Reply::Abandoned: return Outcome::Abandoned;
                case HandOffChannel::Reply::NotTaken: break;
            }
        } else if (windowSeen) {
            return Outcome::WindowGone;
        }
        channel_.Wait(kPassIntervalMs);
    }
    return Outcome::NeverTaken;
}

}  // namespace zarn
