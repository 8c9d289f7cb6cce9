// The system's open-file dialog with multiple selection.
#pragma once

#include "select/selection_area.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarn {

// The filter of ShowDlgFile, in the bar convention.
inline constexpr wchar_t kAllFilesFilter[] = L"All Files(*.*) | *.* ||";

// (description, pattern) pairs of a filter in the bar convention: a bar ends
// each text, two bars end the list. A description keeps its spaces; a
// pattern loses those around it, since the dialogs match names against the
// pattern as written and " *.* " matches no file.
std::vector<std::pair<std::wstring, std::wstring>> ParseBarFilter(std::wstring_view filter);

enum class DialogStyle {
    Newer,    // the item dialog, falling back to the classic one where it is missing
    Classic,  // the explorer-style GetOpenFileNameW dialog
};

enum class PickOutcome {
    Picked,     // the area holds the selection
    Cancelled,  // cancelled, or the dialog failed
    TooLarge,   // the selection does not fit the area; the area holds nothing
};

// Shows the open dialog: multiple selection, the filter, no parent window.
// `initialFileName` is a folder, a backslash and a name ("D:\Up\*.*"): the
// dialog opens in that folder with the name in its file-name box. On
// Picked, `area` holds the selection in the multi-select convention.
PickOutcome RunOpenFileDialog(std::wstring_view initialFileName, SelectionArea& area,
                              DialogStyle style = DialogStyle::Newer);

}  // namespace zarn
