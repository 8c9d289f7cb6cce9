// MakeShortCut: the service's icon and Internet-shortcut file in a folder
// under the temporary folder, and a desktop shortcut that points at them.
#pragma once

#include <windows.h>

#include <string_view>

namespace zarn {

// Refreshes the icon, rewrites the Internet-shortcut file to open
// `pageAddress`, and makes the desktop shortcut when `choiceText` reads as 1
// or the settings allow it ("bAddIcon") and none the shell can read is there
// yet (an empty or unreadable one is written again). `owner` owns
// any consent prompt. Throws zfw::CallFailure when the shortcut folder or
// file cannot be made, and (E_ACCESSDENIED, nothing touched) when the
// address holds a control character (sitelock::ShortcutAddressWritable).
void MakeDesktopShortcut(HWND owner, std::wstring_view pageAddress, std::wstring_view choiceText);

}  // namespace zarn
