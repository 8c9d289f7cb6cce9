#include "support/install_folder.h"

#include "support/collapse.h"

#include <windows.h>
#include <shlobj.h>

namespace zarn {

namespace {
// The 32-bit program-files folder where the system does not say: its usual
// place on a 64-bit system; a 32-bit process assumes the one program-files
// folder of a 32-bit system.
constexpr std::wstring_view kFallbackProgramFiles =
    sizeof(void*) == 8 ? L"C:\\Program Files (x86)" : L"C:\\Program Files";
constexpr wchar_t kProductFolder[] = L"Zarn";
}  // namespace

std::wstring InstallFolderFor(std::wstring_view programFiles) {
    std::wstring folder = CollapseToBackslash(
        programFiles.empty() ? kFallbackProgramFiles : programFiles, L"/");
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

    // The service's installer is a 32-bit program: it puts the programs into
    // the 32-bit program-files folder, whatever the architecture of the
    // process that looks for them.
    wchar_t buffer[MAX_PATH] = {};
    bool resolved = ::SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_PROGRAM_FILESX86, FALSE) &&
                    buffer[0];
    // A 32-bit Windows that does not answer for the 32-bit folder has only
    // the one; a 32-bit process on a 64-bit system is given that one too.
    if (!resolved && sizeof(void*) == 4) {
        buffer[0] = L'\0';
        resolved = ::SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_PROGRAM_FILES, FALSE);
    }
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
