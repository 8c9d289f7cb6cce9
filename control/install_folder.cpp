#include "control/install_folder.h"

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
    wchar_t buffer[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_PROGRAM_FILES, FALSE);
    buffer[MAX_PATH - 1] = L'\0';
    return InstallFolderFor(buffer);
}

}  // namespace zarn
