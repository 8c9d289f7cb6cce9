// Signed releases, through the registered module called by name as a page's
// script calls it: a package runs only when its release manifest is signed
// by a built-in key and names this very version file, package and a release
// not older than the one installed. Every refusal shows its message, ends the
// update dialog with 2 (UpLoad answers 1), deletes the package and starts
// nothing.
#include "common/transfer.h"
#include "common/update.h"

#include "common/com_helpers.h"
#include "common/release.h"
#include "common/thread_window.h"
#include "common/updateserver.h"

#include <algorithm>
#include <cwchar>
#include <functional>

namespace release = rig::release;
namespace server = rig::updateserver;
using rig::transfer::TransferTest;

namespace {

constexpr wchar_t kRefusedText[] = L"설치 파일을 확인하지 못했습니다!\n수동 설치를 권장합니다.";

std::wstring TempFile(const wchar_t* name) {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp) + name;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

size_t ServerRequests() { return server::RequestsTagged(L"/append/application/").size(); }
size_t PackageRequests() {
    return server::RequestsTagged(L"/append/application/install.zip").size();
}

// A log viewer window that hands each line to `onLine` while the module's
// thread waits for the line to be taken.
class LogTap {
public:
    explicit LogTap(std::function<void(const std::wstring&)> onLine)
        : onLine_(std::move(onLine)), window_(L"xLogWnd Receiver", &LogTap::Proc, L"xLogWnd") {
        ::SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<LogTap*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_COPYDATA && self) {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (data->cbData >= 4100 + 2048 * sizeof(wchar_t)) {
                const auto* text =
                    reinterpret_cast<const wchar_t*>(static_cast<const BYTE*>(data->lpData) + 4100);
                self->onLine_(std::wstring(text, wcsnlen(text, 2048)));
            }
            return TRUE;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }

    std::function<void(const std::wstring&)> onLine_;
    rig::ThreadWindow window_;
};

class SignedRelease : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        rig::update::ForgetInstallation();
        for (const wchar_t* name : {L"version.ini", L"install.zip", L"GetInstallFileSize.php",
                                    L"release.txt", L"release.sig"})
            server::ClearFault(name);
        rig::update::SetSetupMode(L"report2");
        ASSERT_FALSE(rig::update::SetupBytes().empty());
    }

    // Ends the transfer programs the control started, so that the next call
    // runs the update check again.
    void EndStartedPrograms() { rig::transfer::EndStarted(Record()); }

    struct Outcome {
        LONG result = -1;  // UpLoad: 0 when the gate passed, 1 when it refused
        std::vector<std::wstring> boxes;
        size_t installerRuns = 0;
        bool uploadStarted = false;
    };
    Outcome Upload() {
        const size_t runsBefore = rig::update::SetupRuns().size();
        const size_t startsBefore = rig::transfer::Select(Record(), "upload", "start").size();
        rig::update::Watcher watcher;
        const CallResult call = Call(L"UpLoad", L"user", L"pw", L"/a.txt|1");
        watcher.Stop();
        EXPECT_HRESULT_SUCCEEDED(call.hr);
        Outcome outcome;
        outcome.result = call.result.lVal;
        for (const auto& box : watcher.boxes) outcome.boxes.push_back(box.text);
        outcome.installerRuns = rig::update::SetupRuns().size() - runsBefore;
        outcome.uploadStarted =
            rig::transfer::Select(Record(), "upload", "start").size() > startsBefore;
        return outcome;
    }

    void ExpectRefused(const Outcome& outcome) {
        EXPECT_EQ(outcome.result, 1);
        ASSERT_EQ(outcome.boxes.size(), 1u);
        EXPECT_EQ(outcome.boxes[0], kRefusedText) << rig::Utf8(outcome.boxes[0]);
        EXPECT_EQ(outcome.installerRuns, 0u) << "the installer ran";
        EXPECT_FALSE(outcome.uploadStarted);
        EXPECT_FALSE(Exists(TempFile(L"install.zip"))) << "the package was left behind";
        EXPECT_FALSE(Exists(TempFile(L"Zarn_setup.exe"))) << "the package was left behind";
        EXPECT_TRUE(rig::update::SetupFolders().empty()) << "the run's folder was left behind";
        EXPECT_FALSE(rig::update::InstalledVersion());
    }
};

TEST_F(SignedRelease, AGoodReleaseInstallsAndIsRemembered) {
    const std::string& setup = rig::update::SetupBytes();
    // CR LF line ends and a key of a later format are part of the format.
    std::string manifest;
    for (const char c : release::Manifest(7, "4.0.0\r\n", setup)) {
        if (c == '\n') manifest += '\r';
        manifest += c;
    }
    manifest += "channel=stable\r\n";
    server::PutFile(L"version.ini", "4.0.0\r\n");
    server::PutFile(L"install.zip", setup);
    server::PutFile(L"release.txt", manifest);
    server::PutFile(L"release.sig", release::Sign(manifest));

    std::vector<std::wstring> lines;
    {
        LogTap tap([&](const std::wstring& line) { lines.push_back(line); });
        const Outcome first = Upload();
        EXPECT_EQ(first.result, 0);
        EXPECT_TRUE(first.boxes.empty());
        EXPECT_EQ(first.installerRuns, 1u);
        EXPECT_TRUE(first.uploadStarted);
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"release 7 verified"), lines.end());
    EXPECT_EQ(rig::update::InstalledRelease(), std::optional<DWORD>(7));
    EXPECT_EQ(rig::update::InstalledVersion(), std::optional<std::wstring>(L"4.0.0\r\n"));

    // Current now: one request, no manifest, the release stays.
    EndStartedPrograms();
    const size_t before = ServerRequests();
    const Outcome second = Upload();
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(second.installerRuns, 0u);
    EXPECT_EQ(ServerRequests() - before, 1u);
    EXPECT_EQ(rig::update::InstalledRelease(), std::optional<DWORD>(7));

    // The same release again (a repair, after the programs went) is allowed.
    EndStartedPrograms();
    RemoveInstalled();
    const Outcome repair = Upload();
    EXPECT_EQ(repair.result, 0);
    EXPECT_EQ(repair.installerRuns, 1u);
    EXPECT_EQ(rig::update::InstalledRelease(), std::optional<DWORD>(7));
}

TEST_F(SignedRelease, EveryFaultIsRefusedTheSameWay) {
    const std::string& setup = rig::update::SetupBytes();
    const std::string version = "5.1.0";
    const std::string good = release::Manifest(3, version, setup);
    const std::string goodSig = release::Sign(good);
    std::string swapped = setup;
    swapped[swapped.size() / 2] ^= 0x5a;
    std::string notDer = goodSig;
    notDer[0] = 0x31;
    const std::string withoutHash = good.substr(0, good.find("sha256="));

    // A signature of none: the manifest signed as it stands by the trusted key.
    // Only a package whose bytes differ is ever fetched: every other fault
    // is found in the release before the download.
    struct Case {
        const char* name;
        const wchar_t* reason;  // in the logged line
        std::string package, manifest;
        std::optional<std::string> signature;
        bool removeSignature = false;
        DWORD installed = 0;
        bool packageFetched = false;
    };
    const std::optional<std::string> asItStands;
    const Case cases[] = {
        {"package bytes replaced, same length", L"SHA-256 differs", swapped, good, goodSig, false,
         0, true},
        {"signature missing", L"release.sig could not be fetched", setup, good, goodSig, true},
        {"signature empty", L"not a DER signature", setup, good, std::string()},
        {"signature truncated", L"not a DER signature", setup, good,
         goodSig.substr(0, goodSig.size() - 1)},
        {"signature not DER", L"not a DER signature", setup, good, notDer},
        {"signed by another key", L"not signed by a known key", setup, good,
         release::Sign(good, release::UnknownKey())},
        {"manifest over 4 KiB", L"release.txt could not be fetched", setup,
         good + "note=" + std::string(4096, 'x') + "\n", asItStands},
        {"manifest missing a key", L"malformed", setup, withoutHash, asItStands},
        {"manifest repeating a key", L"malformed", setup, good + "release=3\n", asItStands},
        {"manifest naming another version file", L"another version file", setup,
         release::Manifest(3, "5.1.1", setup), asItStands},
        {"an older release than the one installed", L"older than", setup, good, goodSig, false,
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig::update::ForgetInstallation();
        if (c.installed) rig::update::SetInstalledRelease(c.installed);
        server::PutFile(L"version.ini", version);
        server::PutFile(L"install.zip", c.package);
        server::PutFile(L"release.txt", c.manifest);
        server::PutFile(L"release.sig", c.signature ? *c.signature : release::Sign(c.manifest));
        if (c.removeSignature) ::DeleteFileW((server::WebRoot() + L"\\release.sig").c_str());
        std::vector<std::wstring> refusals;
        const size_t packagesBefore = PackageRequests();
        {
            LogTap tap([&](const std::wstring& line) {
                if (line.rfind(L"release refused: ", 0) == 0) refusals.push_back(line);
            });
            ExpectRefused(Upload());
        }
        EXPECT_EQ(PackageRequests() - packagesBefore, c.packageFetched ? 1u : 0u)
            << "install.zip requests";
        ASSERT_EQ(refusals.size(), 1u);
        EXPECT_NE(refusals[0].find(c.reason), std::wstring::npos) << rig::Utf8(refusals[0]);
        EXPECT_EQ(rig::update::InstalledRelease(),
                  c.installed ? std::optional<DWORD>(c.installed) : std::nullopt);
    }
}

TEST_F(SignedRelease, ThePackageCannotBeWrittenWhileTheInstallerStarts) {
    rig::update::Publish("6.0", 2);
    DWORD writeError = 0, renameError = 0;
    bool checked = false;
    size_t folderCount = 0;
    {
        LogTap tap([&](const std::wstring& line) {
            if (line != L"release 2 verified") return;
            const auto folders = rig::update::SetupFolders();
            folderCount = folders.size();
            if (folders.size() != 1) return;
            const std::wstring setupPath = folders[0] + L"\\Zarn_setup.exe";
            checked = true;
            HANDLE h = ::CreateFileW(setupPath.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
            writeError = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
            if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
            const std::wstring aside = setupPath + L".aside";
            renameError = ::MoveFileW(setupPath.c_str(), aside.c_str()) ? 0 : ::GetLastError();
            if (!renameError) ::MoveFileW(aside.c_str(), setupPath.c_str());
        });
        const Outcome outcome = Upload();
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.installerRuns, 1u);
    }
    ASSERT_EQ(folderCount, 1u) << "the run's own folders under the temporary folder";
    ASSERT_TRUE(checked) << "the verified release was never logged";
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(renameError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(SignedRelease, APackageLongerThanItsReleaseIsAFailedDownload) {
    const std::string& setup = rig::update::SetupBytes();
    const std::string manifest = release::Manifest(4, "7.0", setup);
    server::PutFile(L"version.ini", "7.0");
    server::PutFile(L"release.txt", manifest);
    server::PutFile(L"release.sig", release::Sign(manifest));
    server::PutFile(L"install.zip", setup + "x");  // one byte more
    // Announced as longer, and sent without its length: read until the byte
    // past the release's size.
    for (const char* fault : {"ok\n", "no-length\n"}) {
        SCOPED_TRACE(fault);
        rig::update::ForgetInstallation();
        server::SetFault(L"install.zip", fault);
        const size_t packagesBefore = PackageRequests();
        const Outcome outcome = Upload();
        EXPECT_EQ(outcome.result, 1);
        ASSERT_EQ(outcome.boxes.size(), 1u);
        EXPECT_EQ(outcome.boxes[0], L"전송 프로그램 파일을 다운로드 하지 못했습니다!   ")
            << rig::Utf8(outcome.boxes[0]);
        EXPECT_EQ(PackageRequests() - packagesBefore, 1u);
        EXPECT_EQ(outcome.installerRuns, 0u) << "the installer ran";
        EXPECT_FALSE(outcome.uploadStarted);
        EXPECT_TRUE(rig::update::SetupFolders().empty()) << "the run's folder was left behind";
        EXPECT_FALSE(rig::update::InstalledVersion());
    }
}

TEST_F(SignedRelease, AModuleBuiltWithTwoKeysAcceptsEither) {
    wchar_t next[1024] = {};
    ASSERT_GT(::GetEnvironmentVariableW(L"ZARN_NEXT_RELEASE_KEY", next, 1024), 0u);
    const std::string nextKey = rig::Utf8(next);
    const std::string& setup = rig::update::SetupBytes();

    // The module of this build knows only the current key.
    release::Publish("8.0", setup, 1, nextKey);
    ExpectRefused(Upload());

    // The same objects linked with both keys, created from its own file.
    CLSID clsid{};
    ASSERT_HRESULT_SUCCEEDED(::CLSIDFromProgID(zarn::kControlProgId, &clsid));
    control_.Reset();
    ASSERT_HRESULT_SUCCEEDED(rig::CreateFromModuleFile(
        rig::BuildDir() + L"\\ZarnCtrl2-twokeys.ocx", clsid, IID_PPV_ARGS(&control_)));

    unsigned long number = 1;
    for (const std::string& key : {release::TrustedKey(), nextKey}) {
        SCOPED_TRACE(key);
        EndStartedPrograms();
        rig::update::ForgetInstallation();
        release::Publish("8." + std::to_string(number), setup, number, key);
        const Outcome outcome = Upload();
        EXPECT_EQ(outcome.result, 0);
        EXPECT_TRUE(outcome.boxes.empty());
        EXPECT_EQ(outcome.installerRuns, 1u);
        EXPECT_EQ(rig::update::InstalledRelease(), std::optional<DWORD>(number));
        ++number;
    }
    EndStartedPrograms();
    rig::update::ForgetInstallation();
    release::Publish("8.9", setup, 9, release::UnknownKey());
    ExpectRefused(Upload());
    control_.Reset();
}

}  // namespace
