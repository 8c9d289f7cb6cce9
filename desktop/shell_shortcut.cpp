#include "desktop/shell_shortcut.h"

#include "support/elevation.h"

#include <objidl.h>
#include <shlobj.h>
#include <wrl/client.h>

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
    return file->Save(shortcutPath, TRUE);
}

}  // namespace zarn
