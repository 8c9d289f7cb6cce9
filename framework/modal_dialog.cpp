#include "framework/modal_dialog.h"

#include "framework/com.h"

namespace zfw {

ModalDialog::ModalDialog(UINT templateId, HINSTANCE resources) noexcept
    : templateId_(templateId), resources_(resources) {}

ModalDialog::~ModalDialog() = default;

INT_PTR ModalDialog::DoModal(HWND owner) {
    if (!owner) owner = ::GetActiveWindow();
    HINSTANCE resources = resources_ ? resources_ : ModuleInstance();
    const INT_PTR result = ::DialogBoxParamW(resources, MAKEINTRESOURCEW(templateId_), owner,
                                             &ModalDialog::DialogProc,
                                             reinterpret_cast<LPARAM>(this));
    window_ = nullptr;
    return result;
}

bool ModalDialog::OnMessage(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

void ModalDialog::EndDialog(INT_PTR result) {
    if (window_) ::EndDialog(window_, result);
}

INT_PTR CALLBACK ModalDialog::DialogProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<ModalDialog*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
        return self->OnInitDialog();
    }
    auto* self = reinterpret_cast<ModalDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
    if (!self) return FALSE;
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(window, DWLP_USER, 0);
        return FALSE;
    }
    LRESULT result = 0;
    if (!self->OnMessage(message, wParam, lParam, result)) return FALSE;
    ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace zfw
