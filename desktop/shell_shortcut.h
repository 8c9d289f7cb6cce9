// The desktop shortcut (.lnk) as a shell-link object saves it.
#pragma once

#include <windows.h>

namespace zarn {

// Saves a shell shortcut at `shortcutPath` that opens `targetPath`, with the
// description "Zarn" and the icon at `iconPath`, index 0. On Windows 6 and
// later the link object is first asked for through the elevation moniker,
// with `owner` as the owner of any consent prompt; the shell link is not
// elevation-enabled, so when that fails it is created in-process. The link
// is saved under a name of its own in the same folder and then moved over
// `shortcutPath`, replacing what is there: the place holds the old file or
// the whole new link, never part of one. Returns the status of the last step
// reached: the creation, the IPersistFile query, the save or the move.
HRESULT CreateShellShortcut(HWND owner, const wchar_t* targetPath, const wchar_t* shortcutPath,
                            const wchar_t* iconPath);

// Whether the file at `path` is a shell link the shell can read: false for
// an empty file, one it cannot load, and a folder.
bool ReadsAsShellShortcut(const wchar_t* path);

}  // namespace zarn
