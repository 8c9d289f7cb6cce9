// The walk below a picked folder: against the two-pass listing it replaces,
// at its limits, and through the page host on a hostile tree.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <map>

#include "select/folder_walk.h"
#include "common/selection.h"

using namespace rig::selection;

namespace {

class Recording final : public zarn::SelectionSink {
public:
    std::vector<Item> items;
    std::function<void(const Item&)> onItem;
    void Report(std::wstring_view path, std::wstring_view size, std::wstring_view mode) override {
        items.push_back(Item{std::wstring(path), std::wstring(size), std::wstring(mode)});
        if (onItem) onItem(items.back());
    }
};

// The listing the walk replaces, written the plain way: each folder is
// searched twice, once for its subfolders and once for its files. Links to
// folders are listed, not entered.
void TwoPassWalk(std::wstring folder, const std::wstring& root, std::vector<Item>& out) {
    if (folder.empty() || folder.back() != L'\\') folder += L'\\';
    const std::wstring pattern = folder + L"*.*";
    if (pattern.size() >= MAX_PATH) return;
    WIN32_FIND_DATAW data;
    auto dots = [&] { return !wcscmp(data.cFileName, L".") || !wcscmp(data.cFileName, L".."); };
    zfw::unique_find first(::FindFirstFileW(pattern.c_str(), &data));
    for (bool more = bool(first); more; more = ::FindNextFileW(first.get(), &data)) {
        if (dots() || (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) ||
            !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        out.push_back(Item{folder + data.cFileName, L"-1", root});
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            TwoPassWalk(folder + data.cFileName, root, out);
    }
    first.reset();
    zfw::unique_find second(::FindFirstFileW(pattern.c_str(), &data));
    for (bool more = bool(second); more; more = ::FindNextFileW(second.get(), &data)) {
        if (dots() || (data.dwFileAttributes &
                       (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY)))
            continue;
        const unsigned long long size =
            (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        out.push_back(Item{folder + data.cFileName, std::to_wstring(size), root});
    }
}

std::vector<Item> Walk(const std::wstring& folder) {
    Recording sink;
    zarn::FolderWalk(sink, folder).Run(folder);
    return sink.items;
}

std::vector<Item> TwoPasses(const std::wstring& folder) {
    std::vector<Item> items;
    TwoPassWalk(folder, folder, items);
    return items;
}

const std::wstring kHostile = L"C:\\zarn-hostile";

}  // namespace

// The same items in the same order as two passes give, on a tree with
// nested folders, attributes of every kind, and on the hostile tree.
TEST(Walk, MatchesTheTwoPassListing) {
    const std::wstring root = rig::ScratchDir(L"mixed");
    for (const wchar_t* folder : {L"\\b", L"\\a", L"\\a\\z", L"\\a\\y", L"\\h", L"\\s", L"\\c"})
        MakeFolder(root + folder);
    for (const wchar_t* file : {L"\\1.txt", L"\\a\\2.txt", L"\\a\\z\\3.txt", L"\\h\\4.txt",
                                L"\\s\\5.txt", L"\\hf.txt", L"\\sf.txt", L"\\0.txt"})
        MakeFile(root + file, wcslen(file));
    ::SetFileAttributesW((root + L"\\h").c_str(), FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesW((root + L"\\s").c_str(), FILE_ATTRIBUTE_SYSTEM);
    ::SetFileAttributesW((root + L"\\hf.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesW((root + L"\\sf.txt").c_str(), FILE_ATTRIBUTE_SYSTEM);

    const auto mixed = Walk(root);
    EXPECT_EQ(TwoPasses(root), mixed) << Describe(mixed);
    EXPECT_EQ(11u, mixed.size()) << Describe(mixed);  // 6 visible folders, 5 files

    const auto hostile = Walk(kHostile);
    EXPECT_EQ(TwoPasses(kHostile), hostile);
    EXPECT_GT(hostile.size(), 10000u + 40u);
}

// Links to folders (Wine shows the host's symbolic links as folders that are
// reparse points) are reported as folders and never entered: not a loop back
// to the tree's root, not two links back to their own folder (which would
// double the walk at every level), not a link to a folder of 10,000 files.
TEST(Walk, ReportsLinksToFoldersButNeverEntersThem) {
    const std::vector<std::wstring> links = {kHostile + L"\\loop\\again",
                                             kHostile + L"\\twins\\left",
                                             kHostile + L"\\twins\\right",
                                             kHostile + L"\\shortcut"};
    for (const auto& link : links) {
        const DWORD attributes = ::GetFileAttributesW(link.c_str());
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << rig::Utf8(link);
        ASSERT_TRUE(attributes & FILE_ATTRIBUTE_REPARSE_POINT) << rig::Utf8(link);
    }
    struct TooMany {};
    Recording sink;
    sink.onItem = [&](const Item&) {
        if (sink.items.size() > 20000) throw TooMany{};  // the tree holds about 10,060 items
    };
    try {
        zarn::FolderWalk(sink, kHostile).Run(kHostile);
    } catch (const TooMany&) {
        FAIL() << "the walk went past 20,000 items; last: " << rig::Utf8(sink.items.back().path);
    }
    for (const auto& link : links) {
        const auto reported = std::count(sink.items.begin(), sink.items.end(),
                                         Item{link, L"-1", kHostile});
        EXPECT_EQ(1, reported) << rig::Utf8(link);
        const auto below = std::count_if(sink.items.begin(), sink.items.end(), [&](const Item& item) {
            return item.path.starts_with(link + L"\\");
        });
        EXPECT_EQ(0, below) << rig::Utf8(link) << " was entered";
    }
    EXPECT_EQ(1, std::count(sink.items.begin(), sink.items.end(),
                            Item{kHostile + L"\\twins\\t.txt", L"5", kHostile}));
    EXPECT_EQ(1, std::count_if(sink.items.begin(), sink.items.end(), [](const Item& item) {
                  return item.path.ends_with(L"\\bottom.txt");
              })) << "a plain folder chain is still walked to its end";
}

// A folder whose path has 255 characters is searched (its pattern has 259);
// one with 256 is reported by its parent but not searched.
TEST(Walk, StopsDescendingWherePatternsReachMaxPath) {
    const std::wstring root = rig::ScratchDir(L"limit");
    std::wstring parent = root;
    while (parent.size() < 200) {
        parent += L"\\" + std::wstring(std::min<size_t>(60, 200 - parent.size()), L'p');
        ::CreateDirectoryW((L"\\\\?\\" + parent).c_str(), nullptr);
    }
    const std::wstring fits = parent + L"\\" + std::wstring(254 - parent.size(), L'f');
    const std::wstring tooLong = parent + L"\\" + std::wstring(255 - parent.size(), L'l');
    ASSERT_EQ(255u, fits.size());
    ASSERT_EQ(256u, tooLong.size());
    for (const auto& folder : {fits, tooLong}) {
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr) ||
                    ::GetLastError() == ERROR_ALREADY_EXISTS)
            << ::GetLastError();
        MakeFile(L"\\\\?\\" + folder + L"\\x", 1);
    }
    const auto items = Walk(parent);
    const std::vector<Item> expected = {{fits, L"-1", parent},
                                        {fits + L"\\x", L"1", parent},
                                        {tooLong, L"-1", parent}};
    // The two folders come in the file system's order.
    auto sorted = items;
    std::sort(sorted.begin(), sorted.end(), [](const Item& a, const Item& b) { return a.path < b.path; });
    auto sortedExpected = expected;
    std::sort(sortedExpected.begin(), sortedExpected.end(),
              [](const Item& a, const Item& b) { return a.path < b.path; });
    EXPECT_EQ(sortedExpected, sorted) << Describe(items);
}

// A folder that cannot be searched (held open without sharing, or gone by
// the time the walk gets to it) adds nothing; the walk goes on after it.
TEST(Walk, FoldersThatCannotBeSearchedAddNothing) {
    const std::wstring root = rig::ScratchDir(L"unsearchable");
    for (const wchar_t* folder : {L"\\held", L"\\gone", L"\\fine"}) {
        MakeFolder(root + folder);
        MakeFile(root + folder + L"\\inside.txt", 3);
    }
    zfw::unique_file held(::CreateFileW((root + L"\\held").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held) << ::GetLastError();
    WIN32_FIND_DATAW probe;
    zfw::unique_find canList(::FindFirstFileW((root + L"\\held\\*.*").c_str(), &probe));
    const bool heldBlocksListing = !canList;
    canList.reset();

    Recording sink;
    sink.onItem = [&](const Item& item) {  // a page handler that removes the folder
        if (item.path == root + L"\\gone") {
            ::DeleteFileW((root + L"\\gone\\inside.txt").c_str());
            ::RemoveDirectoryW((root + L"\\gone").c_str());
        }
    };
    zarn::FolderWalk(sink, root).Run(root);
    std::map<std::wstring, std::wstring> seen;
    for (const Item& item : sink.items) seen[item.path] = item.size;
    EXPECT_EQ(L"-1", seen[root + L"\\gone"]);
    EXPECT_EQ(0u, seen.count(root + L"\\gone\\inside.txt"));
    EXPECT_EQ(L"3", seen[root + L"\\fine\\inside.txt"]);
    EXPECT_EQ(L"-1", seen[root + L"\\held"]);
    EXPECT_EQ(heldBlocksListing ? 0u : 1u, seen.count(root + L"\\held\\inside.txt"))
        << "a listing the platform refuses is skipped, one it allows is walked";
    if (!heldBlocksListing) std::printf("note: this platform lists a folder held without sharing\n");
}

// Through the page host: the page picks the hostile tree in the real folder
// browser. The walk ends, reports what two passes would, and the page goes on.
TEST(Walk, AHostileTreeEndsAndThePageKeepsWorking) {
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(kHostile.c_str()))
        << "the walk_hostile_tree fixture has not run";
    SetRemembered(kHostile);
    const size_t expectedItems = TwoPasses(kHostile).size() + 1;  // and the picked folder
    rig::ProcessResult page;
    {
        Watcher watcher([](HWND dialog) { Click(dialog, IDOK); }, 30000, /*anyProcess=*/true);
        page = rig::RunPage(L"tests\\test_walk_page.js", {}, 240000);
    }
    ASSERT_FALSE(page.timedOut) << page.output;
    EXPECT_EQ(0u, page.exitCode) << page.output;
    std::map<std::string, std::string> said;
    for (const auto& line : rig::Lines(page.output)) {
        const size_t space = line.find(' ');
        if (space != std::string::npos) said[line.substr(0, space)] = line.substr(space + 1);
    }
    EXPECT_EQ("0", said["result"]);
    EXPECT_EQ(std::to_string(expectedItems), said["items"]) << page.output;
    EXPECT_EQ("true", said["bottom"]) << "the chain 40 folders deep is walked to its end";
    EXPECT_EQ("after the walk", said["echo"]) << page.output;
    std::printf("page: %s items in %s ms (locked folder readable: %s)\n", said["items"].c_str(),
                said["ms"].c_str(), said["locked"].c_str());
}
