#include "support/shell_folders.h"

#include <windows.h>
#include <shlobj.h>

namespace zarn {

std::wstring DesktopFolder() {
    // The shell's call writes at most MAX_PATH units, terminator included.
    wchar_t path[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, path, CSIDL_DESKTOP, FALSE)) return {};
    path[MAX_PATH - 1] = L'\0';
    return path;
}

std::wstring TempFolder() {
    // Asked for its length first: the folder may be longer than MAX_PATH.
    // Asked again when it grew between the two calls.
    for (DWORD needed = ::GetTempPathW(0, nullptr); needed != 0;) {
        std::wstring folder(needed, L'\0');
        const DWORD length = ::GetTempPathW(needed, folder.data());
        if (length == 0) break;
        if (length < needed) {
            folder.resize(length);
            return folder;
        }
        needed = length + 1;
    }
    return {};
}

}  // namespace zarn
