// ShowDlgFile through the real open dialog, driven from a watcher thread the
// way a person would: read the file-name box, type names, press Open or
// Cancel. Typing a bare name shows which folder the dialog started in.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>

#include "select/file_dialog.h"
#include "select/picked_file.h"  // InitialFileName, for the classic dialog
#include "select/selection_area.h"
#include "common/selection.h"

using namespace rig::selection;

namespace {

constexpr int kFileNameBox = 1152;  // edt1 of the open dialog

class FilePicker : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::OleInitialize(nullptr))); }
    void TearDown() override { ::OleUninitialize(); }

    // Runs ShowDlgFile; the watcher checks the file-name box, types `typed`
    // into it and presses Open (or Cancel when `typed` is null).
    Control::Result Pick(Control& control, const wchar_t* typed) {
        std::wstring boxAtStart = L"<no dialog>";
        Control::Result result;
        {
            Watcher watcher([&](HWND dialog) {
                boxAtStart = WindowText(::GetDlgItem(dialog, kFileNameBox));
                if (!typed) return Click(dialog, IDCANCEL);
                ::SendMessageW(::GetDlgItem(dialog, kFileNameBox), WM_SETTEXT, 0,
                               reinterpret_cast<LPARAM>(typed));
                Click(dialog, IDOK);
            });
            result = control.Call(L"ShowDlgFile");
        }
        EXPECT_EQ(L"*.*", boxAtStart) << "the file-name box as the dialog opened";
        return result;
    }
};

// The names a dialog's file list shows, as a person reads them off the
// screen: the items of every list view inside it.
std::vector<std::wstring> ListedNames(HWND dialog) {
    std::vector<std::wstring> names;
    for (HWND window : rig::Descendants(dialog)) {
        if (rig::ClassOf(window) != L"SysListView32") continue;
        const int count = static_cast<int>(::SendMessageW(window, LVM_GETITEMCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            wchar_t text[MAX_PATH] = {};
            LVITEMW item{};
            item.iSubItem = 0;
            item.pszText = text;
            item.cchTextMax = static_cast<int>(std::size(text));
            ::SendMessageW(window, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(&item));
            names.emplace_back(text);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Watches the dialog's list until it shows `wanted` (or ten seconds pass),
// then cancels; returns what the list showed last.
std::vector<std::wstring> ListThenCancel(HWND dialog, const std::vector<std::wstring>& wanted) {
    std::vector<std::wstring> names;
    for (int round = 0; round < 500; ++round) {
        names = ListedNames(dialog);
        if (std::includes(names.begin(), names.end(), wanted.begin(), wanted.end())) break;
        ::Sleep(20);
    }
    Click(dialog, IDCANCEL);
    return names;
}

std::string Joined(const std::vector<std::wstring>& names) {
    std::string out;
    for (const std::wstring& name : names) out += rig::Utf8(name) + "; ";
    return out;
}

}  // namespace

// A person opening the picker sees the start folder's files, not only its
// folders, in both dialogs.
TEST_F(FilePicker, TheDialogListsTheFilesOfTheStartFolder) {
    const std::wstring folder = rig::ScratchDir(L"listed");
    MakeFile(folder + L"\\listed-a.txt", 1);
    MakeFile(folder + L"\\listed-b.bin", 2);
    MakeFolder(folder + L"\\listed-sub");
    const std::vector<std::wstring> wanted = {L"listed-a.txt", L"listed-b.bin", L"listed-sub"};
    {
        SCOPED_TRACE("the item dialog, through the control");
        SetRemembered(folder);
        Control control;
        std::vector<std::wstring> listed;
        {
            Watcher watcher([&](HWND dialog) { listed = ListThenCancel(dialog, wanted); });
            EXPECT_EQ(S_OK, control.Call(L"ShowDlgFile").hr);
        }
        EXPECT_TRUE(std::includes(listed.begin(), listed.end(), wanted.begin(), wanted.end()))
            << Joined(listed);
        EXPECT_TRUE(control.events.items.empty()) << Describe(control.events.items);
    }
    {
        SCOPED_TRACE("the classic dialog");
        zarn::SelectionArea area;
        std::vector<std::wstring> listed;
        {
            Watcher watcher([&](HWND dialog) { listed = ListThenCancel(dialog, wanted); });
            EXPECT_EQ(zarn::PickOutcome::Cancelled,
                      zarn::RunOpenFileDialog(zarn::InitialFileName(folder), area,
                                              zarn::DialogStyle::Classic));
        }
        EXPECT_TRUE(std::includes(listed.begin(), listed.end(), wanted.begin(), wanted.end()))
            << Joined(listed);
    }
}

// Where the dialog starts for each remembered value: typing a bare name
// there yields <start folder>\name.
TEST_F(FilePicker, StartsInTheRememberedFolderOrOnTheDesktop) {
    const std::wstring scratch = rig::ScratchDir(L"start");
    MakeFolder(scratch + L"\\Up");
    // A single leading backslash names a folder on the current drive; the
    // doubled one of a network path would name a server that does not exist.
    MakeFolder(L"C:\\zarn-unc");
    MakeFolder(L"C:\\zarn-unc\\share");
    wchar_t oldDirectory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, oldDirectory);
    ::SetCurrentDirectoryW(L"C:\\");

    struct Case {
        const wchar_t* what;
        std::wstring remembered;  // empty: no value at all
        std::wstring expectedFolder;
    } cases[] = {
        {L"no value", L"", Desktop()},
        {L"a drive root", L"C:\\", Desktop()},
        {L"three characters", L"C:a", Desktop()},
        {L"trailing backslash", scratch + L"\\Up\\", scratch + L"\\Up"},
        {L"network-style prefix", L"\\\\zarn-unc\\share", L"C:\\zarn-unc\\share"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(rig::Utf8(c.what));
        if (c.remembered.empty()) ForgetRemembered(); else SetRemembered(c.remembered);
        Control control;
        const auto result = Pick(control, L"zarn-probe.txt");
        EXPECT_EQ(S_OK, result.hr);
        EXPECT_EQ(0, result.value);
        ASSERT_EQ(1u, control.events.items.size()) << Describe(control.events.items);
        EXPECT_EQ(c.expectedFolder + L"\\zarn-probe.txt", control.events.items[0].path);
        EXPECT_EQ(c.expectedFolder, Remembered());
    }
    ::SetCurrentDirectoryW(oldDirectory);
}

TEST_F(FilePicker, OneFileIsReportedAndItsFolderRemembered) {
    const std::wstring folder = rig::ScratchDir(L"one");
    MakeFile(folder + L"\\one.txt", 1234);
    SetRemembered(folder);
    Control control;
    const auto result = Pick(control, L"one.txt");
    EXPECT_EQ(0, result.value);
    ASSERT_EQ(1u, control.events.items.size()) << Describe(control.events.items);
    EXPECT_EQ((Item{folder + L"\\one.txt", L"1234", L"-1"}), control.events.items[0]);
    EXPECT_EQ(folder, Remembered());
}

// Several files come in the dialog's order; the folder is written once,
// after the page has handled the first file: a value the first handler sets
// is overwritten, one the second handler sets stays.
TEST_F(FilePicker, SeveralFilesInTheDialogsOrderWithOneWrite) {
    const std::wstring folder = rig::ScratchDir(L"several");
    MakeFile(folder + L"\\a.txt", 1);
    MakeFile(folder + L"\\b.txt", 22);
    MakeFile(folder + L"\\c.txt", 333);
    SetRemembered(folder);
    Control control;
    std::vector<std::wstring> seenByHandler;
    control.events.onItem = [&](const Item&) {
        seenByHandler.push_back(Remembered());
        SetRemembered(L"set by handler " + std::to_wstring(seenByHandler.size()));
    };
    Pick(control, L"\"c.txt\" \"a.txt\" \"b.txt\"");
    const std::vector<Item> expected = {{folder + L"\\c.txt", L"333", L"-1"},
                                        {folder + L"\\a.txt", L"1", L"-1"},
                                        {folder + L"\\b.txt", L"22", L"-1"}};
    EXPECT_EQ(expected, control.events.items) << Describe(control.events.items);
    EXPECT_EQ((std::vector<std::wstring>{folder, folder, L"set by handler 2"}), seenByHandler);
    EXPECT_EQ(L"set by handler 3", Remembered());
}

TEST_F(FilePicker, FilesAtADriveRootRememberTheRootAndNextTimeStartOnTheDesktop) {
    MakeFile(L"C:\\zarn-root-a.txt", 5);
    MakeFile(L"C:\\zarn-root-b.txt", 0);
    ForgetRemembered();
    {
        Control control;
        Pick(control, L"\"C:\\zarn-root-a.txt\" \"C:\\zarn-root-b.txt\"");
        const std::vector<Item> expected = {{L"C:\\zarn-root-a.txt", L"5", L"-1"},
                                            {L"C:\\zarn-root-b.txt", L"0", L"-1"}};
        EXPECT_EQ(expected, control.events.items) << Describe(control.events.items);
        EXPECT_EQ(L"C:\\", Remembered());
    }
    Control control;
    Pick(control, L"zarn-probe.txt");
    ASSERT_EQ(1u, control.events.items.size());
    EXPECT_EQ(Desktop() + L"\\zarn-probe.txt", control.events.items[0].path);
    ::DeleteFileW(L"C:\\zarn-root-a.txt");
    ::DeleteFileW(L"C:\\zarn-root-b.txt");
}

// Sizes: empty, above 4 GiB (sparse), a file another program holds open with
// no sharing (measured from its directory entry), and a typed name of a file
// that does not exist (0, never the folder mark -1).
TEST_F(FilePicker, SizesOfEmptyHugeLockedAndMissingFiles) {
    const std::wstring folder = rig::ScratchDir(L"sizes");
    MakeFile(folder + L"\\empty.txt", 0);
    MakeFile(folder + L"\\huge.bin", 5368709120ull);
    MakeFile(folder + L"\\locked.txt", 4321);
    zfw::unique_file lock(::CreateFileW((folder + L"\\locked.txt").c_str(), GENERIC_READ, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock) << "cannot hold the file, error " << ::GetLastError();
    ASSERT_EQ(-1, ::_wopen((folder + L"\\locked.txt").c_str(), 0)) << "the lock does not hold";
    SetRemembered(folder);
    Control control;
    Pick(control, L"\"empty.txt\" \"huge.bin\" \"locked.txt\" \"missing.txt\"");
    const std::vector<Item> expected = {{folder + L"\\empty.txt", L"0", L"-1"},
                                        {folder + L"\\huge.bin", L"5368709120", L"-1"},
                                        {folder + L"\\locked.txt", L"4321", L"-1"},
                                        {folder + L"\\missing.txt", L"0", L"-1"}};
    EXPECT_EQ(expected, control.events.items) << Describe(control.events.items);
    lock.reset();
    ::DeleteFileW((folder + L"\\huge.bin").c_str());
}

TEST_F(FilePicker, CancelReportsNothingAndKeepsTheValue) {
    SetRemembered(L"C:\\windows");
    Control control;
    const auto result = Pick(control, nullptr);
    EXPECT_EQ(S_OK, result.hr);
    EXPECT_EQ(0, result.value);
    EXPECT_TRUE(control.events.items.empty()) << Describe(control.events.items);
    EXPECT_EQ(L"C:\\windows", Remembered());
}

// More names than the 52,000-character area holds: a script error that says
// so, no event and no write. The folder is short because Wine's dialog joins
// each name to it in a MAX_PATH buffer of its own.
TEST_F(FilePicker, ASelectionTooLargeForTheAreaIsAScriptError) {
    const std::wstring folder = L"C:\\zl";
    MakeFolder(folder);
    SetRemembered(folder);
    std::wstring typed;
    for (int i = 0; i < 220; ++i)  // 220 names of 240 characters: about 53,000
        typed += L"\"" + std::to_wstring(1000 + i) + std::wstring(236, L'x') + L"\" ";
    Control control;
    const auto result = Pick(control, typed.c_str());
    EXPECT_EQ(DISP_E_EXCEPTION, result.hr);
    EXPECT_NE(std::wstring::npos, result.error.find(L"52000")) << rig::Utf8(result.error);
    EXPECT_TRUE(control.events.items.empty()) << Describe(control.events.items);
    EXPECT_EQ(folder, Remembered());
}

// ---- the helpers on their own

TEST(FileDialogParts, TheFilterIsOneEntryItsPatternWithoutSpaces) {
    const auto entries = zarn::ParseBarFilter(zarn::kAllFilesFilter);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(L"All Files(*.*) ", entries[0].first) << "the description keeps its text";
    EXPECT_EQ(L"*.*", entries[0].second);
    const auto spaced = zarn::ParseBarFilter(L" Text | *.txt;*.log |Any|*|Blank|   ||");
    ASSERT_EQ(3u, spaced.size());
    EXPECT_EQ((std::pair<std::wstring, std::wstring>{L" Text ", L"*.txt;*.log"}), spaced[0]);
    EXPECT_EQ((std::pair<std::wstring, std::wstring>{L"Any", L"*"}), spaced[1]);
    EXPECT_EQ((std::pair<std::wstring, std::wstring>{L"Blank", L""}), spaced[2]);
    EXPECT_EQ(1u, zarn::ParseBarFilter(L"A|a||B|b||").size()) << "two bars end the list";
    EXPECT_EQ(2u, zarn::ParseBarFilter(L"A|a|B|b||").size());
}

// The area's walk never reads past its end and never trusts a selection
// without its closing NULs.
TEST(FileDialogParts, TheAreaIsBoundOnEverySide) {
    zarn::SelectionArea area(16);
    std::fill(area.units().begin(), area.units().end(), L'x');
    EXPECT_TRUE(area.Paths().empty());
    EXPECT_EQ(16u, area.LeadingText().size());
    EXPECT_FALSE(area.SetLeadingText(std::wstring(16, L'y'))) << "no room for the NUL";

    // "C:\d" NUL "a" NUL "b" NUL NUL is 10 units: fits in 10, not in 9.
    const std::vector<std::wstring> picked = {L"C:\\d\\a", L"C:\\d\\b"};
    zarn::SelectionArea exact(10), tight(9);
    ASSERT_TRUE(exact.Store(picked));
    EXPECT_EQ(picked, exact.Paths());
    EXPECT_FALSE(tight.Store(picked));
    EXPECT_TRUE(tight.Paths().empty());

    // A drive root keeps its backslash; a file elsewhere keeps its full path.
    zarn::SelectionArea wide(200);
    const std::vector<std::wstring> mixed = {L"C:\\a.txt", L"C:\\b.txt", L"D:\\x\\c.txt"};
    ASSERT_TRUE(wide.Store(mixed));
    EXPECT_EQ(L"C:\\", wide.LeadingText());
    EXPECT_EQ(mixed, wide.Paths());
    const std::vector<std::wstring> one = {L"C:\\only.txt"};
    ASSERT_TRUE(wide.Store(one));
    EXPECT_EQ(one, wide.Paths());
}

// The item dialog with a small area: names that do not fit come back as
// TooLarge with the area left empty. (The classic dialog is not tried this
// way: Wine's copies its multi-select result without checking nMaxFile.)
TEST_F(FilePicker, TheItemDialogReportsAnOverflowOfASmallArea) {
    zarn::SelectionArea area(100);
    zarn::PickOutcome outcome = zarn::PickOutcome::Picked;
    {
        Watcher watcher([](HWND dialog) {
            ::SendMessageW(::GetDlgItem(dialog, kFileNameBox), WM_SETTEXT, 0,
                           reinterpret_cast<LPARAM>(L"\"" L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
                                                    L"\" \"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"
                                                    L"\" \"cccccccccccccccccccccccccccccccccccccccc\""));
            Click(dialog, IDOK);
        });
        outcome = zarn::RunOpenFileDialog(L"C:\\windows\\*.*", area);
    }
    EXPECT_EQ(zarn::PickOutcome::TooLarge, outcome);
    EXPECT_TRUE(std::all_of(area.units().begin(), area.units().end(),
                            [](wchar_t unit) { return unit == L'\0'; }));
}

// The classic dialog, used where the item dialog is missing: one file (whose
// path is shorter than the initial name it overwrites) and several files.
TEST_F(FilePicker, TheClassicDialogGivesTheSameSelection) {
    const std::wstring folder = rig::ScratchDir(L"classic-with-a-long-folder-name");
    MakeFile(folder + L"\\a.txt");
    MakeFile(folder + L"\\b.txt");
    struct Case {
        const wchar_t* typed;
        std::vector<std::wstring> expected;
    } cases[] = {
        {L"a.txt", {folder + L"\\a.txt"}},
        {L"\"b.txt\" \"a.txt\"", {folder + L"\\b.txt", folder + L"\\a.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(rig::Utf8(c.typed));
        zarn::SelectionArea area;
        zarn::PickOutcome outcome = zarn::PickOutcome::Cancelled;
        {
            Watcher watcher([&](HWND dialog) {
                // The classic dialog's file-name box is a combo box with an edit inside.
                HWND box = ::GetDlgItem(dialog, 0x47c);  // cmb13
                ::SendMessageW(box ? box : ::GetDlgItem(dialog, kFileNameBox), WM_SETTEXT, 0,
                               reinterpret_cast<LPARAM>(c.typed));
                Click(dialog, IDOK);
            });
            outcome = zarn::RunOpenFileDialog(zarn::InitialFileName(folder), area,
                                              zarn::DialogStyle::Classic);
        }
        EXPECT_EQ(zarn::PickOutcome::Picked, outcome);
        EXPECT_EQ(c.expected, area.Paths());
    }
}
