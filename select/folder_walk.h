// The walk below a picked upload folder.
#pragma once

#include "select/selection_sink.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zarn {

// Reports everything visible below a folder, depth first: in each folder
// first its subfolders (each followed at once by everything below it), then
// its files, each group in the order the file system lists them.
//   - Hidden entries are skipped, and nothing below a hidden folder is seen.
//   - System files are skipped; system folders are reported and entered.
//   - A folder that is a reparse point (a junction, a mount point, a
//     symbolic link) is reported but never entered, so links cannot loop.
//   - A folder whose search pattern would reach MAX_PATH characters (its
//     path is 256 characters or longer) is reported by its parent but not
//     searched.
//   - A folder that cannot be listed contributes nothing; the walk goes on.
// Each folder's listing is read twice, with one search open at a time:
// first for its subfolders, which are kept on one stack with those of the
// folders on the current path, then for its files, each reported as it is
// read. So the memory follows the depth and the subfolders on the path,
// never the number of files, not even in one wide folder.
class FolderWalk {
public:
    // `mode` is the mode text of every item found (the picked folder's path).
    FolderWalk(SelectionSink& sink, std::wstring_view mode);

    // Reports everything below `folder` (its own item is the caller's).
    void Run(std::wstring_view folder);

    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

private:
    struct Entry {
        std::uint32_t nameStart;  // offset into names_
        std::uint32_t nameLength;
        bool link;                // a reparse point: reported, not entered
    };

    // Lists the folder in path_ (which ends with a backslash) and reports it.
    void WalkFolder();
    // Reads the listing of the folder in path_: its subfolders are appended
    // to entries_ and names_ (`files` false), or its files are reported
    // (`files` true).
    void ReadListing(bool files);

    SelectionSink& sink_;
    std::wstring mode_;
    std::wstring path_;            // the folder being walked, with a trailing backslash
    std::vector<Entry> entries_;   // subfolders of the folders on the current path
    std::wstring names_;           // their names, back to back
};

}  // namespace zarn
