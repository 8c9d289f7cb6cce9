#include "bridge/front.h"

#include <algorithm>
#include <vector>

namespace zarn::bridge {

namespace {

// The hook's state lives in the FrontHook; the thread keeps only where it
// is. A plain pointer, so the thread's end runs no destructor of it: such a
// destructor at a thread's end is where the threading runtime's per-thread
// bookkeeping has been seen to spin.
thread_local FrontHook::State* t_state = nullptr;

// The top-left corner that centres a `width` x `height` window on `anchor`,
// kept inside the work area of anchor's monitor.
POINT CentredOn(HWND anchor, LONG width, LONG height) {
    RECT box{};
    ::GetWindowRect(anchor, &box);
    POINT corner{box.left + (box.right - box.left - width) / 2,
                 box.top + (box.bottom - box.top - height) / 2};
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (::GetMonitorInfoW(::MonitorFromWindow(anchor, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const RECT& area = monitor.rcWork;
        corner.x = std::max(area.left, std::min(corner.x, area.right - width));
        corner.y = std::max(area.top, std::min(corner.y, area.bottom - height));
    }
    return corner;
}

void BringForward(HWND window) {
    // Owned windows (a dialog's message box) follow their owner.
    if (::GetWindow(window, GW_OWNER)) return;
    if (!t_state) return;
    FrontHook::State& state = *t_state;
    if (std::find(state.seen.begin(), state.seen.end(), window) != state.seen.end()) return;
    try {
        state.seen.push_back(window);
    } catch (...) {
        return;
    }
    UINT flags = SWP_NOSIZE | SWP_NOACTIVATE;
    POINT corner{};
    if (state.anchor && ::IsWindow(state.anchor)) {
        RECT own{};
        ::GetWindowRect(window, &own);
        corner = CentredOn(state.anchor, own.right - own.left, own.bottom - own.top);
    } else {
        flags |= SWP_NOMOVE;
    }
    ::SetWindowPos(window, HWND_TOP, corner.x, corner.y, 0, 0, flags);
    ::SetForegroundWindow(window);
}

LRESULT CALLBACK WatchActivation(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) BringForward(reinterpret_cast<HWND>(wParam));
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

FrontHook::FrontHook(HWND anchor) noexcept : outer_(t_state) {
    state_.anchor = anchor;
    t_state = &state_;
    hook_ = ::SetWindowsHookExW(WH_CBT, WatchActivation, nullptr, ::GetCurrentThreadId());
}

FrontHook::~FrontHook() {
    if (hook_) ::UnhookWindowsHookEx(hook_);
    t_state = outer_;
}

}  // namespace zarn::bridge
