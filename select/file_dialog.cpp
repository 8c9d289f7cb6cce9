#include "select/file_dialog.h"

#include "framework/handle.h"

#include <cderr.h>
#include <commdlg.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

namespace zarn {

using Microsoft::WRL::ComPtr;

namespace {

// The initial file name made absolute (as the classic dialog does), split
// into its folder and its name.
std::pair<std::wstring, std::wstring> SplitInitialFileName(std::wstring_view initial) {
    std::wstring text(initial);
    const DWORD needed = ::GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (needed != 0) {
        std::wstring full(needed, L'\0');
        const DWORD written = ::GetFullPathNameW(text.c_str(), needed, full.data(), nullptr);
        if (written != 0 && written < needed) text.assign(full.data(), written);
    }
    const size_t slash = text.find_last_of(L'\\');
    if (slash == std::wstring::npos) return {std::wstring(), text};
    return {text.substr(0, slash + 1), text.substr(slash + 1)};
}

// The newer dialog. Returns false when the system does not offer it.
bool RunItemDialog(std::wstring_view initialFileName, SelectionArea& area, PickOutcome& outcome) {
    ComPtr<IFileOpenDialog> dialog;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&dialog))))
        return false;

    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    // Multiple selection and nothing else of ours: names that do not exist
    // are returned too, as the classic dialog without OFN_FILEMUSTEXIST does.
    options |= FOS_ALLOWMULTISELECT | FOS_FORCEFILESYSTEM;
    options &= ~(FOS_FILEMUSTEXIST | FOS_PATHMUSTEXIST);
    dialog->SetOptions(options);

    const auto filter = ParseBarFilter(kAllFilesFilter);
    std::vector<COMDLG_FILTERSPEC> filters;
    for (const auto& [description, pattern] : filter)
        filters.push_back(COMDLG_FILTERSPEC{description.c_str(), pattern.c_str()});
    if (!filters.empty()) dialog->SetFileTypes(static_cast<UINT>(filters.size()), filters.data());

    const auto [folder, name] = SplitInitialFileName(initialFileName);
    ComPtr<IShellItem> start;
    if (!folder.empty() &&
        SUCCEEDED(::SHCreateItemFromParsingName(folder.c_str(), nullptr, IID_PPV_ARGS(&start))))
        dialog->SetFolder(start.Get());
    dialog->SetFileName(name.c_str());

    outcome = PickOutcome::Cancelled;
    if (FAILED(dialog->Show(nullptr))) return true;
    ComPtr<IShellItemArray> results;
    DWORD count = 0;
    if (FAILED(dialog->GetResults(&results)) || FAILED(results->GetCount(&count))) return true;
    std::vector<std::wstring> paths;
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IShellItem> item;
        if (FAILED(results->GetItemAt(i, &item))) continue;
        zfw::unique_cotaskmem path;
        wchar_t* text = nullptr;
        if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &text))) continue;
        path.reset(text);
        paths.emplace_back(text);
    }
    if (paths.empty()) return true;
    outcome = area.Store(paths) ? PickOutcome::Picked : PickOutcome::TooLarge;
    return true;
}

PickOutcome RunClassicDialog(std::wstring_view initialFileName, SelectionArea& area) {
    // The dialog wants description NUL pattern NUL ... NUL.
    std::wstring filter;
    for (const auto& [description, pattern] : ParseBarFilter(kAllFilesFilter)) {
        filter.append(description).push_back(L'\0');
        filter.append(pattern).push_back(L'\0');
    }
    filter.push_back(L'\0');

    std::fill(area.units().begin(), area.units().end(), L'\0');
    if (!area.SetLeadingText(initialFileName)) area.SetLeadingText(L"*.*");

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = nullptr;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = area.units().data();
    ofn.nMaxFile = static_cast<DWORD>(area.capacity());
    ofn.Flags = OFN_EXPLORER | OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY | OFN_ENABLESIZING;
    if (::GetOpenFileNameW(&ofn)) {
        // One file: the dialog writes its path over the initial name, whose
        // tail may still follow the path's NUL. Store the path alone.
        if (ofn.nFileOffset > 0 && ofn.nFileOffset < area.capacity() &&
            area.units()[ofn.nFileOffset - 1] != L'\0') {
            const std::vector<std::wstring> one{std::wstring(area.LeadingText())};
            area.Store(one);
        }
        return PickOutcome::Picked;
    }
    if (::CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) {
        // The area then holds only the size the dialog wanted: drop it.
        std::fill(area.units().begin(), area.units().end(), L'\0');
        return PickOutcome::TooLarge;
    }
    return PickOutcome::Cancelled;
}

}  // namespace

std::vector<std::pair<std::wstring, std::wstring>> ParseBarFilter(std::wstring_view filter) {
    std::vector<std::pair<std::wstring, std::wstring>> entries;
    size_t pos = 0;
    for (;;) {
        const size_t bar = filter.find(L'|', pos);
        if (bar == std::wstring_view::npos || bar == pos) break;  // end, or the closing bar
        const size_t next = filter.find(L'|', bar + 1);
        if (next == std::wstring_view::npos) break;
        std::wstring_view pattern = filter.substr(bar + 1, next - bar - 1);
        const size_t first = pattern.find_first_not_of(L' ');
        pattern = first == std::wstring_view::npos
                      ? std::wstring_view()
                      : pattern.substr(first, pattern.find_last_not_of(L' ') - first + 1);
        entries.emplace_back(std::wstring(filter.substr(pos, bar - pos)), std::wstring(pattern));
        pos = next + 1;
    }
    return entries;
}

PickOutcome RunOpenFileDialog(std::wstring_view initialFileName, SelectionArea& area,
                              DialogStyle style) {
    PickOutcome outcome = PickOutcome::Cancelled;
    if (style == DialogStyle::Newer && RunItemDialog(initialFileName, area, outcome))
        return outcome;
    return RunClassicDialog(initialFileName, area);
}

}  // namespace zarn
