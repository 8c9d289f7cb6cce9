#include "select/folder_picker.h"

#include "control/modal_call.h"
#include "control/web_control.h"
#include "framework/handle.h"
#include "select/folder_walk.h"
#include "support/collapse.h"
#include "support/registryex.h"

#include <shlobj.h>

#include <cwchar>

namespace zarn {

namespace {

// The folder the next browser opens with; set just before the browser is
// shown and read by its callback once the browser window exists.
std::wstring g_initialSelection;

constexpr wchar_t kUploadFolderValue[] = L"sWebControlPath";

std::wstring DesktopFolder() {
    wchar_t path[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, path, CSIDL_DESKTOP, FALSE)) return {};
    return path;
}

// Items found by the walk go to the page as UpSelectComplete events.
class ControlSink final : public SelectionSink {
public:
    explicit ControlSink(CWebControlCtrl& control) : control_(control) {}
    void Report(std::wstring_view path, std::wstring_view size,
                std::wstring_view mode) override {
        // The walk reuses its path buffer; the event needs its own texts.
        path_.assign(path);
        size_.assign(size);
        mode_.assign(mode);
        control_.FireUpSelectComplete(path_.c_str(), size_.c_str(), mode_.c_str());
    }

private:
    CWebControlCtrl& control_;
    std::wstring path_, size_, mode_;
};

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

}  // namespace zarn

SCODE CWebControlCtrl::ShowDlgFolder() {
    // Not over another dialog of the control (see ModalCall): no dialog, no
    // event. The claim lasts through the walk, whose events run page code.
    const zarn::ModalCall modal(L"ShowDlgFolder");
    if (!modal) return 0;
    std::wstring remembered;
    {
        CRegistryEx key;
        if (EnsureSettingsKey(key)) {
            key.ReadString(zarn::kUploadFolderValue, remembered);
            key.Close();
        }
    }
    std::wstring initial = zarn::CollapseToBackslash(remembered, L"\\\\");
    // Only an empty text falls back: a remembered drive root stays.
    if (initial.empty()) initial = zarn::DesktopFolder();

    std::wstring picked;
    if (!zarn::BrowseUploadFolder(ControlWindow(), picked, initial.c_str())) return 0;
    {
        CRegistryEx key;
        if (key.Open(kSettingsKey)) {
            key.WriteString(zarn::kUploadFolderValue, picked);
            key.Close();
        }
    }
    // A drive root is reported as C:, and its items as C:\Data.
    if (!picked.empty() && picked.back() == L'\\') picked.pop_back();

    zarn::ControlSink sink(*this);
    sink.Report(picked, zarn::kFolderSize, zarn::kPickedMode);
    zarn::FolderWalk(sink, picked).Run(picked);
    return 0;
}
