// ShowDlgFolder through the real folder browser, driven from a watcher
// thread: it reads the browser's title and status line, types a path into
// its edit box or keeps the initial selection, and presses OK or Cancel.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "common/selection.h"

using namespace rig::selection;

namespace {

constexpr int kTitle = 14146;   // the browser's title text
constexpr int kStatus = 14147;  // its status line
constexpr int kEditBox = 14149;

struct BrowserSeen {
    bool appeared = false;
    std::wstring title, status;
};

class FolderPicker : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::OleInitialize(nullptr))); }
    void TearDown() override { ::OleUninitialize(); }

    // Runs ShowDlgFolder. The watcher types `typed` into the edit box when it
    // is given, then presses OK, or Cancel when `cancel` is set.
    Control::Result Pick(Control& control, const wchar_t* typed, bool cancel = false) {
        Control::Result result;
        {
            Watcher watcher([&](HWND dialog) {
                seen.appeared = true;
                seen.title = WindowText(::GetDlgItem(dialog, kTitle));
                // The browser may still be expanding its tree to the selection.
                seen.status = WindowText(::GetDlgItem(dialog, kStatus));
                for (int quiet = 0, i = 0; quiet < 5 && i < 100; ++i) {
                    ::Sleep(100);
                    const std::wstring now = WindowText(::GetDlgItem(dialog, kStatus));
                    quiet = now == seen.status ? quiet + 1 : 0;
                    seen.status = now;
                }
                if (cancel) return Click(dialog, IDCANCEL);
                if (typed)
                    ::SendMessageW(::GetDlgItem(dialog, kEditBox), WM_SETTEXT, 0,
                                   reinterpret_cast<LPARAM>(typed));
                Click(dialog, IDOK);
            });
            result = control.Call(L"ShowDlgFolder");
        }
        EXPECT_TRUE(seen.appeared);
        EXPECT_EQ(L"업로드 하실 폴더를 선택하세요.", seen.title);
        EXPECT_EQ(S_OK, result.hr);
        EXPECT_EQ(0, result.value);
        return result;
    }

    BrowserSeen seen;
};

}  // namespace

// The folder D:\Photos of the selection item table: the folder, then Trip
// and everything below it, then the folder's own file.
TEST_F(FolderPicker, ReportsTheFolderThenItsSubfoldersThenItsFiles) {
    const std::wstring photos = DriveCScratch(L"Photos");
    MakeFolder(photos + L"\\Trip");
    MakeFile(photos + L"\\Trip\\a.jpg", 2048);
    MakeFile(photos + L"\\b.png", 10);
    SetRemembered(photos);
    Control control;
    Pick(control, nullptr);
    EXPECT_EQ(photos, seen.status) << "the browser opens with the remembered folder selected";
    const std::vector<Item> expected = {{photos, L"-1", L"-1"},
                                        {photos + L"\\Trip", L"-1", photos},
                                        {photos + L"\\Trip\\a.jpg", L"2048", photos},
                                        {photos + L"\\b.png", L"10", photos}};
    EXPECT_EQ(expected, control.events.items) << Describe(control.events.items);
    EXPECT_EQ(photos, Remembered());
}

// Doubled backslashes of the remembered text are collapsed before the
// browser sees it, and a path typed into the edit box is what gets picked.
// Wine gap: Wine's browser ignores its edit box on OK and returns the tree's
// selection.
TEST_F(FolderPicker, APathTypedIntoTheEditBoxIsPicked) {
    const std::wstring empty = DriveCScratch(L"empty");
    SetRemembered(L"C:\\\\windows");
    Control control;
    Pick(control, empty.c_str());
    EXPECT_EQ(L"C:\\windows", seen.status);
    ASSERT_FALSE(control.events.items.empty());
    const bool gap = EXPECT_WINE_GAP("the folder browser ignores its edit box on OK",
                                     control.events.items[0].path == empty);
    const std::wstring expectedPick = gap ? L"C:\\windows" : empty;
    EXPECT_EQ((Item{expectedPick, L"-1", L"-1"}), control.events.items[0]);
    EXPECT_EQ(expectedPick, Remembered());
}

TEST_F(FolderPicker, AnEmptyFolderIsOneEvent) {
    const std::wstring empty = DriveCScratch(L"empty");
    SetRemembered(empty);
    Control control;
    Pick(control, nullptr);
    EXPECT_EQ((std::vector<Item>{{empty, L"-1", L"-1"}}), control.events.items)
        << Describe(control.events.items);
}

TEST_F(FolderPicker, NoRememberedFolderOpensOnTheDesktop) {
    ForgetRemembered();
    Control control;
    Pick(control, nullptr, /*cancel=*/true);
    EXPECT_EQ(Desktop(), seen.status);
}

// A remembered drive root opens with C:\ selected; the root is reported as
// C:, its items carry C: as their mode, and the value keeps the backslash.
TEST_F(FolderPicker, ADriveRootIsReportedAsTheDriveLetterAndColon) {
    MakeFolder(L"C:\\zarn-root");
    MakeFile(L"C:\\zarn-root\\r.txt", 7);
    SetRemembered(L"C:\\");
    Control control;
    Pick(control, nullptr);
    EXPECT_EQ(L"C:\\", seen.status);
    const auto& items = control.events.items;
    ASSERT_GT(items.size(), 2u);
    EXPECT_EQ((Item{L"C:", L"-1", L"-1"}), items[0]);
    size_t wrongMode = 0, wrongPath = 0;
    for (size_t i = 1; i < items.size(); ++i) {
        wrongMode += items[i].mode != L"C:";
        wrongPath += items[i].path.rfind(L"C:\\", 0) != 0 || items[i].path.rfind(L"C:\\\\", 0) == 0;
    }
    EXPECT_EQ(0u, wrongMode);
    EXPECT_EQ(0u, wrongPath);
    EXPECT_NE(items.end(), std::find(items.begin(), items.end(),
                                     Item{L"C:\\zarn-root\\r.txt", L"7", L"C:"}));
    EXPECT_EQ(L"C:\\", Remembered());
}

// Hidden entries and what is below a hidden folder are not reported, nor
// are system files; a folder with only the system attribute is walked.
TEST_F(FolderPicker, HiddenEntriesAndSystemFilesAreSkipped) {
    const std::wstring root = DriveCScratch(L"attributes");
    MakeFolder(root + L"\\hidden");
    MakeFile(root + L"\\hidden\\inside.txt", 1);
    MakeFolder(root + L"\\system");
    MakeFile(root + L"\\system\\seen.txt", 2);
    MakeFile(root + L"\\hidden.txt", 3);
    MakeFile(root + L"\\system.txt", 4);
    MakeFile(root + L"\\plain.txt", 5);
    ASSERT_TRUE(::SetFileAttributesW((root + L"\\hidden").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(::SetFileAttributesW((root + L"\\system").c_str(), FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(::SetFileAttributesW((root + L"\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(::SetFileAttributesW((root + L"\\system.txt").c_str(), FILE_ATTRIBUTE_SYSTEM));
    ASSERT_EQ(FILE_ATTRIBUTE_SYSTEM,
              ::GetFileAttributesW((root + L"\\system.txt").c_str()) & FILE_ATTRIBUTE_SYSTEM)
        << "this file system keeps no DOS attributes";
    SetRemembered(root);
    Control control;
    Pick(control, nullptr);
    const std::vector<Item> expected = {{root, L"-1", L"-1"},
                                        {root + L"\\system", L"-1", root},
                                        {root + L"\\system\\seen.txt", L"2", root},
                                        {root + L"\\plain.txt", L"5", root}};
    EXPECT_EQ(expected, control.events.items) << Describe(control.events.items);
}

TEST_F(FolderPicker, CancelReportsNothingAndKeepsTheValue) {
    SetRemembered(L"C:\\windows");
    Control control;
    Pick(control, nullptr, /*cancel=*/true);
    EXPECT_EQ(L"C:\\windows", seen.status);
    EXPECT_TRUE(control.events.items.empty()) << Describe(control.events.items);
    EXPECT_EQ(L"C:\\windows", Remembered());
}

// A remembered folder longer than 259 characters does not fit the
// browser's path buffer. Its first 259 characters name a real folder here:
// a truncated copy would open the browser there. It must open elsewhere.
TEST_F(FolderPicker, AnInitialFolderTooLongForTheBrowserIsNotTruncated) {
    std::wstring prefix = rig::ScratchDir(L"long");
    std::wstring folder = prefix;
    // Components of at most 100 characters, the last one ending the path at
    // 259; none may be left with no room (the 32-bit build's folder is two
    // characters shorter, and either may come to 258 on the way).
    while (folder.size() < 259) {
        const size_t room = 259 - folder.size() - 1;
        const size_t length = room > 100 ? (room == 101 ? 99 : 100) : room;
        folder += L"\\" + std::wstring(length, L'd');
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr) ||
                    ::GetLastError() == ERROR_ALREADY_EXISTS) << ::GetLastError();
    }
    ASSERT_EQ(259u, folder.size());
    SetRemembered(folder + std::wstring(41, L'z'));
    Control control;
    Pick(control, nullptr, /*cancel=*/true);
    EXPECT_NE(folder, seen.status);
    EXPECT_TRUE(control.events.items.empty());
}
