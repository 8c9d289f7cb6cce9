// The desktop shortcut (.lnk) as a shell-link object saves it.
#pragma once

#include <windows.h>

namespace zarn {

// Saves a shell shortcut at `shortcutPath` that opens `targetPath`, with the
// description "Zarn" and the icon at `iconPath`, index 0. On Windows 6 and
// later the link object is first asked for through the elevation moniker,
// with `owner` as the owner of any consent prompt; the shell link is not
// elevation-enabled, so when that fails it is created in-process. Returns the
// status of the last step reached: the creation, the IPersistFile query or
// the save.
HRESULT CreateShellShortcut(HWND owner, const wchar_t* targetPath, const wchar_t* shortcutPath,
                            const wchar_t* iconPath);

}  // namespace zarn
