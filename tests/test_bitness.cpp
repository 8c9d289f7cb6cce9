// What differs between the 32-bit and the 64-bit module. Each build's suites
// run in a win64 prefix where only that build's module is registered: the
// 64-bit one natively, the 32-bit one through WoW64, where its classes live
// in the 32-bit registry view (Classes\WOW6432Node) and %ProgramFiles% is
// "Program Files (x86)". Every check here fails when a build looks in the
// other view or runs as the other architecture; the install folder is the
// one place where both builds must look alike.
#include <windows.h>
#include <ocidl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "common/rig.h"
#include "control/identity.h"
#include "support/install_folder.h"

using namespace zarn;

namespace {

constexpr bool k32Bit = sizeof(void*) == 4;

std::wstring ClsidText() {
    wchar_t text[64] = {};
    ::StringFromGUID2(CLSID_Web_Control, text, 64);
    return text;
}

// The default value of `path` under HKEY_LOCAL_MACHINE in the view `view`
// (KEY_WOW64_32KEY or KEY_WOW64_64KEY), or "<absent>".
std::wstring MachineValue(const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS)
        return L"<absent>";
    wchar_t data[MAX_PATH * 2] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    const LSTATUS status =
        ::RegGetValueW(key, nullptr, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                       nullptr, data, &size);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS ? data : L"<no default value>";
}

std::wstring Lower(std::wstring text) {
    ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring Server(REGSAM view) {
    return Lower(MachineValue(L"Software\\Classes\\CLSID\\" + ClsidText() + L"\\InprocServer32", view));
}

}  // namespace

// The suite runs as the build's architecture: a 32-bit process under WoW64,
// or a native 64-bit one.
TEST(Bitness, ProcessIsTheBuildsArchitecture) {
    BOOL wow64 = FALSE;
    ASSERT_TRUE(::IsWow64Process(::GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64 != FALSE, k32Bit);
    wchar_t system[MAX_PATH] = {};
    ::GetSystemWow64DirectoryW(system, MAX_PATH);
    EXPECT_EQ(Lower(system), L"c:\\windows\\syswow64") << "a win64 prefix has a 32-bit system folder";
}

// regsvr32 of the build's architecture wrote the class into its own view
// only: the 32-bit module under Classes\WOW6432Node, the 64-bit one under
// Classes, and each view names this build's module.
TEST(Bitness, ClassIsRegisteredInTheViewOfItsArchitectureOnly) {
    const std::wstring module = Lower(rig::ModulePath());
    const std::wstring own = Server(k32Bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    const std::wstring other = Server(k32Bit ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);
    EXPECT_EQ(own, module);
    EXPECT_EQ(other, L"<absent>") << "the other architecture's view holds the class";
    const std::wstring wow6432 = Lower(MachineValue(
        L"Software\\Classes\\WOW6432Node\\CLSID\\" + ClsidText() + L"\\InprocServer32",
        KEY_WOW64_64KEY));
    EXPECT_EQ(wow6432, k32Bit ? module : L"<absent>");

    // And the process's own view (HKEY_CLASSES_ROOT) is the one that has it.
    wchar_t data[MAX_PATH * 2] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    ASSERT_EQ(::RegGetValueW(HKEY_CLASSES_ROOT,
                             (L"CLSID\\" + ClsidText() + L"\\InprocServer32").c_str(), nullptr,
                             RRF_RT_REG_SZ, nullptr, data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(Lower(data), module);
}

// A script host of the build's architecture creates the control by its
// ProgID and calls it; one of the other architecture cannot, because the
// class is not in its view (and it could not load the module anyway).
TEST(Bitness, ScriptHostOfTheSameArchitectureCreatesTheControlAndTheOtherCannot) {
    const std::wstring script = rig::WriteScratchFile(
        L"bitness.js",
        "try {\n"
        "  var c = new ActiveXObject('WEB_CONTROL.WebControlCtrl.1');\n"
        "  WScript.Echo('created ' + c.SelectComplete('a', 'b', 'c'));\n"
        "} catch (e) { WScript.Echo('refused ' + (e.number >>> 0).toString(16)); }\n");
    const std::wstring same = k32Bit ? L"C:\\windows\\syswow64" : L"C:\\windows\\system32";
    // A 32-bit process names the 64-bit system folder through sysnative.
    const std::wstring other = k32Bit ? L"C:\\windows\\sysnative" : L"C:\\windows\\syswow64";
    const auto run = [&](const std::wstring& folder) {
        return rig::Run(L"\"" + folder + L"\\cscript.exe\" //nologo \"" + script + L"\"", 60000);
    };
    const rig::ProcessResult ours = run(same);
    EXPECT_EQ(ours.output, "created 0\r\n") << "exit " << ours.exitCode;
    const rig::ProcessResult theirs = run(other);
    EXPECT_EQ(theirs.output.rfind("refused ", 0), 0u) << theirs.output;
}

// The install folder is where a 32-bit installer puts the programs: its
// %ProgramFiles%, asked of a 32-bit process, for the module of either
// architecture.
TEST(Bitness, InstallFolderIsTheOneOfA32BitInstaller) {
    const rig::ProcessResult installer =
        rig::Run(L"C:\\windows\\syswow64\\cmd.exe /c echo %ProgramFiles%", 60000);
    ASSERT_EQ(installer.exitCode, 0u) << installer.output;
    const std::string output = installer.output.substr(0, installer.output.find_first_of("\r\n"));
    EXPECT_EQ(output, "C:\\Program Files (x86)");
    EXPECT_EQ(Lower(ResolveInstallFolder()), Lower(rig::Wide(output) + L"\\Zarn\\"));
}

// Structures whose size the module passes in cbSize-like fields: the sizes
// the 32-bit build must pass (60 and 36 bytes) and the 64-bit ones.
TEST(Bitness, StructureSizesAreThoseOfTheArchitecture) {
    EXPECT_EQ(sizeof(SHELLEXECUTEINFOW), k32Bit ? 60u : 112u);
    EXPECT_EQ(sizeof(BIND_OPTS3), k32Bit ? 36u : 48u);
    EXPECT_EQ(sizeof(COPYDATASTRUCT), k32Bit ? 12u : 24u);
    EXPECT_EQ(sizeof(LONG_PTR), sizeof(void*)) << "SetWindowLongPtr keeps a whole pointer";
}
