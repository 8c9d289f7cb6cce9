#include "framework/property_page.h"

#include "framework/registration.h"

#include <cstring>

namespace zfw::property_page {
namespace {
INT_PTR CALLBACK PageProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}
}  // namespace

HWND CreatePageWindow(UINT templateId, HWND parent) noexcept {
    return ::CreateDialogParamW(ModuleInstance(), MAKEINTRESOURCEW(templateId), parent, &PageProc,
                                0);
}

SIZE TemplateSize(UINT templateId) noexcept {
    // Dialog units become pixels only through a real dialog with the template's font.
    unique_hwnd probe(CreatePageWindow(templateId, ::GetDesktopWindow()));
    SIZE size{0, 0};
    RECT rect{};
    if (probe && ::GetWindowRect(probe.get(), &rect))
        size = {rect.right - rect.left, rect.bottom - rect.top};
    return size;
}

LPOLESTR AllocResourceString(UINT id) noexcept {
    try {
        const std::wstring text = LoadResourceString(id);
        const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        auto* copy = static_cast<LPOLESTR>(::CoTaskMemAlloc(bytes));
        if (copy) std::memcpy(copy, text.c_str(), bytes);
        return copy;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace zfw::property_page
