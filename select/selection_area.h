// The result area of the open-file dialog.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zarn {

// A fixed-capacity area of UTF-16 units that holds a file selection in the
// multi-select convention: one full path and two NULs for one file, or the
// folder, a NUL, each name and a NUL, and one more NUL for several. Nothing
// is ever written or read beyond the capacity.
class SelectionArea {
public:
    // Units of the area ShowDlgFile uses: folder, names and terminators.
    static constexpr size_t kFileDialogUnits = 52000;

    // Allocates the area, cleared. Throws std::bad_alloc.
    explicit SelectionArea(size_t units = kFileDialogUnits);

    std::span<wchar_t> units() noexcept { return area_; }
    size_t capacity() const noexcept { return area_.size(); }

    // The text at the start of the area, up to its first NUL.
    std::wstring_view LeadingText() const noexcept;
    // Copies `text` and a NUL to the start; false (area unchanged) if it does not fit.
    bool SetLeadingText(std::wstring_view text);

    // Stores the picked files' full paths in the convention. A file outside
    // the first file's folder keeps its full path as its name. False, with
    // the area cleared, when the selection does not fit or is empty.
    bool Store(const std::vector<std::wstring>& paths);

    // The picked files' full paths in the area's order: the folder joined to
    // each name with one backslash, or the single path as written. A name
    // that is already a full path is taken as it is. A selection without its
    // closing NULs inside the area is not trusted: the result is then empty.
    std::vector<std::wstring> Paths() const;

private:
    std::vector<wchar_t> area_;
};

}  // namespace zarn
