#include "select/picked_file.h"

#include "control/modal_call.h"
#include "control/web_control.h"
#include "framework/dispatch.h"
#include "framework/handle.h"
#include "select/file_dialog.h"
#include "select/selection_area.h"
#include "select/selection_sink.h"
#include "support/collapse.h"
#include "support/registryex.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace zarn {

namespace {

constexpr wchar_t kUploadFolderValue[] = L"sWebControlPath";
// Remembered folders this short (empty, or a drive root such as C:\) are
// not used as the start: the dialog starts on the desktop instead.
constexpr size_t kShortestStartFolder = 4;

std::wstring DesktopFolder() {
    wchar_t path[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, path, CSIDL_DESKTOP, FALSE)) return {};
    return path;
}

// The folder of a picked file; a drive root keeps its backslash.
std::wstring FolderOfFile(const std::wstring& path) {
    std::wstring folder = path;
    ::PathRemoveFileSpecW(folder.data());
    folder.resize(::wcsnlen(folder.c_str(), folder.size()));
    return folder;
}

void RememberUploadFolder(const std::wstring& folder) {
    CRegistryEx key;
    if (key.Open(kSettingsKey)) {
        key.WriteString(kUploadFolderValue, folder);
        key.Close();
    }
}

}  // namespace

}  // namespace zarn

SCODE CWebControlCtrl::ShowDlgFile() {
    // Not over another dialog of the control (see ModalCall): no dialog, no event.
    const zarn::ModalCall modal(L"ShowDlgFile");
    if (!modal) return 0;
    zarn::SelectionArea area;
    {
        CRegistryEx key;
        if (EnsureSettingsKey(key)) {
            key.ReadStringToBuffer(zarn::kUploadFolderValue, area.units());
            key.Close();
        }
    }
    std::wstring startFolder(area.LeadingText());
    if (startFolder.size() < zarn::kShortestStartFolder) startFolder = zarn::DesktopFolder();
    const std::wstring initialName = zarn::InitialFileName(startFolder);
    area.SetLeadingText(initialName);

    switch (zarn::RunOpenFileDialog(initialName, area)) {
    case zarn::PickOutcome::Cancelled:
        return 0;
    case zarn::PickOutcome::TooLarge:
        throw zfw::ScriptError(
            L"ShowDlgFile: the selected file names do not fit in 52000 characters; "
            L"no file was reported. Select fewer files.");
    case zarn::PickOutcome::Picked:
        break;
    }
    const std::vector<std::wstring> paths = area.Paths();
    for (size_t index = 0; index < paths.size(); ++index) {
        const std::wstring size = zarn::MeasurePickedFile(paths[index]);
        FireUpSelectComplete(paths[index].c_str(), size.c_str(), zarn::kPickedMode.data());
        // Remembered once, after the page has seen the first file.
        if (index == 0) zarn::RememberUploadFolder(zarn::FolderOfFile(paths[index]));
    }
    return 0;
}
