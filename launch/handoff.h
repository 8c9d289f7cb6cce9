// Hands a page's item list to a transfer program's main window: up to ten
// passes, 500 ms apart, until the program answers 1, all within one time
// limit.
#pragma once

#include <windows.h>

#include <string_view>

namespace zarn {

// What the hand-off needs from the window system; the real one is
// `ProgramWindow`, tests put in their own.
class HandOffChannel {
public:
    enum class Reply {
        Taken,     // the program answered exactly 1
        NotTaken,  // it answered something else, or was hung and not sent to
        Abandoned  // the send failed or ran out of time after the program may
                   // have received it: it must not get the list again
    };

    virtual ~HandOffChannel() = default;
    virtual HWND Find() = 0;
    // Gives up once `limitMs` have passed without an answer (Abandoned).
    virtual Reply Send(HWND window, const COPYDATASTRUCT& record, UINT limitMs) = 0;
    virtual void Wait(DWORD milliseconds) = 0;
    // Milliseconds on a clock that only goes forward; the system's tick
    // count unless a test keeps its own time.
    virtual ULONGLONG Now() { return ::GetTickCount64(); }
};

// The main window of one transfer program, found by its class, addressed
// with WM_COPYDATA.
class ProgramWindow final : public HandOffChannel {
public:
    // `sender` goes out as wParam: an opaque number naming the control.
    ProgramWindow(const wchar_t* windowClass, WPARAM sender)
        : windowClass_(windowClass), sender_(sender) {}

    HWND Find() override;
    Reply Send(HWND window, const COPYDATASTRUCT& record, UINT limitMs) override;
    void Wait(DWORD milliseconds) override;

private:
    const wchar_t* windowClass_;
    WPARAM sender_;
};

class HandOff {
public:
    static constexpr int kMaxPasses = 10;
    static constexpr DWORD kPassIntervalMs = 500;
    // The whole hand-off, sends and waits together, ends within this: long
    // enough for any program that is alive, so only a hung or stalling one
    // reaches it.
    static constexpr UINT kDefaultLimitMs = 2 * 60 * 1000;
    // The shortest limit the setting below may give.
    static constexpr UINT kMinLimitMs = 1000;

    enum class Outcome {
        Taken,           // the program answered 1
        NeverTaken,      // ten passes, or the time limit, without a 1 (or
                         // without a window)
        WindowGone,      // the window was seen, then vanished before a 1
        Abandoned,       // a send went unanswered within the time left; the
                         // list was not sent again
        NotConvertible,  // the list cannot be put into a record; nothing sent
    };

    explicit HandOff(HandOffChannel& channel, UINT limitMs = kDefaultLimitMs)
        : channel_(channel), limitMs_(limitMs) {}

    // Runs the passes; a fresh record is built for every send. `found` is
    // the program's window when the caller has just found it: the first pass
    // uses it instead of searching again; every later pass searches. Each
    // send and wait gets what is left of the limit, and the hand-off ends
    // when nothing is left. A list with characters that went out as the
    // default character is logged once.
    Outcome Deliver(std::wstring_view items, HWND found = nullptr, UINT codePage = CP_THREAD_ACP);

private:
    HandOffChannel& channel_;
    UINT limitMs_;
};

// The hand-off's limit in force: the DWORD "HandOffLimitMs" under the
// settings key when it lies within [HandOff::kMinLimitMs,
// HandOff::kDefaultLimitMs], else the default. It can shorten the hand-off
// (a machine that would rather give up sooner, or a test), never lengthen it.
UINT HandOffLimitSetting();

// What an outcome other than Taken means, for a log line.
const wchar_t* OutcomeText(HandOff::Outcome outcome);

}  // namespace zarn
