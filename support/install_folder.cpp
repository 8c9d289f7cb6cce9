#include "support/install_folder.h"

#include "support/collapse.h"

#include <windows.h>
#include <shlobj.h>

namespace zarn {

namespace {
constexpr wchar_t kFallbackProgramFiles[] = L"C:\\Program Files";
constexpr wchar_t kProductFolder[] = L"Zarn";
}  // namespace

std::wstring InstallFolderFor(std::wstring_view programFiles) {
    std::wstring folder = CollapseToBackslash(
        programFiles.empty() ? std::wstring_view(kFallbackProgramFiles) : programFiles, L"/");
    return folder + L"\\" + kProductFolder + L"\\";
}

std::wstring ResolveInstallFolder() {
    // The program-files folder does not move while a process runs, and every
    // control the page creates asks for it: the first lookup that succeeds
    // is kept for the process (a failed one is tried again next time).
    static SRWLOCK lock = SRWLOCK_INIT;
    static std::wstring found;
    ::AcquireSRWLockShared(&lock);
    std::wstring folder = found;
    ::ReleaseSRWLockShared(&lock);
    if (!folder.empty()) return folder;

    wchar_t buffer[MAX_PATH] = {};
    const bool resolved = ::SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_PROGRAM_FILES, FALSE);
    buffer[MAX_PATH - 1] = L'\0';
    folder = InstallFolderFor(resolved ? buffer : L"");
    if (resolved && buffer[0]) {
        ::AcquireSRWLockExclusive(&lock);
        found = folder;
        ::ReleaseSRWLockExclusive(&lock);
    }
    return folder;
}

}  // namespace zarn
