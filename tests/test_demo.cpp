// The demo page (tools/pagehost/demo.js) as scripts/demo shows it: this
// suite runs inside scripts/demo-setup (see test_demo.cmake), which prepares
// the prefix and answers the folder browser. The page runs once; each test
// checks one part of what it did.
#include "common/transfer.h"
#include "settings/build_settings.h"

#include <shlobj.h>

using namespace rig::transfer;

namespace {

// The page's address: the root of the service's own site, the update server.
const std::wstring kSite = std::wstring(zarn::settings::kUpdateServer) + L"/";
std::string SiteHost() {
    std::string host = rig::Utf8(kSite.substr(kSite.find(L"://") + 3));
    return host.substr(0, host.find_first_of(":/"));
}

// The folder that scripts/demo-setup makes and remembers for the browser.
const std::wstring kPhotos = L"C:\\\uC0AC\uC9C4";
const std::wstring kTrip = kPhotos + L"\\\uC5EC\uD589";
const std::wstring kSea = kTrip + L"\\\uBC14\uB2E4.jpg";
const std::wstring kMemo = kPhotos + L"\\\uBA54\uBAA8.txt";

// The page's item list, "/내 문서/보고서.hwp|20480|/사진/여름.jpg|512000",
// in code page 949 with its terminator.
const std::string kList949 =
    "2fb3bb20b9aebcad2fbab8b0edbcad2e6877707c32303438307c2fbbe7c1f82fbfa9b8a72e6a70677c3531323030"
    "3000";

std::wstring Env(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? value : L"";
}

std::wstring Desktop() {
    wchar_t path[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, path, CSIDL_DESKTOP, FALSE);
    return path;
}

std::wstring ShortcutFolder() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"Zarn\\";
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return "<missing>";
    return std::to_string((ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// The page's output lines from the line `first` up to the next empty line.
std::vector<std::string> Block(const std::vector<std::string>& lines, const std::string& first) {
    auto at = std::find(lines.begin(), lines.end(), first);
    std::vector<std::string> block;
    for (; at != lines.end() && !at->empty(); ++at) block.push_back(*at);
    return block;
}

std::vector<std::string> Event(const std::wstring& path, const std::string& size,
                               const std::wstring& mode) {
    return {"  UpSelectComplete", "    path: " + rig::Utf8(path), "    size: " + size,
            "    mode: " + rig::Utf8(mode)};
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class DemoPage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(L"C:\\demo-received.txt", Env(L"ZARN_TRANSFER_RECORD"))
            << "run through scripts/demo-setup";
        // What the page reports as made must be made by this run.
        ::DeleteFileW((Desktop() + L"\\Zarn.lnk").c_str());
        for (const wchar_t* name : {L"Zarn.url", L"zarn1.ico"})
            ::DeleteFileW((ShortcutFolder() + name).c_str());

        // As scripts/demo runs it: a browser at the service's own address.
        page = rig::Run(L"\"" + rig::BuildDir() + L"\\pagehost.exe\" --url " + kSite + L" \"" +
                            rig::SourceDir() + L"\\tools\\pagehost\\demo.js\"",
                        200000);
        std::printf("The demo page printed:\n%s\n", page.output.c_str());
        lines = rig::Lines(page.output);
        record = ReadRecord(Env(L"ZARN_TRANSFER_RECORD"));
    }

    static void TearDownTestSuite() {
        EndStarted(record);
        // Leave the prefix as a machine without the transfer programs, as
        // the other suites expect to find it.
        for (const wchar_t* name : {L"Zarn_download.exe", L"Zarn_upload.exe"})
            ::DeleteFileW((InstallFolder() + name).c_str());
        ::RemoveDirectoryW(InstallFolder().c_str());
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Zarn");
    }

    static inline rig::ProcessResult page;
    static inline std::vector<std::string> lines;
    static inline std::vector<RecordLine> record;
};

TEST_F(DemoPage, EndsByItselfAfterEveryStep) {
    ASSERT_FALSE(page.timedOut) << "output so far:\n" << page.output;
    EXPECT_EQ(0u, page.exitCode) << page.output;
    size_t at = 0;
    for (const char* step : {"CheckInstall()", "SelectComplete(", "ShowDlgFolder()", "DownLoad(",
                             "UpLoad(", "MakeShortCut(", "AllowPopUp(", "End of the demo page."}) {
        const size_t found = page.output.find(std::string("\n") + step, at);
        EXPECT_NE(std::string::npos, found) << "missing, or out of order: " << step << "\n"
                                            << page.output;
        if (found != std::string::npos) at = found + 1;
    }
    EXPECT_EQ(std::string::npos, page.output.find("script error")) << page.output;
}

// SelectComplete's one event, then the folder browser's: the remembered
// folder itself, its subfolder followed by what is inside it, then its file;
// every size the file's own.
TEST_F(DemoPage, SelectionEventsArriveInOrder) {
    EXPECT_EQ(Joined(Concat({{"SelectComplete(\"C:\\\\Docs\\\\a.txt\", \"1234\", \"-1\")"},
                             Event(L"C:\\Docs\\a.txt", "1234", L"-1"),
                             {"  returned 0"}})),
              Joined(Block(lines, "SelectComplete(\"C:\\\\Docs\\\\a.txt\", \"1234\", \"-1\")")));
    EXPECT_EQ(Joined(Concat({{"ShowDlgFolder()"},
                             Event(kPhotos, "-1", L"-1"),
                             Event(kTrip, "-1", kPhotos),
                             Event(kSea, SizeOf(kSea), kPhotos),
                             Event(kMemo, SizeOf(kMemo), kPhotos),
                             {"  returned 0"}})),
              Joined(Block(lines, "ShowDlgFolder()")));
    EXPECT_EQ("2048", SizeOf(kSea));
    std::wstring remembered(MAX_PATH, L'\0');
    DWORD bytes = static_cast<DWORD>(remembered.size() * sizeof(wchar_t));
    ASSERT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_CURRENT_USER, L"Software\\Zarn", L"sWebControlPath",
                                            RRF_RT_REG_SZ, nullptr, remembered.data(), &bytes));
    remembered.resize(bytes / sizeof(wchar_t) - 1);
    EXPECT_EQ(kPhotos, remembered) << "the picked folder is remembered";
}

// DownLoad on a machine without the programs goes through the update dialog
// and the installer to the download program; UpLoad then finds the upload
// program the same installer put there. Each program is started once, with
// the user ID and password as its arguments, and gets the list once.
TEST_F(DemoPage, TransferProgramsGetTheUserAndTheList) {
    for (const std::string program : {"download", "upload"}) {
        SCOPED_TRACE(program);
        const auto starts = Select(record, program, "start");
        ASSERT_EQ(1u, starts.size()) << "starts recorded";
        const auto args = Select(record, program, "arg");
        ASSERT_EQ(3u, args.size());
        EXPECT_EQ("1 zarnuser", args[1].rest);
        EXPECT_EQ("2 pa55word", args[2].rest);
        const auto lists = Select(record, program, "list");
        ASSERT_EQ(1u, lists.size());
        EXPECT_EQ("48", lists[0].fields.at("cbData"));
        EXPECT_EQ(kList949, lists[0].fields.at("bytes"));
        EXPECT_NE(std::string::npos,
                  page.output.find("  " + program + " program received a list of 48 bytes"))
            << page.output;
    }
    const std::wstring installed = InstallFolder();
    EXPECT_TRUE(Exists(installed + L"Zarn_download.exe")) << rig::Utf8(installed);
    EXPECT_TRUE(Exists(installed + L"Zarn_upload.exe")) << rig::Utf8(installed);
    const auto down = Block(lines, "DownLoad(\"zarnuser\", \"pa55word\", \"/\uB0B4 \uBB38\uC11C/"
                                   "\uBCF4\uACE0\uC11C.hwp|20480|/\uC0AC\uC9C4/\uC5EC\uB984.jpg|512000\")");
    ASSERT_FALSE(down.empty()) << page.output;
    EXPECT_EQ(0u, down.back().rfind("  the page saw: no result, after ", 0)) << down.back();
    const auto up = Block(lines, "UpLoad(\"zarnuser\", \"pa55word\", \"/\uB0B4 \uBB38\uC11C/"
                                 "\uBCF4\uACE0\uC11C.hwp|20480|/\uC0AC\uC9C4/\uC5EC\uB984.jpg|512000\")");
    ASSERT_FALSE(up.empty()) << page.output;
    EXPECT_EQ(0u, up.back().rfind("  the page saw: result 0, after ", 0)) << up.back();
}

TEST_F(DemoPage, ShortcutFilesAreMade) {
    const auto block = Block(lines, "MakeShortCut(\"" + rig::Utf8(kSite) + "\", \"1\")");
    ASSERT_GT(block.size(), 1u) << page.output;
    EXPECT_EQ("  returned 0", block[1]);
    EXPECT_TRUE(Exists(ShortcutFolder() + L"zarn1.ico")) << "the icon from the update server";
    EXPECT_TRUE(Exists(ShortcutFolder() + L"Zarn.url"));
    EXPECT_TRUE(Exists(Desktop() + L"\\Zarn.lnk"));
    EXPECT_EQ(std::string::npos, Joined(block).find("(missing)")) << Joined(block);
    const auto popup = Block(lines, "AllowPopUp(\"" + SiteHost() + "\")");
    ASSERT_GT(popup.size(), 1u) << page.output;
    EXPECT_EQ("  returned 0", popup[1]);
    ASSERT_GT(popup.size(), 2u) << page.output;
    EXPECT_EQ("  HKCU\\Software\\Microsoft\\Internet Explorer\\New Windows\\Allow\\" +
                  SiteHost() + " = 0",
              popup[2]);
}

TEST_F(DemoPage, AShortcutToAnotherSiteIsRefused) {
    const auto block = Block(lines, "MakeShortCut(\"http://elsewhere.example/\", \"1\")");
    ASSERT_GT(block.size(), 1u) << page.output;
    EXPECT_EQ("  refused: A shortcut may only lead to the service's own site, not to "
              "\"http://elsewhere.example/\".",
              block[1]);
}

}  // namespace
