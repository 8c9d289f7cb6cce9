#include "bridge/front.h"

#include <algorithm>
#include <vector>

namespace zarn::bridge {

namespace {

struct ThreadState {
    HWND anchor = nullptr;
    std::vector<HWND> seen;  // windows already brought forward
};
thread_local ThreadState t_state;

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
    ThreadState& state = t_state;
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

FrontHook::FrontHook(HWND anchor) noexcept {
    t_state.anchor = anchor;
    t_state.seen.clear();
    hook_ = ::SetWindowsHookExW(WH_CBT, WatchActivation, nullptr, ::GetCurrentThreadId());
}

FrontHook::~FrontHook() {
    if (hook_) ::UnhookWindowsHookEx(hook_);
    t_state.anchor = nullptr;
    t_state.seen.clear();
}

}  // namespace zarn::bridge
