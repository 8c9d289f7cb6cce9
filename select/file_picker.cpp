#include "select/picked_file.h"

#include "framework/failure.h"
#include "framework/handle.h"
#include "select/file_dialog.h"
#include "select/selection_area.h"
#include "select/selection_sink.h"
#include "support/collapse.h"
#include "support/modal_call.h"
#include "support/reg_key.h"
#include "support/shell_folders.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace zarn {

namespace {

// Remembered folders this short (empty, or a drive root such as C:\) are
// not used as the start: the dialog starts on the desktop instead.
constexpr size_t kShortestStartFolder = 4;

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
        key.WriteText(kUploadFolderValue, folder);
        key.Close();
    }
}

}  // namespace

void PickFiles(SelectionSink& sink) {
    // Not over another dialog of the control (see ModalCall): no dialog, no event.
    const ModalCall modal(L"ShowDlgFile");
    if (!modal) return;
    SelectionArea area;
    {
        CRegistryEx key;
        if (key.OpenOrCreate(kSettingsKey)) {
            if (const auto folder = key.ReadText(kUploadFolderValue, regrule::kShortText))
                area.SetLeadingText(*folder);
            key.Close();
        }
    }
    std::wstring startFolder(area.LeadingText());
    if (startFolder.size() < kShortestStartFolder) startFolder = DesktopFolder();
    const std::wstring initialName = InitialFileName(startFolder);
    area.SetLeadingText(initialName);

    switch (RunOpenFileDialog(initialName, area)) {
    case PickOutcome::Cancelled:
        return;
    case PickOutcome::TooLarge:
        throw zfw::CallFailure(
            L"ShowDlgFile: the selected file names do not fit in 52000 characters; "
            L"no file was reported. Select fewer files.");
    case PickOutcome::Picked:
        break;
    }
    const std::vector<std::wstring> paths = area.Paths();
    for (size_t index = 0; index < paths.size(); ++index) {
        const std::wstring size = MeasurePickedFile(paths[index]);
        sink.Report(paths[index], size, kPickedMode);
        // Remembered once, after the page has seen the first file.
        if (index == 0) RememberUploadFolder(FolderOfFile(paths[index]));
    }
}

}  // namespace zarn
