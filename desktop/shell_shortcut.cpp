#include "desktop/shell_shortcut.h"

#include "support/elevation.h"

#include <objidl.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <string>

using Microsoft::WRL::ComPtr;

namespace zarn {

HRESULT CreateShellShortcut(HWND owner, const wchar_t* targetPath, const wchar_t* shortcutPath,
                            const wchar_t* iconPath) {
    ComPtr<IShellLinkW> link;
    const HRESULT created = CreateElevatedOrInProcess(
        owner, CLSID_ShellLink, IID_IShellLinkW, reinterpret_cast<void**>(link.GetAddressOf()));
    if (FAILED(created)) return created;

    ComPtr<IPersistFile> file;
    const HRESULT queried = link.As(&file);
    if (FAILED(queried)) return queried;

    // A property that does not take shows up in the saved link; the save's
    // status is what the caller learns.
    link->SetPath(targetPath);
    link->SetDescription(L"Zarn");
    link->SetIconLocation(iconPath, 0);

    // Saved beside its place and moved into it whole: a process ended during
    // the save (a browser ends its host at will) leaves a stray file, never a
    // half-written shortcut at the place, which a later call would have to
    // take for the user's own. The same folder, so the move is a rename.
    const std::wstring partial = std::wstring(shortcutPath) + L"." +
                                 std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(::GetCurrentThreadId()) + L".tmp";
    const HRESULT saved = file->Save(partial.c_str(), FALSE);
    if (FAILED(saved)) {
        ::DeleteFileW(partial.c_str());
        return saved;
    }
    if (!::MoveFileExW(partial.c_str(), shortcutPath,
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(partial.c_str());
        return HRESULT_FROM_WIN32(error);
    }
    return S_OK;
}

bool ReadsAsShellShortcut(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (data.nFileSizeLow == 0 && data.nFileSizeHigh == 0))
        return false;
    // Read in-process: reading needs no rights beyond the user's.
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    return SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_PPV_ARGS(&link))) &&
           SUCCEEDED(link.As(&file)) && SUCCEEDED(file->Load(path, STGM_READ));
}

}  // namespace zarn
