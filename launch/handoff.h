// Hands a page's item list to a transfer program's main window: up to ten
// passes, 500 ms apart, until the program answers 1.
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
    virtual Reply Send(HWND window, const COPYDATASTRUCT& record) = 0;
    virtual void Wait(DWORD milliseconds) = 0;
};

// The main window of one transfer program, found by its class, addressed
// with WM_COPYDATA.
class ProgramWindow final : public HandOffChannel {
public:
    // Long enough for any program that is alive, so only a hung one hits it.
    static constexpr UINT kDefaultSendLimitMs = 2 * 60 * 1000;
    // The shortest limit the setting below may give.
    static constexpr UINT kMinSendLimitMs = 1000;

    // `sender` goes out as wParam: an opaque number naming the control.
    ProgramWindow(const wchar_t* windowClass, WPARAM sender, UINT sendLimitMs = kDefaultSendLimitMs)
        : windowClass_(windowClass), sender_(sender), sendLimitMs_(sendLimitMs) {}

    HWND Find() override;
    Reply Send(HWND window, const COPYDATASTRUCT& record) override;
    void Wait(DWORD milliseconds) override;

private:
    const wchar_t* windowClass_;
    WPARAM sender_;
    UINT sendLimitMs_;
};

// The send limit in force: the DWORD "HandOffLimitMs" under the settings key
// when it lies within [kMinSendLimitMs, kDefaultSendLimitMs], else the
// default. It can shorten the wait for a hung program (a machine that would
// rather give up sooner, or a test), never lengthen it.
UINT SendLimitSetting();

class HandOff {
public:
    static constexpr int kMaxPasses = 10;
    static constexpr DWORD kPassIntervalMs = 500;

    enum class Outcome {
        Taken,           // the program answered 1
        NeverTaken,      // ten passes without a 1 (or without a window)
        WindowGone,      // the window was seen, then vanished before a 1
        Abandoned,       // a send went unanswered; the list was not sent again
        NotConvertible,  // the list cannot be put into a record; nothing sent
    };

    explicit HandOff(HandOffChannel& channel) : channel_(channel) {}

    // Runs the passes; a fresh record is built for every send. `found` is
    // the program's window when the caller has just found it: the first pass
    // uses it instead of searching again; every later pass searches.
    Outcome Deliver(std::wstring_view items, HWND found = nullptr, UINT codePage = CP_THREAD_ACP);

private:
    HandOffChannel& channel_;
};

}  // namespace zarn
