#include "framework/olecontrol.h"

#include <memory>

namespace zfw::control_window {
namespace {

constexpr wchar_t kClassName[] = L"ZfwOleControlWindow";

struct PaintTarget {
    void* owner;
    void (*paint)(void* owner, HDC dc, const RECT& bounds);
};

// Handed to WM_NCCREATE: the window adopts the target there.
struct CreateParams {
    PaintTarget* target;
    bool adopted;
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NCCREATE: {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* params = static_cast<CreateParams*>(create->lpCreateParams);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(params->target));
        params->adopted = true;
        break;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps{};
        HDC dc = ::BeginPaint(window, &ps);
        auto* target = reinterpret_cast<PaintTarget*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        RECT client{};
        ::GetClientRect(window, &client);
        if (target && dc) target->paint(target->owner, dc, client);
        ::EndPaint(window, &ps);
        return 0;
    }
    case WM_NCDESTROY: {
        // The paint target was made for this window alone.
        std::unique_ptr<PaintTarget> target(
            reinterpret_cast<PaintTarget*>(::GetWindowLongPtrW(window, GWLP_USERDATA)));
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
    }
    default:
        break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

bool EnsureClass() noexcept {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (::GetClassInfoExW(ModuleInstance(), kClassName, &existing)) return true;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = ModuleInstance();
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

HWND Create(HWND parent, const RECT& position, void* owner,
            void (*paint)(void* owner, HDC dc, const RECT& bounds)) noexcept {
    if (!EnsureClass()) return nullptr;
    std::unique_ptr<PaintTarget> target;
    try {
        target = std::make_unique<PaintTarget>(PaintTarget{owner, paint});
    } catch (...) {
        return nullptr;
    }
    CreateParams params{target.get(), false};
    HWND window = ::CreateWindowExW(
        0, kClassName, L"", WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, position.left,
        position.top, position.right - position.left, position.bottom - position.top, parent,
        nullptr, ModuleInstance(), &params);
    // Once WM_NCCREATE has run, the window owns the target and frees it in WM_NCDESTROY.
    if (params.adopted) (void)target.release();
    return window;
}

void UnregisterClass() noexcept { ::UnregisterClassW(kClassName, ModuleInstance()); }

}  // namespace zfw::control_window

namespace zfw {

void ControlModule::InitInstance(HINSTANCE instance) noexcept {
    SetModuleInstance(instance);
    ::DisableThreadLibraryCalls(instance);
}

void ControlModule::ExitInstance() noexcept { control_window::UnregisterClass(); }

}  // namespace zfw
