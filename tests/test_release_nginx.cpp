// A release made by tools/publish and served by nginx, installed on the road
// of the main job started from a page script; the same tree edited by hand
// after publishing is refused. nginx's access log is the server's record.
#include "common/dialog_watcher.h"
#include "common/release.h"
#include "common/rig.h"
#include "common/update.h"
#include "support/install_folder.h"
#include "framework/handle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

using namespace zarn;

namespace release = rig::release;

namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Zarn";
constexpr wchar_t kRefusedText[] = L"설치 파일을 확인하지 못했습니다!\n수동 설치를 권장합니다.";

std::wstring NginxDir() { return rig::BuildDir() + L"\\nginx"; }
std::wstring Published() { return NginxDir() + L"\\webroot\\append\\application"; }

std::optional<DWORD> Dword(const wchar_t* name) {
    DWORD value = 0xdeadbeef, size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, &value,
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

std::string Env(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? rig::Utf8(value) : std::string();
}

// "GET <target> <status>" of every request nginx logged.
std::vector<std::string> AccessLog() {
    std::vector<std::string> requests;
    for (const auto& line :
         rig::Lines(rig::ReadFileBytes(NginxDir() + L"\\access.log").value_or(""))) {
        const size_t open = line.find('"');
        const size_t close = line.find('"', open + 1);
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream request(line.substr(open + 1, close - open - 1));
        std::string method, target;
        request >> method >> target;
        std::istringstream rest(line.substr(close + 1));
        std::string status;
        rest >> status;
        requests.push_back(method + " " + target + " " + status);
    }
    return requests;
}

void Publish(const std::string& version, int number) {
    const std::wstring versionFile = rig::WriteScratchFile(L"version.ini", version);
    const std::string line = "python3 \"" + Env(L"ZARN_PUBLISH_TOOL") +
                             "\" release --key \"" + release::TrustedKey() + "\" --installer \"" +
                             release::UnixPath(rig::BuildDir() + L"\\Zarn_setup.exe") +
                             "\" --version-file \"" + release::UnixPath(versionFile) +
                             "\" --release " + std::to_string(number) + " --out \"" +
                             release::UnixPath(NginxDir() + L"\\webroot") + "\"";
    ASSERT_EQ(release::RunLinux(line), 0) << line;
}

// Answers the "알림" message boxes of any process (the page host's) with OK,
// once each is up, and keeps their texts.
class BoxAnswerer {
public:
    BoxAnswerer() {
        watcher_
            .On(L"알림",
                [this](HWND box) {
                    const auto statics = rig::StaticTexts(box);
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        texts_.push_back(statics.empty() ? std::wstring() : statics.back());
                    }
                    rig::Click(box, IDOK);
                },
                rig::Owner::AnyProcess)
            .Start();
    }
    std::vector<std::wstring> Stop() {
        watcher_.Stop();
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }

private:
    std::mutex mutex_;
    std::vector<std::wstring> texts_;
    rig::DialogWatcher watcher_;
};

struct Record {
    std::vector<std::string> lines;
    size_t Count(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& line : lines) n += line.rfind(prefix, 0) == 0;
        return n;
    }
};

class NginxRoad : public ::testing::Test {
protected:
    void SetUp() override {
        record_ = rig::ScratchDir(L"nginx-road") + L"\\record.txt";
        setupLog_ = rig::ScratchDir(L"nginx-road") + L"\\setup.txt";
        ::SetEnvironmentVariableW(L"ZARN_TRANSFER_RECORD", record_.c_str());
        ::SetEnvironmentVariableW(L"ZARN_TRANSFER_LIFETIME_MS", L"60000");
        ::SetEnvironmentVariableW(L"ZARN_SETUP_MODE", L"report2");
        ::SetEnvironmentVariableW(L"ZARN_SETUP_LOG", setupLog_.c_str());
        RemovePrograms();
        for (const wchar_t* name : {L"version", L"release"})
            ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name);
        const DWORD pending = 1;
        ::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"Isinstall", REG_DWORD, &pending,
                          sizeof(pending));
        // A fresh tree: the tool refuses a release that is not above the last.
        ASSERT_EQ(release::RunLinux("rm -rf \"" + release::UnixPath(NginxDir() + L"\\webroot") +
                                    "/append\""),
                  0);
    }
    void TearDown() override {
        EndPrograms();
        RemovePrograms();
    }

    static void RemovePrograms() {
        for (const wchar_t* name : {L"Zarn_download.exe", L"Zarn_upload.exe"})
            ::DeleteFileW((ResolveInstallFolder() + name).c_str());
    }
    // Ends the transfer programs the page started ("start pid=<n> ...").
    void EndPrograms() {
        for (const auto& line : ReadRecord().lines) {
            const size_t at = line.find("pid=");
            if (line.rfind("download start", 0) != 0 || at == std::string::npos) continue;
            zfw::unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                                     std::stoul(line.substr(at + 4))));
            if (!process) continue;
            ::TerminateProcess(process.get(), 0);
            ::WaitForSingleObject(process.get(), 5000);
        }
    }
    Record ReadRecord() const {
        return {rig::Lines(rig::ReadFileBytes(record_).value_or(""))};
    }
    size_t SetupRuns() const {
        size_t n = 0;
        for (const auto& line : rig::Lines(rig::ReadFileBytes(setupLog_).value_or("")))
            n += !line.empty();
        return n;
    }

    std::wstring record_, setupLog_;
};

TEST_F(NginxRoad, APublishedReleaseInstallsAndAHandEditedTreeIsRefused) {
    Publish("9.0.0\r\n", 1);
    const size_t logged = AccessLog().size();
    const rig::ProcessResult page = rig::RunPage(L"tests\\pages\\release_road.js", {}, 240000);
    ASSERT_EQ(page.exitCode, 0u) << page.output;

    // The road, in nginx's own record.
    const std::vector<std::string> all = AccessLog();
    ASSERT_GE(all.size(), logged);
    const std::vector<std::string> road(all.begin() + logged, all.end());
    const std::vector<std::string> expected = {
        "GET /append/application/install_statistic.php?a=install 200",
        "GET /append/application/version.ini 200",
        "GET /append/application/release.txt 200",
        "GET /append/application/release.sig 200",
        "GET /append/application/install.zip 200",
        "GET /append/application/GetInstallFileSize.php 200",
    };
    EXPECT_EQ(road, expected);
    size_t statistics = 0;
    for (const auto& r : all) statistics += r.find("/install_statistic.php?a=install ") != std::string::npos;
    EXPECT_EQ(statistics, 1u) << "install reports counted from the access log";

    EXPECT_EQ(SetupRuns(), 1u);
    EXPECT_EQ(Dword(L"release"), std::optional<DWORD>(1));
    EXPECT_EQ(Dword(L"Isinstall"), std::optional<DWORD>(0));
    EXPECT_EQ(rig::update::InstalledVersion(), std::optional<std::wstring>(L"9.0.0\r\n"));
    const Record record = ReadRecord();
    EXPECT_EQ(record.Count("download start"), 1u) << page.output;
    EXPECT_EQ(record.Count("download list"), 1u) << page.output;
    EndPrograms();

    // Release 2, then edited by hand on the server: the package's bytes
    // (same length), or the manifest's release number.
    struct Edit {
        const char* name;
        const wchar_t* file;
        size_t (*at)(const std::string&);
        char (*to)(char);
    };
    const Edit edits[] = {
        {"package byte", L"install.zip", [](const std::string& b) { return b.size() / 2; },
         [](char c) { return static_cast<char>(c ^ 0x5a); }},
        {"manifest release number", L"release.txt",
         [](const std::string& b) { return b.find("release=") + 8; },
         [](char) { return '8'; }},
    };
    int number = 2;
    for (const Edit& edit : edits) {
        SCOPED_TRACE(edit.name);
        Publish("9.1.0", number++);
        const std::wstring path = Published() + L"\\" + edit.file;
        std::string bytes = rig::ReadFileBytes(path).value_or("");
        ASSERT_FALSE(bytes.empty());
        const size_t at = edit.at(bytes);
        bytes[at] = edit.to(bytes[at]);
        {
            zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                    &written, nullptr));
        }
        const size_t runsBefore = SetupRuns();
        const size_t requestsBefore = AccessLog().size();
        BoxAnswerer answerer;
        const rig::ProcessResult refused =
            rig::RunPage(L"tests\\pages\\release_road.js", {}, 240000);
        const std::vector<std::wstring> texts = answerer.Stop();
        EXPECT_EQ(refused.exitCode, 0u) << refused.output;
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0], kRefusedText);
        EXPECT_EQ(SetupRuns(), runsBefore) << "the edited release ran";
        EXPECT_EQ(ReadRecord().Count("download start"), 1u) << "a program started";
        EXPECT_EQ(Dword(L"release"), std::optional<DWORD>(1));
        EXPECT_EQ(rig::update::InstalledVersion(), std::optional<std::wstring>(L"9.0.0\r\n"));
        const auto all = AccessLog();
        EXPECT_EQ(std::count(all.begin() + requestsBefore, all.end(),
                             "GET /append/application/release.sig 200"),
                  1);
    }
}

}  // namespace
