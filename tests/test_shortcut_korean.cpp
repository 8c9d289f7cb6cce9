// MakeShortCut on a Korean system (code page 949): Zarn.url carries the
// double-byte form of Hangul in the temporary folder's path and the address.
#include "test_shortcut_rig.h"

#include <string>

namespace {

using namespace shortcut_rig;

TEST(MakeShortCutKorean, UrlFileIsInTheDoubleByteCodePage) {
    ASSERT_EQ(949u, ::GetACP()) << "the suite's LC_ALL did not give the Korean code page";
    ComScope com;
    // 임시 ("temporary") is C0 D3 BD C3 in code page 949.
    const std::wstring temp = FreshFolder(L"shortcut-ko") + L"\uc784\uc2dc\\";
    ASSERT_TRUE(::CreateDirectoryW(temp.c_str(), nullptr)) << "error " << ::GetLastError();
    SetTemporaryFolder(temp);
    const std::wstring shortcut = DesktopShortcut();
    ::DeleteFileW(shortcut.c_str());

    Control control;
    // 한글 is C7 D1 B1 DB; the Thai letter has no form in code page 949.
    const CallResult call = control.MakeShortCut(L"http://\ud55c\uae00.example/\u0e01", L"0");
    ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
    EXPECT_EQ(0, call.value);

    const std::string tempBytes =
        rig::Utf8(temp.substr(0, temp.size() - 3)) + "\xc0\xd3\xbd\xc3\\";
    const std::string expected = "[InternetShortcut]\r\nURL=http://\xc7\xd1\xb1\xdb.example/?"
                                 "\r\nIconIndex=0\r\nIconFile=" +
                                 tempBytes + "Zarn\\zarn1.ico";
    const std::wstring urlPath = temp + L"Zarn\\Zarn.url";
    const std::string written = ReadBytes(urlPath);
    EXPECT_EQ(expected, written);
    // Every byte of the converted text is written, not one per character.
    const std::wstring text = L"[InternetShortcut]\r\nURL=http://\ud55c\uae00.example/\u0e01"
                              L"\r\nIconIndex=0\r\nIconFile=" +
                              temp + L"Zarn\\zarn1.ico";
    EXPECT_EQ(text.size() + 4, written.size()) << "four Hangul syllables, two bytes each";
    EXPECT_FALSE(Exists(shortcut));
}

}  // namespace
