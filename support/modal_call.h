// One call at a time per process that runs a modal loop on the page's
// thread: the update dialog (DownLoad, UpLoad) or a picker (ShowDlgFile,
// ShowDlgFolder).
//
// Inside such a loop the browser keeps running the page's timers and
// events, so the page can call the control again before the first call has
// returned. A second modal call there would stack a second dialog on the
// first (or, for an update, share its temp files and its caption), so it is
// refused quietly: the caller does nothing and returns its ordinary result
// for "nothing done". Calls without modal UI are never refused.
#pragma once

namespace zarn {

class ModalCall {
public:
    // Claims the process's modal call for `method` (its scripting name);
    // when another holds it, logs one line saying so and claims nothing.
    explicit ModalCall(const wchar_t* method) noexcept;
    ~ModalCall();
    ModalCall(const ModalCall&) = delete;
    ModalCall& operator=(const ModalCall&) = delete;

    // True when this call holds the claim and may go on.
    explicit operator bool() const noexcept { return claimed_; }

    // From now on every claim is refused, with a log line saying why: a
    // process whose caller has gone opens no new dialog. A call past its dialog asks
    // Stopped() before it starts anything more.
    static void StopAll() noexcept;
    static bool Stopped() noexcept;

private:
    bool claimed_ = false;
};

}  // namespace zarn
