// Dialogs of a call come to the front, near the browser window when the
// browser named one.
//
// The browser's window is a hint only, never a dialog's owner: a modal
// dialog disables its owner, and a host killed mid-dialog would leave the
// browser window disabled for good.
#pragma once

#include <windows.h>

#include <vector>

namespace zarn::bridge {

// While it lives, every top-level window the calling thread activates for
// the first time is centred on `anchor` (when it is a window) and brought to
// the front. One per thread at a time.
class FrontHook {
public:
    explicit FrontHook(HWND anchor) noexcept;
    ~FrontHook();
    FrontHook(const FrontHook&) = delete;
    FrontHook& operator=(const FrontHook&) = delete;

    struct State {
        HWND anchor = nullptr;
        std::vector<HWND> seen;  // windows already brought forward
    };

private:
    State state_;
    State* outer_ = nullptr;
    HHOOK hook_ = nullptr;
};

}  // namespace zarn::bridge
