// The update runs' own folders (ZarnSetup-<16 hex digits>), linked in: what
// the clean-up of earlier runs' folders and a run's own removal delete, and
// that neither ever follows a link, even one swapped in after the listing.
//
// Wine 8 makes no links itself (CreateSymbolicLinkW creates nothing), so the
// links are Unix links made from Linux (ln -s) in the prefix's drive C:, and
// each is first checked to show as Windows shows a link to a folder
// (FILE_ATTRIBUTE_REPARSE_POINT with FILE_ATTRIBUTE_DIRECTORY, 0x410).
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/release.h"
#include "common/rig.h"
#include "framework/handle.h"
#include "update/setup_folder.h"

namespace {

constexpr wchar_t kLeft[] = L"ZarnSetup-00112233aabbccdd";

DWORD Attributes(const std::wstring& path) {
    WIN32_FIND_DATAW found{};
    const zfw::unique_find search(::FindFirstFileW(path.c_str(), &found));
    return search ? found.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

bool Exists(const std::wstring& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

void WriteFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        attributes, nullptr));
    ASSERT_TRUE(file) << rig::Utf8(path) << ": error " << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), "zarn", 4, &written, nullptr));
}

// A folder of the test's own at the root of drive C: (`windows_`, ending in
// a backslash) and the same folder seen from Linux (`unix_`), with the
// folder a link leads to (`target_`, holding precious.txt).
class SetupFolders : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t prefix[1024] = {};
        const DWORD length = ::GetEnvironmentVariableW(L"WINEPREFIX", prefix, 1024);
        ASSERT_TRUE(length > 0 && length < 1024) << "WINEPREFIX is not set";
        const std::wstring name = L"zarn-setup-" + std::to_wstring(::GetCurrentProcessId()) +
                                  L"-" + std::to_wstring(::GetTickCount());
        windows_ = L"C:\\" + name + L"\\";
        unix_ = rig::Utf8(prefix) + "/drive_c/" + rig::Utf8(name) + "/";
        target_ = windows_ + L"target";
        ASSERT_TRUE(::CreateDirectoryW(windows_.c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(target_.c_str(), nullptr));
        WriteFile(target_ + L"\\precious.txt");
    }
    void TearDown() override { rig::release::RunLinux("rm -rf '" + unix_ + "'"); }

    // Runs `command` in the test's folder on Linux.
    void Linux(const std::string& command) {
        ASSERT_EQ(0, rig::release::RunLinux("cd '" + unix_ + "' && " + command)) << command;
    }
    // A Unix link `name` in the test's folder to the target folder, checked
    // to show as a link.
    void Link(const std::wstring& name) {
        Linux("ln -s target '" + rig::Utf8(name) + "'");
        ASSERT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY),
                  Attributes(windows_ + name))
            << "Wine does not show the link as a link: the rest proves nothing";
    }
    void ExpectTargetWhole() {
        EXPECT_TRUE(Exists(target_ + L"\\precious.txt")) << "a link was followed";
    }

    std::wstring windows_, target_;
    std::string unix_;
};

TEST_F(SetupFolders, EarlierRunsFoldersGoAndOthersStay) {
    const std::wstring left = windows_ + kLeft, kept = windows_ + L"ZarnSetup-ffeeddccbbaa9988",
                       alike = windows_ + L"ZarnSetup-00112233aabbccdg";
    for (const std::wstring& folder : {left, kept, alike}) {
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        WriteFile(folder + L"\\install.zip");
    }
    WriteFile(left + L"\\setup.exe", FILE_ATTRIBUTE_READONLY);
    zarn::RemoveLeftSetupFolders(windows_, kept);
    EXPECT_FALSE(Exists(left)) << "an earlier run's folder stayed";
    EXPECT_TRUE(Exists(kept + L"\\install.zip")) << "the calling run's folder went";
    EXPECT_TRUE(Exists(alike + L"\\install.zip")) << "a folder only named alike went";
}

TEST_F(SetupFolders, AFolderSwappedForALinkAfterTheListingIsNotFollowed) {
    const std::wstring left = windows_ + kLeft;
    ASSERT_TRUE(::CreateDirectoryW(left.c_str(), nullptr));
    WriteFile(left + L"\\install.zip");
    // Listed as a folder, then moved aside and a link put in its place.
    zarn::RemoveLeftSetupFolders(windows_, L"", [&] {
        Linux("mv '" + rig::Utf8(kLeft) + "' aside");
        Link(kLeft);
    });
    ExpectTargetWhole();
    EXPECT_TRUE(Exists(windows_ + L"aside\\install.zip")) << "the folder moved aside was emptied";
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY),
              Attributes(left))
        << "the link went";
}

TEST_F(SetupFolders, LinksListedAsSuchAreNeitherEnteredNorFollowed) {
    // A folder that is a link already when listed, and a folder holding a
    // link to a file beside a file of its own. Wine shows a link to a file
    // as a file and opens what it leads to: only the handle's path tells.
    const std::wstring inside = windows_ + L"ZarnSetup-0000000000000001";
    Link(L"ZarnSetup-0000000000000002");
    ASSERT_TRUE(::CreateDirectoryW(inside.c_str(), nullptr));
    WriteFile(inside + L"\\install.zip");
    Linux("ln -s ../target/precious.txt '" + rig::Utf8(inside.substr(windows_.size())) +
          "/setup.exe'");
    ASSERT_TRUE(Exists(inside + L"\\setup.exe"));
    zarn::RemoveLeftSetupFolders(windows_, L"");
    ExpectTargetWhole();
    EXPECT_TRUE(Exists(windows_ + L"ZarnSetup-0000000000000002")) << "the link went";
    EXPECT_FALSE(Exists(inside + L"\\install.zip")) << "the folder's own file stayed";
    EXPECT_TRUE(Exists(inside + L"\\setup.exe")) << "the link to a file went";
}

TEST_F(SetupFolders, ARunRemovesItsOwnFolderOnlyWhileItIsTheFolderMade) {
    std::wstring made;
    {
        std::optional<zarn::SetupFolder> folder = zarn::SetupFolder::Create(windows_);
        ASSERT_TRUE(folder);
        made = folder->Path();
        WriteFile(folder->File(L"install.zip"));
        WriteFile(folder->File(L"setup.exe"), FILE_ATTRIBUTE_READONLY);
    }
    EXPECT_FALSE(Exists(made)) << "the run's folder stayed";

    std::optional<zarn::SetupFolder> swapped = zarn::SetupFolder::Create(windows_);
    ASSERT_TRUE(swapped);
    WriteFile(swapped->File(L"install.zip"));
    const std::wstring name = swapped->Path().substr(windows_.size());
    Linux("mv '" + rig::Utf8(name) + "' aside");
    Link(name);
    swapped.reset();
    ExpectTargetWhole();
    EXPECT_TRUE(Exists(windows_ + L"aside\\install.zip"));
}

}  // namespace
