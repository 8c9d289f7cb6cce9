// MakeShortCut under Wine: the icon from the update server stand-in, Zarn.url
// byte for byte, the desktop shortcut's decision table and its properties.
// Each test has a temporary folder of its own, so the Zarn folder starts missing.
#include "common/desktop.h"

#include "common/updateserver.h"

#include <optional>
#include <string>
#include <utility>

namespace {

using namespace rig::desktop;
using namespace std::string_literals;

const std::string kIconA = "\0\0\1\0icon-A"s, kIconB = "\0\0\1\0icon-B, longer"s;
using Setting = std::optional<std::pair<DWORD, std::string>>;
const Setting kAbsent;
Setting Dword(DWORD v) { return std::pair{REG_DWORD, std::string(reinterpret_cast<char*>(&v), 4)}; }

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << "error " << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                            nullptr));
    ASSERT_EQ(bytes.size(), written);
}

// A shell link to `target` saved at `path`, as another program saves one.
void SaveLink(const std::wstring& path, const wchar_t* target) {
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(&link)));
    ASSERT_EQ(S_OK, link.As(&file));
    // S_FALSE under Wine for a target that does not exist: set all the same.
    ASSERT_TRUE(SUCCEEDED(link->SetPath(target)));
    ASSERT_EQ(S_OK, file->Save(path.c_str(), TRUE));
}

// The raw target of the shell link at `path`; "(unreadable)" when the shell
// cannot read it.
std::wstring LinkTarget(const std::wstring& path) {
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    wchar_t text[MAX_PATH] = L"(unreadable)";
    if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_PPV_ARGS(&link))) &&
        SUCCEEDED(link.As(&file)) && SUCCEEDED(file->Load(path.c_str(), STGM_READ)))
        link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
    return text;
}

// The changes to a folder's names from its construction on, read through
// ReadDirectoryChangesW.
class DirectoryChanges {
public:
    explicit DirectoryChanges(HANDLE folder)
        : folder_(folder), event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        Arm();
    }
    ~DirectoryChanges() {
        if (armed_) {
            ::CancelIoEx(folder_, &overlapped_);
            DWORD bytes = 0;
            ::GetOverlappedResult(folder_, &overlapped_, &bytes, TRUE);
        }
    }
    // Appends (action, name) for every change until none has come for a
    // while (the last ones reach the folder's watch after the call).
    void Collect(std::vector<std::pair<DWORD, std::wstring>>& changes) {
        while (armed_ && ::WaitForSingleObject(event_.get(), 1000) == WAIT_OBJECT_0) {
            DWORD bytes = 0;
            armed_ = false;
            if (!::GetOverlappedResult(folder_, &overlapped_, &bytes, FALSE)) break;
            for (size_t at = 0; bytes > 0 && at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
                const auto* entry = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_ + at);
                changes.emplace_back(
                    entry->Action,
                    std::wstring(entry->FileName, entry->FileNameLength / sizeof(wchar_t)));
                if (entry->NextEntryOffset == 0) break;
                at += entry->NextEntryOffset;
            }
            Arm();
        }
    }

private:
    void Arm() {
        ::ResetEvent(event_.get());
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_.get();
        armed_ = ::ReadDirectoryChangesW(folder_, buffer_, sizeof(buffer_), FALSE,
                                         FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
                                             FILE_NOTIFY_CHANGE_LAST_WRITE,
                                         nullptr, &overlapped_, nullptr) != FALSE;
        EXPECT_TRUE(armed_) << "ReadDirectoryChangesW: error " << ::GetLastError();
    }

    HANDLE folder_;
    zfw::unique_handle event_;
    OVERLAPPED overlapped_{};
    alignas(DWORD) BYTE buffer_[64 * 1024];
    bool armed_ = false;
};

class MakeShortCutTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = UseFreshTemporaryFolder(L"shortcut") + L"Zarn\\";
        ::DeleteFileW(shortcut_.c_str());
        SetAddIcon(kAbsent);
        rig::updateserver::ClearFault(L"zarn1.ico");
        rig::updateserver::PutFile(L"zarn1.ico", kIconA);
    }
    void TearDown() override {
        ::DeleteFileW(shortcut_.c_str());
        SetAddIcon(kAbsent);
        rig::updateserver::ClearFault(L"zarn1.ico");
    }
    static void SetAddIcon(const Setting& s) {
        if (!s) ::RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Zarn", L"bAddIcon");
        else ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Zarn", L"bAddIcon", s->first,
                               s->second.data(), static_cast<DWORD>(s->second.size()));
    }
    // Calls MakeShortCut, which must return 0, after removing the files a
    // call is expected to write again.
    void Make(Arg url, Arg select) {
        ::DeleteFileW((folder_ + L"Zarn.url").c_str());
        ::DeleteFileW((folder_ + L"zarn1.ico").c_str());
        const CallResult call = control_.Call(L"MakeShortCut", {url, select});
        ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr << " " << rig::Utf8(call.description);
        EXPECT_EQ(0, call.value);
    }
    std::string UrlFile() const { return ReadBytes(folder_ + L"Zarn.url"); }
    // Zarn.url for an all-ASCII address, in the rig's ASCII-named folders.
    std::string Expected(const std::string& url) const {
        return "[InternetShortcut]\r\nURL=" + url + "\r\nIconIndex=0\r\nIconFile=" +
               rig::Utf8(folder_) + "zarn1.ico";
    }

    Control control_;
    std::wstring folder_, shortcut_ = DesktopShortcut();
};

TEST_F(MakeShortCutTest, OnlyAChoiceOfOneAsksForTheShortcut) {
    // 4294967297 wraps to 1 in 32 bits; it must not read as 1.
    const std::pair<Arg, bool> cases[] = {
        {L"1", true},   {L" 1", true},  {L"01", true},   {L"1abc", true}, {L"\t+1", true},
        {1, true},      {1.0, true},    {L"", false},    {L"0", false},   {L"-1", false},
        {L"2", false},  {L"yes", false}, {L"11", false}, {nullptr, false}, {L"4294967297", false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        Make(L"http://choice.example/", cases[i].first);
        EXPECT_EQ(cases[i].second, Exists(shortcut_));
        EXPECT_EQ(Expected("http://choice.example/"), UrlFile());
        EXPECT_EQ(kIconA, ReadBytes(folder_ + L"zarn1.ico"));
        ::DeleteFileW(shortcut_.c_str());
    }
}

TEST_F(MakeShortCutTest, AddIconMakesAMissingShortcutAndNothingReplacesOne) {
    const std::pair<Setting, bool> cases[] = {
        {kAbsent, false}, {Dword(0), false}, {Dword(7), true},
        {std::pair{REG_DWORD_BIG_ENDIAN, "\0\0\0\1"s}, true},  // taken as stored: nonzero
        {std::pair{REG_SZ, "1\0\0\0"s}, false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        SetAddIcon(cases[i].first);
        Make(L"http://setting.example/", L"0");
        EXPECT_EQ(cases[i].second, Exists(shortcut_));
        EXPECT_EQ(Expected("http://setting.example/"), UrlFile());
        ::DeleteFileW(shortcut_.c_str());
    }
    // A shortcut the shell reads (the user's own, leading elsewhere) is kept,
    // asked for or allowed, while Zarn.url follows the page so an existing
    // shortcut of ours opens the new address.
    SaveLink(shortcut_, L"C:\\users\\elsewhere.url");
    const std::string own = ReadBytes(shortcut_);
    ASSERT_FALSE(own.empty());
    Make(L"http://second.example/", L"1");
    Make(L"http://third.example/", L"0");
    EXPECT_EQ(own, ReadBytes(shortcut_));
    EXPECT_EQ(Expected("http://third.example/"), UrlFile());
}

TEST_F(MakeShortCutTest, AShortcutTheShellCannotReadIsWrittenAgain) {
    // A process ended while an older save wrote the link left it empty; the
    // next call saw a shortcut there and left it broken. It is written again
    // when a shortcut is asked for or allowed, and only then.
    SaveLink(shortcut_, L"C:\\x.url");
    const std::string whole = ReadBytes(shortcut_);
    ASSERT_GT(whole.size(), 20u);
    const std::pair<const char*, std::string> broken[] = {
        {"empty", ""}, {"not a link", std::string(200, 'z')}, {"cut short", whole.substr(0, 20)}};
    const std::pair<Setting, Arg> asked[] = {{kAbsent, L"1"}, {Dword(1), L"0"}};
    for (const auto& [what, bytes] : broken) {
        for (const auto& [setting, choice] : asked) {
            SCOPED_TRACE(std::string(what) + (setting ? ", allowed" : ", asked for"));
            WriteBytes(shortcut_, bytes);
            SetAddIcon(setting);
            Make(L"http://again.example/", choice);
            EXPECT_EQ(folder_ + L"Zarn.url", LinkTarget(shortcut_)) << "not written again";
        }
        SCOPED_TRACE(std::string(what) + ", neither asked for nor allowed");
        WriteBytes(shortcut_, bytes);
        SetAddIcon(kAbsent);
        Make(L"http://again.example/", L"0");
        EXPECT_EQ(bytes, ReadBytes(shortcut_));
    }
}

TEST_F(MakeShortCutTest, TheShortcutArrivesAtItsPlaceWholeByARename) {
    // Whatever ends the process in the middle, the desktop never shows a
    // half-written Zarn.lnk: the link is written under another name and
    // renamed into place. The folder's changes say how the name came.
    const std::wstring desktop = shortcut_.substr(0, shortcut_.rfind(L'\\'));
    for (const bool replacing : {false, true}) {
        SCOPED_TRACE(replacing ? "over a broken one" : "a new one");
        if (replacing) WriteBytes(shortcut_, "");
        zfw::unique_file watch(::CreateFileW(
            desktop.c_str(), FILE_LIST_DIRECTORY,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_TRUE(watch) << "error " << ::GetLastError();
        std::vector<std::pair<DWORD, std::wstring>> changes;
        DirectoryChanges changed(watch.get());
        Make(L"http://whole.example/", L"1");
        changed.Collect(changes);
        std::vector<DWORD> atPlace;
        for (const auto& [action, name] : changes)
            if (name == L"Zarn.lnk") atPlace.push_back(action);
        EXPECT_EQ(std::vector<DWORD>{FILE_ACTION_RENAMED_NEW_NAME}, atPlace)
            << "Zarn.lnk was written in place (1 added, 3 modified, 5 renamed into place)";
        EXPECT_EQ(folder_ + L"Zarn.url", LinkTarget(shortcut_));
        for (const auto& [action, name] : changes) {
            if (name != L"Zarn.lnk") {
                EXPECT_FALSE(Exists(desktop + L"\\" + name)) << rig::Utf8(name);
            }
        }
        ::DeleteFileW(shortcut_.c_str());
    }
}

TEST_F(MakeShortCutTest, ShortcutReadsBackThroughTheShell) {
    // Wine reports Windows 6.1 and refuses the elevation moniker, so this
    // shortcut is made by the in-process fallback. (Windows refuses it too,
    // the shell link not being elevation-enabled.)
    BIND_OPTS3 options{};
    options.cbStruct = sizeof(options);
    options.dwClassContext = CLSCTX_LOCAL_SERVER;
    ComPtr<IShellLinkW> elevated;
    const wchar_t* moniker = L"Elevation:Administrator!new:{00021401-0000-0000-C000-000000000046}";
    EXPECT_TRUE(FAILED(::CoGetObject(moniker, &options, IID_PPV_ARGS(&elevated))))
        << "the elevation moniker made a shell link: the in-process fallback is not shown here";

    Make(L"http://site.example/", L"1");
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(&link)));
    ASSERT_EQ(S_OK, link.As(&file));
    ASSERT_EQ(S_OK, file->Load(shortcut_.c_str(), STGM_READ));
    wchar_t text[MAX_PATH] = L"sentinel";
    EXPECT_EQ(S_OK, link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH));
    EXPECT_EQ(folder_ + L"Zarn.url", text);
    EXPECT_EQ(S_OK, link->GetDescription(text, MAX_PATH));
    EXPECT_STREQ(L"Zarn", text);
    int index = 0x7eadbeef;
    EXPECT_EQ(S_OK, link->GetIconLocation(text, MAX_PATH, &index));
    EXPECT_EQ(folder_ + L"zarn1.ico", text);
    EXPECT_EQ(0, index);
}

TEST_F(MakeShortCutTest, UrlFileHoldsTheAddressAsGivenInTheCodePage) {
    ASSERT_EQ(1252u, ::GetACP()) << "the rig's default prefix is Western";
    // é is E9 in code page 1252; the Thai letter and the Hangul syllable are
    // not in it and become the default character.
    Make(L"http://c.example/\u00e9\u0e01\uac00", L"0");
    EXPECT_EQ(Expected("http://c.example/\xe9??"), UrlFile());
}

TEST_F(MakeShortCutTest, AddressWithAControlCharacterIsRefusedAndNothingIsWritten) {
    // No lock here: the control refuses as the lock does, before the icon is
    // fetched or a file or folder is made, though a shortcut was asked for
    // and the settings allow one.
    SetAddIcon(Dword(1));
    const size_t icons = rig::updateserver::RequestsTagged(L"zarn1.ico").size();
    for (const wchar_t* address :
         {L"http://allowed/\r\nIconFile=\\\\host\\share\\x.ico", L"http://allowed/\tx",
          L"http://allowed/\x7f", L"\nhttp://allowed/"}) {
        const CallResult call = control_.Call(L"MakeShortCut", {address, L"1"});
        EXPECT_EQ(DISP_E_EXCEPTION, call.hr) << std::hex << call.hr;
        EXPECT_EQ(E_ACCESSDENIED, call.scode) << std::hex << call.scode;
        EXPECT_NE(std::wstring::npos, call.description.find(L"control characters"))
            << rig::Utf8(call.description);
    }
    EXPECT_FALSE(Exists(folder_)) << "no Zarn folder, so no Zarn.url and no icon";
    EXPECT_FALSE(Exists(shortcut_));
    EXPECT_EQ(icons, rig::updateserver::RequestsTagged(L"zarn1.ico").size());
    Make(L"http://allowed/~ok", L"1");  // the next clean address is made as ever
    EXPECT_EQ(Expected("http://allowed/~ok"), UrlFile());
}

TEST_F(MakeShortCutTest, IconIsFetchedEveryTimeAndItsFailureIsIgnored) {
    Make(L"http://icon.example/", L"0");
    rig::updateserver::PutFile(L"zarn1.ico", kIconB);
    Make(L"http://icon.example/", L"0");
    EXPECT_EQ(kIconB, ReadBytes(folder_ + L"zarn1.ico"));

    rig::updateserver::SetFault(L"zarn1.ico", "reset");  // the server hangs up
    Make(L"http://down.example/", L"1");
    EXPECT_EQ(Expected("http://down.example/"), UrlFile());
    EXPECT_TRUE(Exists(shortcut_));
}

TEST_F(MakeShortCutTest, FolderOrFileThatCannotBeMadeFailsTheCall) {
    // A folder where Zarn.url belongs: the file cannot be opened.
    ASSERT_TRUE(::CreateDirectoryW(folder_.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((folder_ + L"Zarn.url").c_str(), nullptr));
    CallResult call = control_.Call(L"MakeShortCut", {L"http://x.example/", L"1"});
    EXPECT_EQ(DISP_E_EXCEPTION, call.hr) << std::hex << call.hr;
    EXPECT_NE(std::wstring::npos, call.description.find(L"Zarn.url")) << rig::Utf8(call.description);
    EXPECT_EQ(std::wstring::npos, call.description.find(L"scratch")) << "the page learns a path";

    // A file where the Zarn folder belongs: the folder cannot be made.
    ASSERT_TRUE(::RemoveDirectoryW((folder_ + L"Zarn.url").c_str()));
    ::DeleteFileW((folder_ + L"zarn1.ico").c_str());
    const std::wstring zarn = folder_.substr(0, folder_.size() - 1);
    ASSERT_TRUE(::RemoveDirectoryW(zarn.c_str()));
    zfw::unique_file(::CreateFileW(zarn.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    call = control_.Call(L"MakeShortCut", {L"http://x.example/", L"1"});
    EXPECT_EQ(DISP_E_EXCEPTION, call.hr) << std::hex << call.hr;
    // The bridge host answers a page with this text too.
    EXPECT_EQ(L"Cannot create the shortcut folder (error 183).", call.description)
        << rig::Utf8(call.description);
    EXPECT_FALSE(Exists(shortcut_)) << "no desktop shortcut after a failed call";
}

TEST_F(MakeShortCutTest, PageScriptNumberOneAsksForTheShortcut) {
    // The page host inherits TMP, so it uses this test's folder.
    const rig::ProcessResult page = rig::RunPage(rig::WriteScratchFile(
        L"shortcut.js", "host.print('returned ' + ctl.MakeShortCut('http://page.example/', 1));"));
    EXPECT_NE(std::string::npos, page.output.find("returned 0")) << page.output;
    EXPECT_TRUE(Exists(shortcut_));
    EXPECT_EQ(Expected("http://page.example/"), UrlFile());
}

}  // namespace
