// host.setTimeout / host.clearTimeout: a script function run once, after a
// delay, from whatever message loop runs on the page's thread at the time.
// That includes the modal loops of the control's own dialogs, as a browser
// runs a page's timers there too, so a timer can call the control again or
// let go of it while one of its calls is still running.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <utility>
#include <vector>

namespace pagehost {

class PageTimers {
public:
    using Function = Microsoft::WRL::ComPtr<IDispatch>;

    // The window whose WM_TIMER messages run the timers.
    void Attach(HWND window) noexcept { window_ = window; }

    // Arms `function` to run once after `ms` milliseconds; returns its id
    // (never 0), or 0 when no timer could be made.
    UINT Set(Function function, UINT ms);
    // Disarms timer `id`; an unknown or finished id does nothing.
    void Clear(UINT id);
    // WM_TIMER for `id`: runs its function and forgets it, unless the page
    // is ending (`exitRequested`). False when `id` is not one of these
    // timers. A script error in the function is printed as one from the
    // page's own code and sets `errorReported`.
    bool Run(UINT_PTR id, const bool& exitRequested, bool& errorReported);
    // True while a timer is armed or running.
    bool Pending() const noexcept { return !armed_.empty() || running_ > 0; }
    // Disarms everything and lets the functions go (the page is ending).
    void ClearAll();

private:
    using Armed = std::vector<std::pair<UINT, Function>>;  // few at a time
    Armed::iterator Find(UINT_PTR id);

    HWND window_ = nullptr;
    UINT next_ = 0x5A00;  // apart from any timer the window itself might use
    int running_ = 0;
    Armed armed_;
};

}  // namespace pagehost
