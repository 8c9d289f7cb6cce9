// MakeShortCut on a Korean system (code page 949): Zarn.url carries the
// double-byte form of Hangul in the temporary folder's path and the address.
#include "common/desktop.h"

namespace {

using namespace rig::desktop;

TEST(MakeShortCutKorean, UrlFileIsInTheDoubleByteCodePage) {
    ASSERT_EQ(949u, ::GetACP()) << "the suite's LC_ALL did not give the Korean code page";
    Control control;
    // 임시 ("temporary") is C0 D3 BD C3 in code page 949.
    const std::wstring parent = UseFreshTemporaryFolder(L"shortcut-ko");
    const std::wstring temp = parent + L"\uc784\uc2dc\\";
    ASSERT_TRUE(::CreateDirectoryW(temp.c_str(), nullptr)) << "error " << ::GetLastError();
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
    ::DeleteFileW(DesktopShortcut().c_str());

    // 한글 is C7 D1 B1 DB; the Thai letter has no form in code page 949.
    const wchar_t url[] = L"http://\ud55c\uae00.example/\u0e01";
    const CallResult call = control.Call(L"MakeShortCut", {url, L"0"});
    ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
    EXPECT_EQ(0, call.value);

    const std::string written = ReadBytes(temp + L"Zarn\\Zarn.url");
    EXPECT_EQ("[InternetShortcut]\r\nURL=http://\xc7\xd1\xb1\xdb.example/?\r\nIconIndex=0\r\n"
              "IconFile=" + rig::Utf8(parent) + "\xc0\xd3\xbd\xc3\\Zarn\\zarn1.ico",
              written);
    // Every byte of the conversion is written: four Hangul syllables, two bytes each.
    const std::wstring text = std::wstring(L"[InternetShortcut]\r\nURL=") + url +
                              L"\r\nIconIndex=0\r\nIconFile=" + temp + L"Zarn\\zarn1.ico";
    EXPECT_EQ(text.size() + 4, written.size());
}

}  // namespace
