// MakeShortCut under Wine: the icon from the update server stand-in, the
// Internet-shortcut file byte for byte, the desktop shortcut's decision table
// and its properties read back through the shell. Each test gets its own
// temporary folder (through TMP), so the shortcut folder starts missing.
#include "test_shortcut_rig.h"

#include "common/updateserver.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace {

using namespace shortcut_rig;
using namespace std::string_literals;

constexpr char kIconA[] = "\0\0\1\0icon-A";
constexpr char kIconB[] = "\0\0\1\0icon-B, a little longer";

class MakeShortCutTest : public ::testing::Test {
protected:
    void SetUp() override {
        tempFolder_ = FreshFolder(L"shortcut");
        SetTemporaryFolder(tempFolder_);
        folder_ = tempFolder_ + L"Zarn\\";
        shortcut_ = DesktopShortcut();
        ::DeleteFileW(shortcut_.c_str());
        SetAddIcon(std::nullopt);
        rig::updateserver::ClearFault(L"zarn1.ico");
        rig::updateserver::PutFile(L"zarn1.ico", std::string_view(kIconA, sizeof(kIconA) - 1));
    }
    void TearDown() override {
        ::DeleteFileW(shortcut_.c_str());
        SetAddIcon(std::nullopt);
        rig::updateserver::ClearFault(L"zarn1.ico");
    }

    // Stores "bAddIcon" with `type` and `bytes`, or removes it.
    static void SetAddIcon(std::optional<std::pair<DWORD, std::string>> stored) {
        if (!stored) {
            ::RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Zarn", L"bAddIcon");
            return;
        }
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Zarn", L"bAddIcon",
                                    stored->first, stored->second.data(),
                                    static_cast<DWORD>(stored->second.size())));
    }
    static std::pair<DWORD, std::string> Dword(DWORD value) {
        return {REG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4)};
    }

    std::wstring UrlPath() const { return folder_ + L"Zarn.url"; }
    std::wstring IconPath() const { return folder_ + L"zarn1.ico"; }
    std::string UrlFile() const { return ReadBytes(UrlPath()); }
    // What Zarn.url must hold for `url` when every character is plain ASCII.
    std::string ExpectedUrlFile(const std::string& url) const {
        return "[InternetShortcut]\r\nURL=" + url + "\r\nIconIndex=0\r\nIconFile=" +
               rig::Utf8(IconPath());
    }

    ComScope com_;
    std::wstring tempFolder_, folder_, shortcut_;
};

TEST_F(MakeShortCutTest, TextsThatMeanOneAskForTheShortcut) {
    Control control;
    const std::pair<const char*, Arg> cases[] = {
        {"1", L"1"},       {"space 1", L" 1"},        {"01", L"01"},
        {"1abc", L"1abc"}, {"tab +1", L"\t\n+1"},     {"number 1", 1},
        {"double 1", 1.0}, {"1 then space", L"1 2"},
    };
    for (const auto& [label, select] : cases) {
        SCOPED_TRACE(label);
        const CallResult call = control.MakeShortCut(L"http://one.example/", select);
        ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
        EXPECT_EQ(0, call.value);
        EXPECT_TRUE(Exists(shortcut_)) << "no desktop shortcut";
        ::DeleteFileW(shortcut_.c_str());
    }
}

TEST_F(MakeShortCutTest, OtherTextsDoNotAskButStillWriteTheFiles) {
    Control control;
    // 4294967297 wraps to 1 in 32 bits; it must not read as 1.
    const std::pair<const char*, Arg> cases[] = {
        {"empty", L""},       {"0", L"0"},        {"-1", L"-1"},    {"2", L"2"},
        {"yes", L"yes"},      {"11", L"11"},      {"+-1", L"+-1"},  {"null", nullptr},
        {"number 0", 0},      {"wraps", L"4294967297"},             {"x1", L"x1"},
    };
    for (const auto& [label, select] : cases) {
        SCOPED_TRACE(label);
        ::DeleteFileW(UrlPath().c_str());
        ::DeleteFileW(IconPath().c_str());
        const CallResult call = control.MakeShortCut(L"http://other.example/", select);
        ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
        EXPECT_EQ(0, call.value);
        EXPECT_FALSE(Exists(shortcut_)) << "a desktop shortcut nobody asked for";
        EXPECT_EQ(ExpectedUrlFile("http://other.example/"), UrlFile());
        EXPECT_EQ(std::string(kIconA, sizeof(kIconA) - 1), ReadBytes(IconPath()));
    }
}

TEST_F(MakeShortCutTest, ShortcutReadsBackThroughTheShell) {
    // Wine reports Windows 6.1, so the link object is first asked for through
    // the elevation moniker, which Wine refuses (as Windows does for the
    // shell link, which is not elevation-enabled). The shortcut below exists
    // only through the in-process fallback; should the moniker ever start to
    // work here, this test no longer shows that fallback and must be revisited.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(::GetVersionExW(&version));
    ASSERT_GE(version.dwMajorVersion, 6u);
    BIND_OPTS3 options{};
    options.cbStruct = sizeof(options);
    options.dwClassContext = CLSCTX_LOCAL_SERVER;
    ComPtr<IShellLinkW> elevated;
    const HRESULT moniker = ::CoGetObject(
        L"Elevation:Administrator!new:{00021401-0000-0000-C000-000000000046}", &options,
        IID_PPV_ARGS(&elevated));
    EXPECT_TRUE(FAILED(moniker)) << "Wine gap closed? moniker gave 0x" << std::hex << moniker;

    Control control;
    ASSERT_EQ(S_OK, control.MakeShortCut(L"http://site.example/", L"1").hr);
    ASSERT_TRUE(Exists(shortcut_));

    ComPtr<IShellLinkW> link;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(&link)));
    ComPtr<IPersistFile> file;
    ASSERT_EQ(S_OK, link.As(&file));
    ASSERT_EQ(S_OK, file->Load(shortcut_.c_str(), STGM_READ));

    wchar_t text[MAX_PATH] = L"sentinel";
    EXPECT_EQ(S_OK, link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH));
    EXPECT_EQ(UrlPath(), text);
    wcscpy(text, L"sentinel");
    EXPECT_EQ(S_OK, link->GetDescription(text, MAX_PATH));
    EXPECT_STREQ(L"Zarn", text);
    int index = 0x7eadbeef;
    wcscpy(text, L"sentinel");
    EXPECT_EQ(S_OK, link->GetIconLocation(text, MAX_PATH, &index));
    EXPECT_EQ(IconPath(), text);
    EXPECT_EQ(0, index);
    wcscpy(text, L"sentinel");
    link->GetArguments(text, MAX_PATH);
    EXPECT_STREQ(L"", text) << "arguments are left unset";
}

TEST_F(MakeShortCutTest, ExistingShortcutIsKeptWhileTheUrlFileFollowsThePage) {
    Control control;
    ASSERT_EQ(S_OK, control.MakeShortCut(L"http://first.example/", L"1").hr);
    ASSERT_TRUE(Exists(shortcut_));
    // Whatever sits there is the user's: replace it with bytes of our own
    // and check that neither a repeated request nor the setting touches them.
    const std::string mine = "not a link, and not to be rewritten";
    {
        zfw::unique_file f(::CreateFileW(shortcut_.c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(f.get(), mine.data(), static_cast<DWORD>(mine.size()), &written,
                                nullptr));
    }
    ASSERT_EQ(S_OK, control.MakeShortCut(L"http://second.example/", L"1").hr);
    EXPECT_EQ(mine, ReadBytes(shortcut_));
    EXPECT_EQ(ExpectedUrlFile("http://second.example/"), UrlFile());

    SetAddIcon(Dword(1));
    ASSERT_EQ(S_OK, control.MakeShortCut(L"http://third.example/", L"0").hr);
    EXPECT_EQ(mine, ReadBytes(shortcut_));
    EXPECT_EQ(ExpectedUrlFile("http://third.example/"), UrlFile());
}

TEST_F(MakeShortCutTest, AddIconSettingMakesAMissingShortcutUnasked) {
    Control control;
    struct Case {
        const char* label;
        std::optional<std::pair<DWORD, std::string>> stored;
        bool created;
    };
    const Case cases[] = {
        {"absent", std::nullopt, false},
        {"0", Dword(0), false},
        {"1", Dword(1), true},
        {"7", Dword(7), true},
        // Taken as stored, without a byte swap: still nonzero.
        {"big-endian 1", std::pair<DWORD, std::string>{REG_DWORD_BIG_ENDIAN, "\0\0\0\1"s}, true},
        {"text 1", std::pair<DWORD, std::string>{REG_SZ, "1\0\0\0"s}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetAddIcon(c.stored);
        ::DeleteFileW(UrlPath().c_str());
        ::DeleteFileW(IconPath().c_str());
        const CallResult call = control.MakeShortCut(L"http://setting.example/", L"0");
        ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
        EXPECT_EQ(0, call.value);
        EXPECT_EQ(c.created, Exists(shortcut_));
        EXPECT_EQ(ExpectedUrlFile("http://setting.example/"), UrlFile());
        EXPECT_EQ(std::string(kIconA, sizeof(kIconA) - 1), ReadBytes(IconPath()));
        ::DeleteFileW(shortcut_.c_str());
    }
}

TEST_F(MakeShortCutTest, UrlFileHoldsTheAddressAsGiven) {
    // The rig's prefix runs with the Western code page; the Korean suite
    // covers a double-byte one.
    ASSERT_EQ(1252u, ::GetACP());
    Control control;
    ASSERT_EQ(S_OK, control.MakeShortCut(L"http://a.example/x?y=1&z=%20", L"0").hr);
    EXPECT_EQ(ExpectedUrlFile("http://a.example/x?y=1&z=%20"), UrlFile());

    // A line break in the address ends the URL line early; nothing escapes it.
    ASSERT_EQ(S_OK, control.MakeShortCut(L"http://b.example/\r\nIconIndex=5", L"0").hr);
    EXPECT_EQ(ExpectedUrlFile("http://b.example/\r\nIconIndex=5"), UrlFile());

    // é is in code page 1252 (one byte 0xE9); the Thai letter and the Hangul
    // syllable are not, and become the default character.
    ASSERT_EQ(S_OK, control.MakeShortCut(L"http://c.example/\u00e9\u0e01\uac00", L"0").hr);
    EXPECT_EQ(ExpectedUrlFile("http://c.example/\xe9??"), UrlFile());

    // An empty address still gives all four lines, and a second write of a
    // shorter text truncates the file.
    ASSERT_EQ(S_OK, control.MakeShortCut(L"", L"0").hr);
    EXPECT_EQ(ExpectedUrlFile(""), UrlFile());
}

TEST_F(MakeShortCutTest, IconIsFetchedAfreshAndItsFailureIsNotTheCallers) {
    Control control;
    ASSERT_EQ(S_OK, control.MakeShortCut(L"http://icon.example/", L"0").hr);
    EXPECT_EQ(std::string(kIconA, sizeof(kIconA) - 1), ReadBytes(IconPath()));

    rig::updateserver::PutFile(L"zarn1.ico", std::string_view(kIconB, sizeof(kIconB) - 1));
    ASSERT_EQ(S_OK, control.MakeShortCut(L"http://icon.example/", L"0").hr);
    EXPECT_EQ(std::string(kIconB, sizeof(kIconB) - 1), ReadBytes(IconPath()))
        << "the icon was not fetched again";

    // The server drops the connection (as if it were down) or has no icon.
    for (const char* fault : {"reset", "status 404", "status 500"}) {
        SCOPED_TRACE(fault);
        rig::updateserver::SetFault(L"zarn1.ico", fault);
        ::DeleteFileW(UrlPath().c_str());
        const CallResult call = control.MakeShortCut(L"http://down.example/", L"1");
        ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
        EXPECT_EQ(0, call.value);
        EXPECT_EQ(ExpectedUrlFile("http://down.example/"), UrlFile());
        EXPECT_TRUE(Exists(shortcut_));
        ::DeleteFileW(shortcut_.c_str());
    }
}

TEST_F(MakeShortCutTest, FolderOrFileThatCannotBeMadeFailsTheCall) {
    Control control;
    // The temporary folder itself is missing, so its Zarn folder cannot be made.
    SetTemporaryFolder(tempFolder_ + L"missing\\");
    CallResult call = control.MakeShortCut(L"http://x.example/", L"1");
    EXPECT_EQ(DISP_E_EXCEPTION, call.hr) << std::hex << call.hr;
    EXPECT_NE(std::wstring::npos, call.description.find(L"shortcut folder")) << rig::Utf8(call.description);
    EXPECT_FALSE(Exists(shortcut_)) << "no desktop shortcut after a failed call";

    // Zarn.url is taken by a folder, so the file cannot be opened.
    SetTemporaryFolder(tempFolder_);
    ASSERT_TRUE(::CreateDirectoryW(folder_.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(UrlPath().c_str(), nullptr));
    call = control.MakeShortCut(L"http://x.example/", L"1");
    EXPECT_EQ(DISP_E_EXCEPTION, call.hr) << std::hex << call.hr;
    EXPECT_NE(std::wstring::npos, call.description.find(L"Zarn.url")) << rig::Utf8(call.description);
    EXPECT_FALSE(Exists(shortcut_));

    // A file where the Zarn folder belongs.
    ASSERT_TRUE(::RemoveDirectoryW(UrlPath().c_str()));
    ::DeleteFileW(IconPath().c_str());
    ASSERT_TRUE(::RemoveDirectoryW(folder_.c_str()));
    const std::wstring asFile = tempFolder_ + L"Zarn";
    zfw::unique_file(::CreateFileW(asFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                                   nullptr));
    call = control.MakeShortCut(L"http://x.example/", L"1");
    EXPECT_EQ(DISP_E_EXCEPTION, call.hr) << std::hex << call.hr;
    EXPECT_FALSE(Exists(shortcut_));
}

TEST_F(MakeShortCutTest, PageScriptNumberAsksForTheShortcut) {
    // The page host inherits TMP, so it uses this test's shortcut folder.
    const std::wstring script = rig::WriteScratchFile(
        L"shortcut.js",
        "var r = ctl.MakeShortCut('http://page.example/', 1);\n"
        "host.print('returned ' + r);\n");
    const rig::ProcessResult page = rig::RunPage(script);
    ASSERT_FALSE(page.timedOut);
    EXPECT_EQ(0u, page.exitCode) << page.output;
    EXPECT_NE(std::string::npos, page.output.find("returned 0")) << page.output;
    EXPECT_TRUE(Exists(shortcut_));
    EXPECT_EQ(ExpectedUrlFile("http://page.example/"), UrlFile());
}

}  // namespace
