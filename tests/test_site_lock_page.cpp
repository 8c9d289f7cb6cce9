// The site lock through the real module in the page host acting as a browser
// (--url): an allowed page scripts the control as before, a page elsewhere
// cannot create it, and a page that navigates away, or a host that scripts
// the control after it refused, is refused by every method without any
// effect.
#include "common/desktop.h"
#include "common/transfer.h"
#include "settings/build_settings.h"

#include <algorithm>

#include "common/updateserver.h"

namespace {

namespace server = rig::updateserver;
using rig::transfer::ReadRecord;
using rig::transfer::Select;
using Lines = std::vector<std::string>;

constexpr wchar_t kSettings[] = L"Software\\Zarn";
constexpr wchar_t kNewWindows[] = L"Software\\Microsoft\\Internet Explorer\\New Windows";
constexpr wchar_t kAllow[] = L"Software\\Microsoft\\Internet Explorer\\New Windows\\Allow";

// `script` is a path under the source tree, or (absolute) a scratch file.
rig::ProcessResult RunPageAt(const std::wstring& url, const std::wstring& script,
                             const std::vector<std::wstring>& args = {},
                             const wchar_t* options = L"") {
    const std::wstring path = script.find(L':') == std::wstring::npos
                                  ? rig::SourceDir() + L"\\" + script
                                  : script;
    std::wstring line = L"\"" + rig::BuildDir() + L"\\pagehost.exe\" --hidden " + options +
                        L" --url \"" + url + L"\" \"" + path + L"\"";
    for (const auto& arg : args) line += L" \"" + arg + L"\"";
    // A dialog the lock failed to stop would hold the page: the limit ends it.
    return rig::Run(line, 90000);
}

bool HasValue(const wchar_t* key, const wchar_t* name) {
    return ::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

DWORD Dword(const wchar_t* key, const wchar_t* name) {
    DWORD value = 0xdeadbeef, size = sizeof(value);
    ::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

size_t Requests(std::wstring_view path) { return server::RequestsTagged(path).size(); }

class SiteLockPage : public rig::transfer::TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kNewWindows);
        zfw::unique_hkey allow;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyW(HKEY_CURRENT_USER, kAllow, allow.put()));
        temp_ = rig::desktop::UseFreshTemporaryFolder(L"sitelock");
        ::DeleteFileW(rig::desktop::DesktopShortcut().c_str());
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kNewWindows);
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettings, L"Isinstall");
        ::DeleteFileW(rig::desktop::DesktopShortcut().c_str());
        TransferTest::TearDown();
    }
    // Everything a method would touch is made ready to show it: a pending
    // install report, both transfer programs waiting for a list, the
    // browser's pop-up list, and a fresh temporary folder for the shortcut
    // files.
    void ReadyEverything() {
        const DWORD pending = 1;
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CURRENT_USER, kSettings, L"Isinstall",
                                                   REG_DWORD, &pending, sizeof(pending)));
        StartRunning(L"Zarn_download.exe", L"Zarn_class_down");
        StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");
        icons_ = Requests(L"zarn1.ico");
        reports_ = Requests(L"install_statistic");
    }
    // No install report, and neither transfer program was given a list.
    void ExpectNoTransferOrReport() {
        EXPECT_EQ(reports_, Requests(L"install_statistic"));
        EXPECT_EQ(1u, Dword(kSettings, L"Isinstall")) << "the refused calls kept the pending report";
        const auto record = ReadRecord(record_);
        EXPECT_EQ(2u, Select(record, "download", "start").size() +
                          Select(record, "upload", "start").size());
        EXPECT_TRUE(Select(record, "download", "list").empty());
        EXPECT_TRUE(Select(record, "upload", "list").empty());
    }
    std::wstring temp_;
    size_t icons_ = 0, reports_ = 0;
};

TEST_F(SiteLockPage, NavigatedAwayPageIsRefusedByEveryMethodWithoutEffect) {
    ReadyEverything();

    const std::wstring base = zarn::settings::kUpdateServer;
    const rig::ProcessResult page =
        RunPageAt(base + L"/service/upload.html", L"tests\\pages\\site_lock.js",
                  {base, L"http://evil.test/frame.html"});
    ASSERT_FALSE(page.timedOut) << page.output;
    EXPECT_EQ(0u, page.exitCode) << page.output;

    const std::string elsewhere = "refused The control may not be scripted from http://evil.test/frame.html.";
    const Lines expected = {
        "at " + rig::Utf8(base) + "/service/upload.html",
        "event on the allowed page",
        "SelectComplete: ran 0",
        "AllowPopUp: ran 0",
        "MakeShortCut: ran 0",
        "AllowPopUp elsewhere: refused Pop-ups may only be allowed for the service's own site, "
        "not for \"evil.test\".",
        "MakeShortCut elsewhere: refused A shortcut may only lead to the service's own site, not "
        "to \"http://evil.test/\".",
        "MakeShortCut with a line break: refused A shortcut address may not contain line breaks "
        "or other control characters.",
        "at http://evil.test/frame.html",
        "CheckInstall: " + elsewhere,
        "DownLoad: " + elsewhere,
        "AllowPopUp: " + elsewhere,
        "MakeShortCut: " + elsewhere,
        "SelectComplete: " + elsewhere,
        "ShowDlgFile: " + elsewhere,
        "ShowDlgFolder: " + elsewhere,
        "UpLoad: " + elsewhere,
        "event back again",
        "SelectComplete: ran 0",
    };
    EXPECT_EQ(expected, rig::Lines(page.output));

    // Only the calls on the allowed page left anything behind.
    EXPECT_EQ(0u, Dword(kAllow, L"127.0.0.1"));
    EXPECT_FALSE(HasValue(kAllow, L"127.0.0.1."));
    EXPECT_FALSE(HasValue(kAllow, L"evil.test"));
    const std::string url = rig::desktop::ReadBytes(temp_ + L"Zarn\\Zarn.url");
    EXPECT_NE(std::string::npos, url.find("URL=" + rig::Utf8(base) + "/first\r\n")) << url;
    EXPECT_EQ(std::string::npos, url.find("evil.test")) << url;
    EXPECT_TRUE(rig::desktop::Exists(rig::desktop::DesktopShortcut()));
    EXPECT_EQ(icons_ + 1, Requests(L"zarn1.ico")) << "only the allowed shortcut fetched the icon";
    ExpectNoTransferOrReport();
}

TEST_F(SiteLockPage, HostThatScriptsTheControlAfterItRefusedIsRefusedByEveryMethod) {
    ReadyEverything();
    const std::wstring base = zarn::settings::kUpdateServer;
    // The port is part of the site: the update server's host on another port
    // is elsewhere.
    const std::wstring other = base.substr(0, base.rfind(L':')) + L":1/page.html";
    for (const std::wstring& url : {std::wstring(L"http://evil.test/"), other}) {
        const rig::ProcessResult page = RunPageAt(url, L"tests\\pages\\site_lock_everything.js",
                                                  {base}, L"--despite-refusal");
        ASSERT_FALSE(page.timedOut) << page.output;
        EXPECT_EQ(0u, page.exitCode) << page.output;
        const std::string refused = "refused The control may not be scripted from " +
                                    rig::Utf8(url) + ".";
        Lines expected = {
            "pagehost: the control refused to be scripted by the page at " + rig::Utf8(url),
            "at " + rig::Utf8(url)};
        for (const char* method : {"CheckInstall", "DownLoad", "AllowPopUp", "MakeShortCut",
                                   "SelectComplete", "ShowDlgFile", "ShowDlgFolder", "UpLoad"})
            expected.push_back(std::string(method) + ": " + refused);
        EXPECT_EQ(expected, rig::Lines(page.output));
    }
    EXPECT_FALSE(HasValue(kAllow, L"127.0.0.1"));
    EXPECT_FALSE(rig::desktop::Exists(temp_ + L"Zarn")) << "no shortcut files";
    EXPECT_FALSE(rig::desktop::Exists(rig::desktop::DesktopShortcut()));
    EXPECT_EQ(icons_, Requests(L"zarn1.ico"));
    ExpectNoTransferOrReport();
}

TEST_F(SiteLockPage, MethodsUseTheTextTheLockJudged) {
    // Objects whose text is an allowed address or host the first time it is
    // read, and something else after that.
    const std::wstring base = zarn::settings::kUpdateServer;
    const std::wstring script = rig::WriteScratchFile(
        L"judged_once.js",
        "function Turncoat(first, then) {\n"
        "  this.reads = 0;\n"
        "  this.toString = function () { return this.reads++ ? then : first; };\n"
        "}\n"
        "var address = new Turncoat(host.arg(0) + '/judged', 'http://evil.test/');\n"
        "var name = new Turncoat('127.0.0.1', 'evil.test');\n"
        "host.print('MakeShortCut ' + ctl.MakeShortCut(address, '0') + ' read ' + address.reads);\n"
        "host.print('AllowPopUp ' + ctl.AllowPopUp(name) + ' read ' + name.reads);\n");
    const rig::ProcessResult page = RunPageAt(base + L"/service/index.html", script, {base});
    ASSERT_FALSE(page.timedOut) << page.output;
    EXPECT_EQ(0u, page.exitCode) << page.output;
    EXPECT_EQ((Lines{"MakeShortCut 0 read 1", "AllowPopUp 0 read 1"}), rig::Lines(page.output));
    const std::string url = rig::desktop::ReadBytes(temp_ + L"Zarn\\Zarn.url");
    EXPECT_NE(std::string::npos, url.find("URL=" + rig::Utf8(base) + "/judged\r\n")) << url;
    EXPECT_EQ(std::string::npos, url.find("evil.test")) << url;
    EXPECT_EQ(0u, Dword(kAllow, L"127.0.0.1"));
    EXPECT_FALSE(HasValue(kAllow, L"evil.test"));
}

TEST_F(SiteLockPage, PagesElsewhereCannotCreateTheControl) {
    const std::wstring base = zarn::settings::kUpdateServer;
    const std::wstring server = base.substr(base.find(L"://") + 3);
    const std::vector<std::wstring> urls = {
        L"http://evil.test/",      L"http://127.0.0.1.evil.test/",  L"http://user@" + server + L"/",
        L"https://" + server + L"/", L"about:blank", L"file:///C:/users/page.html"};
    for (const std::wstring& url : urls) {
        const rig::ProcessResult page = RunPageAt(url, L"tests\\pages\\site_lock_refused.js");
        ASSERT_FALSE(page.timedOut) << page.output;
        EXPECT_EQ(0u, page.exitCode) << page.output;
        const Lines expected = {
            "pagehost: the control refused to be scripted by the page at " + rig::Utf8(url),
            "ctl: undefined",
            "ActiveXObject: refused",
            "at " + rig::Utf8(url),
        };
        EXPECT_EQ(expected, rig::Lines(page.output));
    }
}

TEST_F(SiteLockPage, HostsThatNeverAskKeepTheControlAsBefore) {
    // The page host without an address is the system's container on its own:
    // it asks nothing, and a control it creates by name is scripted as before.
    const std::wstring script = rig::WriteScratchFile(
        L"never_asks.js",
        "host.print(ctl.SelectComplete('a', '1', '-1'));\n"
        "host.print(new ActiveXObject('WEB_CONTROL.WebControlCtrl.1').AllowPopUp('evil.test'));\n"
        "host.print(typeof location);\n");
    const rig::ProcessResult page = rig::RunPage(script, {}, 90000);
    ASSERT_FALSE(page.timedOut) << page.output;
    EXPECT_EQ((Lines{"0", "0", "undefined"}), rig::Lines(page.output));
    EXPECT_EQ(0u, Dword(kAllow, L"evil.test"));
}

}  // namespace
