// Where the control looks for the transfer programs, and the version test
// that picks "runas" or "Open": the real routines, on the real prefix, and
// on Windows 5.x through Wine's per-program version setting.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "common/com_helpers.h"
#include "common/rig.h"
#include "control/identity.h"
#include "support/install_folder.h"
#include "support/os_version.h"
#include "framework/handle.h"

using namespace zarn;

namespace {

TEST(InstallFolder, IsTheProgramFilesFolderWithZarnAndOneBackslash) {
    EXPECT_EQ(L"C:\\Program Files\\Zarn\\", InstallFolderFor(L"C:\\Program Files"));
    EXPECT_EQ(L"D:\\Apps\\x86\\Zarn\\", InstallFolderFor(L"D:/Apps/x86"));
    EXPECT_EQ(L"\\\\server\\share\\Zarn\\", InstallFolderFor(L"//server/share"));
    // No program-files folder to be had: the usual 32-bit one is assumed.
    EXPECT_EQ(sizeof(void*) == 8 ? L"C:\\Program Files (x86)\\Zarn\\" : L"C:\\Program Files\\Zarn\\",
              InstallFolderFor(L""));
}

// The 32-bit program-files folder, for a module of either architecture: a
// 64-bit prefix has it as "Program Files (x86)".
TEST(InstallFolder, ResolvesInThePrefixWithoutCreatingIt) {
    const std::wstring programFiles = L"C:\\Program Files (x86)";
    const std::wstring folder = ResolveInstallFolder();
    EXPECT_EQ(programFiles + L"\\Zarn\\", folder);

    // Creating the control must leave the folder as it was.
    const std::wstring probe = programFiles + L"\\Zarn";
    const bool existed = ::GetFileAttributesW(probe.c_str()) != INVALID_FILE_ATTRIBUTES;
    {
        rig::ComApartment apartment;
        Microsoft::WRL::ComPtr<IUnknown> control;
        ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_Web_Control, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_PPV_ARGS(&control)));
    }
    EXPECT_EQ(existed, ::GetFileAttributesW(probe.c_str()) != INVALID_FILE_ATTRIBUTES);
}

// The prefix's description, which every rig reads, is what the system
// answers inside the prefix: the Linux-side rigs' paths cannot drift from it.
TEST(InstallFolder, ThePrefixDescriptionIsWhatTheSystemAnswers) {
    EXPECT_EQ(rig::PrefixFolder("install") + L"\\", ResolveInstallFolder());
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(0u, ::GetTempPathW(static_cast<DWORD>(std::size(temp)), temp));
    EXPECT_EQ(0, ::lstrcmpiW((rig::PrefixFolder("temp") + L"\\").c_str(), temp))
        << rig::Utf8(temp);
    wchar_t desktop[MAX_PATH] = {};
    ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, desktop, CSIDL_DESKTOPDIRECTORY, FALSE));
    EXPECT_EQ(0, ::lstrcmpiW(rig::PrefixFolder("desktop").c_str(), desktop))
        << rig::Utf8(desktop);
}

TEST(OsVersion, IsVistaOrLaterOnTheDefaultPrefix) {
    // Wine reports Windows 7 (6.1) unless told otherwise.
    EXPECT_TRUE(IsVistaOrLater());
}

// Run in a child process of this executable that Wine reports as Windows XP.
TEST(OsVersionProbe, AnswersAsExpectedForThisProcess) {
    wchar_t expected[8] = {};
    if (!::GetEnvironmentVariableW(L"ZARN_EXPECT_VISTA", expected, 8))
        GTEST_SKIP() << "only run by OsVersion.IsFalseOnWindows5";
    EXPECT_EQ(expected[0] == L'1', IsVistaOrLater());
}

TEST(OsVersion, IsFalseOnWindows5) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring name = self;
    name = name.substr(name.find_last_of(L'\\') + 1);
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + name;
    {
        zfw::unique_hkey appKey;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0,
                                                   KEY_SET_VALUE, nullptr, appKey.put(), nullptr));
        const wchar_t version[] = L"winxp64";
        ::RegSetValueExW(appKey.get(), L"Version", 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(version), sizeof(version));
    }
    zfw::scope_exit removeKey([&] { ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str()); });
    ::SetEnvironmentVariableW(L"ZARN_EXPECT_VISTA", L"0");
    const rig::ProcessResult r =
        rig::Run(L"\"" + std::wstring(self) + L"\" --gtest_filter=OsVersionProbe.*", 60000);
    ::SetEnvironmentVariableW(L"ZARN_EXPECT_VISTA", nullptr);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("[  PASSED  ] 1 test")) << r.output;
}

}  // namespace
