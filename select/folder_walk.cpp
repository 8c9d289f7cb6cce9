#include "select/folder_walk.h"

#include "framework/handle.h"

#include <windows.h>

namespace zarn {

namespace {

constexpr std::wstring_view kAllEntries = L"*.*";

bool IsDots(const wchar_t* name) noexcept {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

}  // namespace

FolderWalk::FolderWalk(SelectionSink& sink, std::wstring_view mode) : sink_(sink), mode_(mode) {}

void FolderWalk::Run(std::wstring_view folder) {
    path_.assign(folder);
    if (path_.empty() || path_.back() != L'\\') path_.push_back(L'\\');
    entries_.clear();
    names_.clear();
    WalkFolder();
}

void FolderWalk::WalkFolder() {
    const size_t firstEntry = entries_.size();
    const size_t firstName = names_.size();
    ReadListing(false);
    const size_t endEntry = entries_.size();
    const size_t folderLength = path_.size();

    // Subfolders first, each with everything below it. The child's
    // subfolders are pushed above this one's and popped again, so indexes
    // stay valid.
    for (size_t i = firstEntry; i < endEntry; ++i) {
        const Entry entry = entries_[i];
        path_.append(names_, entry.nameStart, entry.nameLength);
        sink_.Report(path_, kFolderSize, mode_);
        if (!entry.link) {
            path_.push_back(L'\\');
            WalkFolder();
        }
        path_.resize(folderLength);
    }
    entries_.resize(firstEntry);
    names_.resize(firstName);
    ReadListing(true);
}

void FolderWalk::ReadListing(bool files) {
    const size_t folderLength = path_.size();
    // A pattern of MAX_PATH characters or more is not searched: the folder
    // has been reported, but nothing below it is.
    if (folderLength + kAllEntries.size() >= MAX_PATH) return;
    path_.append(kAllEntries);
    WIN32_FIND_DATAW data;
    zfw::unique_find search(::FindFirstFileExW(path_.c_str(), FindExInfoBasic, &data,
                                               FindExSearchNameMatch, nullptr,
                                               FIND_FIRST_EX_LARGE_FETCH));
    path_.resize(folderLength);
    if (!search) return;  // unreadable or vanished: nothing to report
    do {
        if (IsDots(data.cFileName)) continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) continue;
        const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (folder == files) continue;
        if (!folder && (data.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM)) continue;
        const size_t nameLength = ::wcsnlen(data.cFileName, MAX_PATH);
        if (files) {
            path_.append(data.cFileName, nameLength);
            const std::uint64_t size =
                (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            sink_.Report(path_, SizeText(size).view(), mode_);
            path_.resize(folderLength);
            continue;
        }
        // A junction or a symbolic link leads anywhere, its own parent
        // included: two such links back to their folder double the walk at
        // every level. It is reported like any folder, and never entered.
        const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entries_.push_back(Entry{static_cast<std::uint32_t>(names_.size()),
                                 static_cast<std::uint32_t>(nameLength), link});
        names_.append(data.cFileName, nameLength);
    } while (::FindNextFileW(search.get(), &data));
}

}  // namespace zarn
