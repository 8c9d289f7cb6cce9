#include "select/selection_area.h"

#include <algorithm>

namespace zarn {

namespace {

// "C:\x", "C:/x" or "\\server\share": a name that needs no folder.
bool IsFullPath(std::wstring_view name) noexcept {
    if (name.size() >= 3 && name[1] == L':' && (name[2] == L'\\' || name[2] == L'/'))
        return true;
    return name.size() >= 2 && name[0] == L'\\' && name[1] == L'\\';
}

// The folder of a full path as the multi-select convention writes it: a
// drive root keeps its backslash.
std::wstring_view FolderOf(std::wstring_view path) noexcept {
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring_view::npos) return {};
    if (slash == 2 && path[1] == L':') return path.substr(0, 3);
    return path.substr(0, slash);
}

std::wstring Join(std::wstring_view folder, std::wstring_view name) {
    std::wstring path(folder);
    if (!path.empty() && path.back() != L'\\') path.push_back(L'\\');
    path.append(name);
    return path;
}

}  // namespace

SelectionArea::SelectionArea(size_t units) : area_(units, L'\0') {}

std::wstring_view SelectionArea::LeadingText() const noexcept {
    const auto end = std::find(area_.begin(), area_.end(), L'\0');
    return std::wstring_view(area_.data(), static_cast<size_t>(end - area_.begin()));
}

bool SelectionArea::SetLeadingText(std::wstring_view text) {
    if (text.size() + 1 > area_.size()) return false;
    std::copy(text.begin(), text.end(), area_.begin());
    area_[text.size()] = L'\0';
    return true;
}

bool SelectionArea::Store(const std::vector<std::wstring>& paths) {
    std::fill(area_.begin(), area_.end(), L'\0');
    if (paths.empty()) return false;
    std::vector<std::wstring_view> parts;
    if (paths.size() == 1) {
        parts.push_back(paths.front());
    } else {
        const std::wstring_view folder = FolderOf(paths.front());
        parts.push_back(folder);
        for (const std::wstring& path : paths) {
            const std::wstring_view view(path);
            const bool inFolder = FolderOf(view) == folder && view.size() > folder.size();
            parts.push_back(inFolder ? view.substr(view.find_last_of(L'\\') + 1) : view);
        }
    }
    size_t needed = 1;  // the closing NUL
    for (const std::wstring_view part : parts) needed += part.size() + 1;
    if (needed > area_.size()) return false;
    auto out = area_.begin();
    for (const std::wstring_view part : parts) {
        out = std::copy(part.begin(), part.end(), out);
        *out++ = L'\0';
    }
    *out = L'\0';
    return true;
}

std::vector<std::wstring> SelectionArea::Paths() const {
    // Split into NUL-ended texts, stopping at the empty one that closes the list.
    std::vector<std::wstring_view> texts;
    size_t pos = 0;
    bool closed = false;
    while (pos < area_.size()) {
        const auto end = std::find(area_.begin() + static_cast<std::ptrdiff_t>(pos), area_.end(),
                                   L'\0');
        if (end == area_.end()) break;  // runs off the area
        const size_t length = static_cast<size_t>(end - area_.begin()) - pos;
        if (length == 0) {
            closed = true;
            break;
        }
        texts.emplace_back(area_.data() + pos, length);
        pos += length + 1;
    }
    std::vector<std::wstring> paths;
    if (!closed || texts.empty()) return paths;
    if (texts.size() == 1) {
        paths.emplace_back(texts.front());
        return paths;
    }
    for (size_t i = 1; i < texts.size(); ++i)
        paths.push_back(IsFullPath(texts[i]) ? std::wstring(texts[i]) : Join(texts[0], texts[i]));
    return paths;
}

}  // namespace zarn
