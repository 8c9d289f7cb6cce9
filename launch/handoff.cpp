#include "launch/handoff.h"

#include "launch/handoff_record.h"
#include "support/log.h"

#include <algorithm>

namespace zarn {

HWND ProgramWindow::Find() { return ::FindWindowW(windowClass_, nullptr); }

HandOffChannel::Reply ProgramWindow::Send(HWND window, const COPYDATASTRUCT& record,
                                          UINT limitMs) {
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
                              SMTO_NORMAL | SMTO_ABORTIFHUNG, limitMs, &result);
    if (sent == 0) return Reply::Abandoned;
    return result == 1 ? Reply::Taken : Reply::NotTaken;
}

void ProgramWindow::Wait(DWORD milliseconds) { ::Sleep(milliseconds); }

HandOff::Outcome HandOff::Deliver(std::wstring_view items, HWND found, UINT codePage) {
    // One clock for every pass: a program that answers 0 just before each
    // send's limit would otherwise hold the page ten limits long.
    const ULONGLONG deadline = channel_.Now() + limitMs_;
    const auto left = [&]() -> UINT {
        const ULONGLONG now = channel_.Now();
        return now < deadline ? static_cast<UINT>(deadline - now) : 0;
    };
    bool windowSeen = false;
    bool defaultLogged = false;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        if (HWND window = pass == 0 && found ? found : channel_.Find()) {
            windowSeen = true;
            const HandOffRecord record(items, codePage);
            if (!record.converted()) return Outcome::NotConvertible;
            if (record.usedDefault() && !defaultLogged) {
                defaultLogged = true;
                ZARN_LOG(L"hand-off: characters of the item list without an exact mapping in the "
                         L"ANSI code page went out as its default character");
            }
            const UINT limit = left();
            if (limit == 0) return Outcome::NeverTaken;
            switch (channel_.Send(window, record.data(), limit)) {
                case HandOffChannel::Reply::Taken: return Outcome::Taken;
                case HandOffChannel::Reply::Abandoned: return Outcome::Abandoned;
                case HandOffChannel::Reply::NotTaken: break;
            }
        } else if (windowSeen) {
            return Outcome::WindowGone;
        }
        // A wait cut short by the limit ends the hand-off: no send is left
        // with no time to be answered in.
        const UINT remaining = left();
        if (remaining <= kPassIntervalMs) {
            channel_.Wait(remaining);
            return Outcome::NeverTaken;
        }
        channel_.Wait(kPassIntervalMs);
    }
    return Outcome::NeverTaken;
}

const wchar_t* OutcomeText(HandOff::Outcome outcome) {
    switch (outcome) {
        case HandOff::Outcome::Taken: return L"the program took the list";
        case HandOff::Outcome::NeverTaken:
            return L"no window answered 1 within the passes and the time limit";
        case HandOff::Outcome::WindowGone: return L"the program's window went away before a 1";
        case HandOff::Outcome::Abandoned:
            return L"a send went unanswered within the time limit; the list was not sent again";
        case HandOff::Outcome::NotConvertible:
            return L"the list does not convert to the ANSI code page; nothing was sent";
    }
    return L"unknown";
}

}  // namespace zarn
