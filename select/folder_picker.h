// The folder browser of ShowDlgFolder.
#pragma once

#include <windows.h>

#include <string>

#include "select/selection_sink.h"

namespace zarn {

// ShowDlgFolder: opens the folder browser on the remembered upload folder
// (else the desktop), remembers the picked folder, and reports it and then
// every item below it to `sink`. Does nothing while another dialog of the
// control is open, or after a cancel.
void PickFolder(HWND owner, SelectionSink& sink);

// Title of the folder browser: asks the user to select the folder to upload.
inline constexpr wchar_t kBrowseTitle[] = L"업로드 하실 폴더를 선택하세요.";
// BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT | BIF_EDITBOX | BIF_NEWDIALOGSTYLE.
inline constexpr UINT kBrowseFlags = 0x55;

// Shows the shell's folder browser owned by `owner`, opening with
// `initialFolder` selected when one is given. Returns 1 with the picked
// folder's file-system path in `path`; 0 after a cancel (then `path` is
// emptied) or when the picked item has no file-system path (`path` is left
// as it was). An initial folder that does not fit the browser's MAX_PATH
// buffer is not selected: the browser then opens at its root.
int BrowseUploadFolder(HWND owner, std::wstring& path, const wchar_t* initialFolder);

// The browser's callback: selects the initial folder once the browser is
// up, and shows the path of each newly selected folder in its status line.
int CALLBACK BrowseCallback(HWND browser, UINT message, LPARAM parameter, LPARAM data);

}  // namespace zarn
