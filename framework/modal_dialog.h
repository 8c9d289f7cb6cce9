// A modal dialog run from a dialog template of the module.
//
// The derived class handles the messages it cares about; everything else
// gets the dialog manager's default processing. The dialog manager's own
// keyboard handling (Enter and Esc become WM_COMMAND IDOK and IDCANCEL) ends
// nothing here unless the derived class ends the dialog itself.
#pragma once

#include <windows.h>

namespace zfw {

class ModalDialog {
public:
    // `resources` holds the template `templateId` (the module instance when null).
    explicit ModalDialog(UINT templateId, HINSTANCE resources = nullptr) noexcept;
    virtual ~ModalDialog();

    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    // Runs the dialog modally and returns the result given to EndDialog, or
    // -1 when the dialog could not be created. Without an owner the active
    // window of the calling thread owns it, as for any modal dialog without
    // an explicit parent.
    INT_PTR DoModal(HWND owner = nullptr);

    // The dialog window while it runs; null before and after.
    HWND Handle() const noexcept { return window_; }

protected:
    // WM_INITDIALOG; the return value is the message's result.
    virtual BOOL OnInitDialog() { return TRUE; }
    // Any other message: return true when handled, with `result` the value
    // for the dialog manager (DWLP_MSGRESULT).
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // Ends the modal run with `result` (also from inside OnInitDialog).
    void EndDialog(INT_PTR result);

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    UINT templateId_;
    HINSTANCE resources_;
    HWND window_ = nullptr;
};

}  // namespace zfw
