#include "select/folder_picker.h"

#include "framework/handle.h"
#include "select/folder_walk.h"
#include "support/collapse.h"
#include "support/modal_call.h"
#include "support/reg_key.h"
#include "support/shell_folders.h"

#include <shlobj.h>

#include <cwchar>

namespace zarn {

namespace {

// The folder the next browser opens with; set just before the browser is
// shown and read by its callback once the browser window exists.
std::wstring g_initialSelection;

}  // namespace

int CALLBACK BrowseCallback(HWND browser, UINT message, LPARAM parameter, LPARAM data) {
    wchar_t buffer[MAX_PATH] = {};
    switch (message) {
    case BFFM_INITIALIZED:
        // Never a truncated path: it could name a different folder.
        if (data != 0 && g_initialSelection.size() < MAX_PATH) {
            g_initialSelection.copy(buffer, g_initialSelection.size());
            ::SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(buffer));
        }
        break;
    case BFFM_SELCHANGED:
        if (::SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(parameter), buffer))
            ::SendMessageW(browser, BFFM_SETSTATUSTEXTW, 0, reinterpret_cast<LPARAM>(buffer));
        break;
    default:
        break;
    }
    return 0;
}

int BrowseUploadFolder(HWND owner, std::wstring& path, const wchar_t* initialFolder) {
    wchar_t displayName[MAX_PATH] = {};
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;
    info.pszDisplayName = displayName;
    info.lpszTitle = kBrowseTitle;
    info.ulFlags = kBrowseFlags;
    info.lpfn = BrowseCallback;
    info.lParam = 0;
    if (initialFolder) {
        g_initialSelection = initialFolder;
        info.lParam = 1;
    }
    zfw::unique_cotaskmem item(::SHBrowseForFolderW(&info));
    if (!item) {
        path.clear();
        return 0;
    }
    wchar_t picked[MAX_PATH] = {};
    if (!::SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(item.get()), picked)) return 0;
    path = picked;
    return 1;
}

void PickFolder(HWND owner, SelectionSink& sink) {
    // Not over another dialog of the control (see ModalCall): no dialog, no
    // event. The claim lasts through the walk, whose events run page code.
    const ModalCall modal(L"ShowDlgFolder");
    if (!modal) return;
    std::wstring remembered;
    {
        CRegistryEx key;
        if (key.OpenOrCreate(kSettingsKey)) {
            if (auto folder = key.ReadText(kUploadFolderValue, regrule::kLongText))
                remembered = std::move(*folder);
            key.Close();
        }
    }
    std::wstring initial = CollapseToBackslash(remembered, L"\\\\");
    // Only an empty text falls back: a remembered drive root stays.
    if (initial.empty()) initial = DesktopFolder();

    std::wstring picked;
    if (!BrowseUploadFolder(owner, picked, initial.c_str())) return;
    {
        CRegistryEx key;
        if (key.Open(kSettingsKey)) {
            key.WriteText(kUploadFolderValue, picked);
            key.Close();
        }
    }
    // A drive root is reported as C:, and its items as C:\Data.
    if (!picked.empty() && picked.back() == L'\\') picked.pop_back();

    sink.Report(picked, kFolderSize, kPickedMode);
    FolderWalk(sink, picked).Run(picked);
}

}  // namespace zarn
