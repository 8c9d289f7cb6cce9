#include "update/package_stage.h"

#include "support/log.h"
#include "support/os_version.h"
#include "support/reg_key.h"
#include "support/text.h"
#include "update/outliving_start.h"
#include "update/release_check.h"
#include "update/server_address.h"

#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace zarn {

namespace {

constexpr int kLaunchAttempts = 10;
constexpr DWORD kLaunchRetryMs = 300;
constexpr DWORD kProgressStartMs = 800;
constexpr DWORD kProgressStepMs = 25;
// The install bar climbs on its own up to here and waits for the installer.
constexpr int kProgressHold = 80;
constexpr size_t kVersionBytes = 100;

// COM on the download thread, for ShellExecuteExW.
class ComApartment {
public:
    ComApartment() : initialized_(SUCCEEDED(::CoInitializeEx(
                         nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
    ~ComApartment() {
        if (initialized_) ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialized_;
};

// Deletes the file at `path`; a file that is not there counts as deleted.
bool DeleteIfPresent(const std::wstring& path) {
    if (::DeleteFileW(path.c_str())) return true;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool SizeMatches(const std::wstring& packagePath, const std::wstring& serverSize) {
    const std::optional<std::wstring> local = GetFileSizeText(packagePath);
    return local && *local == serverSize;
}

// The package until its size matches the server's: true when it does, false
// when the run has ended (a failure ends it here). Re-downloads stop at
// `maxBytes`, as the first one does.
bool CheckPackageSize(UpdateRun& run, const std::wstring& packageUrl, size_t maxBytes) {
    const std::wstring sizeUrl = UpdateServerUrl(kPackageSizeUrlPath);
    const std::wstring& packagePath = run.plan().packagePath;
    for (;;) {
        if (run.Ended()) return false;
        UpdateRun::DownloadState& download = run.Download();
        download.serverSize = HttpRequestText(sizeUrl);
        if (SizeMatches(packagePath, download.serverSize)) return true;

        ++download.retryCount;
        if (!DeleteIfPresent(packagePath)) {
            run.Finish(IDCANCEL, Notice::None);
            return false;
        }
        if (run.Ended()) return false;
        // Whether this download completed is for the size comparison to say.
        HttpDownloadFile(&run, packageUrl, packagePath, kDownloadLimits, maxBytes);
        if (SizeMatches(packagePath, download.serverSize)) return true;
        if (download.retryCount >= 2) {
            run.Finish(IDCANCEL, Notice::SizeCheckFailed);
            return false;
        }
    }
}

// The call that failed when a release was refused for a failure rather than
// for what it says.
using Cause = std::optional<zfw::Origin>;

// The body of a small file on the update server: one fetch that ends in
// time, answered 200, with at most `cap` bytes; none otherwise, with the
// cause (a reply of another status has that status as its code). This is
// the one place the release files are fetched.
std::optional<std::string> FetchSmallFile(const std::wstring& url, size_t cap, Cause& cause) {
    zfw::Origin failure;
    std::optional<SmallReply> reply = FetchSmall(url, cap, &failure);
    if (!reply) {
        cause = failure;
        return std::nullopt;
    }
    if (reply->status != HTTP_STATUS_OK) {
        cause = ZFW_ORIGIN(reply->status, "HTTP status other than 200");
        return std::nullopt;
    }
    return std::move(reply->body);
}

// Refuses the release: deletes the package (when there is one), logs why
// (with the call that failed, when one did), and ends the run with the
// notice. Nothing of it has run.
void RefuseRelease(UpdateRun& run, ReleaseFault fault, const std::wstring& packagePath,
                   const Cause& cause = {}) {
    if (!packagePath.empty()) ::DeleteFileW(packagePath.c_str());
    if (cause)
        ZARN_LOG_FAILURE(*cause, L"release refused: %s", ReleaseFaultReason(fault));
    else
        ZARN_LOG(L"release refused: %s", ReleaseFaultReason(fault));
    run.Finish(IDCANCEL, Notice::ReleaseNotVerified);
}

// Fetches the signed release and checks it against the version file this run
// fetched and the release installed, before any byte of the package: a
// release that would be refused costs no download.
ReleaseFault VerifyRelease(UpdateRun& run, const Cng* cng, ReleaseManifest& manifest,
                           Cause& cause) {
    // An oversized manifest fails the fetch; it is never cut to size.
    const auto manifestBytes =
        FetchSmallFile(UpdateServerUrl(kManifestUrlPath), kManifestMaxBytes, cause);
    if (!manifestBytes) return ReleaseFault::ManifestNotFetched;
    const auto signatureBytes =
        FetchSmallFile(UpdateServerUrl(kSignatureUrlPath), kSignatureMaxBytes, cause);
    if (!signatureBytes) return ReleaseFault::SignatureNotFetched;
    // None recorded yet (or not a DWORD): 0.
    const std::optional<RegDword> recorded = ReadSettingDword(kReleaseValue, regrule::kDwordType);
    const DWORD installed = recorded ? recorded->value : 0;
    return CheckRelease(cng, ReleaseKeys(), *manifestBytes, *signatureBytes, run.plan().versionBytes,
                        installed, manifest);
}

// The package's length on disk equals the release's.
ReleaseFault CheckPackageLength(const std::wstring& path, std::uint64_t expected, Cause& cause) {
    WIN32_FILE_ATTRIBUTE_DATA package{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &package)) {
        cause = ZFW_ORIGIN(::GetLastError(), "GetFileAttributesEx");
        return ReleaseFault::PackageUnreadable;
    }
    const std::uint64_t size =
        (static_cast<std::uint64_t>(package.nFileSizeHigh) << 32) | package.nFileSizeLow;
    return size == expected ? ReleaseFault::None : ReleaseFault::SizeMismatch;
}

// Opens the file the installer will run so that nobody can write, rename or
// delete it until the installer's process has started, and checks its
// SHA-256 against the release through that same handle.
ReleaseFault HoldAndHashPackage(const Cng& cng, const std::wstring& path,
                                const Sha256Digest& expected, zfw::unique_file& held,
                                Cause& cause) {
    held.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!held) {
        cause = ZFW_ORIGIN(::GetLastError(), "CreateFile");
        return ReleaseFault::PackageUnreadable;
    }
    Sha256Digest digest{};
    if (!cng.DigestFile(held.get(), digest)) return ReleaseFault::PackageUnreadable;
    return digest == expected ? ReleaseFault::None : ReleaseFault::HashMismatch;
}

// Runs the installer, up to ten attempts; its process when the system gave
// one. False when every attempt failed or the run ended meanwhile.
bool LaunchInstaller(UpdateRun& run, zfw::unique_handle& process) {
    run.LaunchStarting();
    for (int attempt = 0; attempt < kLaunchAttempts; ++attempt) {
        if (attempt > 0 && run.WaitEnded(kLaunchRetryMs)) return false;
        if (run.Ended()) return false;
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpVerb = IsVistaOrLater() ? L"runas" : L"Open";
        info.lpFile = run.plan().setupPath.c_str();
        info.nShow = SW_SHOW;
        if (StartOutliving(info)) {
            process.reset(info.hProcess);
            return true;
        }
    }
    return false;
}

// Waits while the installer runs. An installer that exits without a report
// gets a grace period (it may have handed over to a process of its own that
// reports later); without a report by then, the run ends with 2.
void WatchInstaller(UpdateRun& run, HANDLE process) {
    const HANDLE waits[] = {run.EndedEvent(), process};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
    if (run.WaitEnded(run.ReportGraceMs()) || run.Reported()) return;
    run.Finish(IDCANCEL, Notice::None);
}

void PackageStage(UpdateRun& run) {
    ComApartment apartment;
    RunDownloadStage(run, DownloadStage::Package);
}

void InstallProgress(UpdateRun& run) {
    if (run.WaitEnded(kProgressStartMs)) return;
    int position = 0;
    while (position < 100) {
        if (run.IsSetupDone() || position < kProgressHold) {
            std::srand(::GetTickCount());
            position = std::min(100, position + std::rand() % 3 + 1);
            run.Post(WM_INSTALL_PERCENT, static_cast<WPARAM>(position));
        }
        if (run.WaitEnded(kProgressStepMs)) return;
    }
    // Whoever claims the end decides the result: the version is written only
    // by a run that ends with 1.
    if (!run.ClaimEnd()) return;
    CRegistryEx key;
    if (key.OpenOrCreate(kSettingsKey)) {
        key.WriteText(kVersionValue, run.plan().serverVersion);
        key.WriteDword(kReleaseValue, run.Download().release);
        key.Close();
    }
    // A successful update clears what runs killed before their cleanup left.
    if (const auto& folder = run.plan().setupFolder) {
        const std::wstring& own = folder->Path();
        RemoveLeftSetupFolders(own.substr(0, own.find_last_of(L'\\') + 1), own);
    }
    run.RequestEnd(IDOK, Notice::None);
}

// Downloads the package into the plan's package path, its progress posted to
// the dialog, until its size matches the server's. No more than `maxBytes`
// are taken: one byte past them is a failed download. False when the run has
// ended (a failure ends it here).
bool DownloadPackage(UpdateRun& run, size_t maxBytes) {
    const std::wstring packageUrl = UpdateServerUrl(kPackageUrlPath);
    if (HttpDownloadFile(&run, packageUrl, run.plan().packagePath, kDownloadLimits, maxBytes) !=
        kDownloadComplete) {
        run.Finish(IDCANCEL, Notice::PackageNotFetched);
        return false;
    }
    return CheckPackageSize(run, packageUrl, maxBytes);
}

// The whole stage: verifies the release, downloads the package it names,
// renames it to the setup path, checks its hash, starts the install progress
// and the installer, and watches the installer until the run ends. Every
// outcome ends the run.
void VerifyDownloadAndInstall(UpdateRun& run) {
    // No unsigned fallback: whatever cannot be verified does not run. CNG is
    // loaded now, for the manifest's signature, and stays for the package's
    // hash.
    if (run.Ended()) return;
    const std::unique_ptr<Cng> cng = Cng::Load();
    ReleaseManifest manifest;
    Cause cause;
    if (const ReleaseFault fault = VerifyRelease(run, cng.get(), manifest, cause);
        fault != ReleaseFault::None) {
        RefuseRelease(run, fault, {}, cause);
        return;
    }
    run.Download().release = manifest.release;

    if (run.Ended()) return;
    const size_t maxBytes = static_cast<size_t>(std::min<std::uint64_t>(manifest.size, kNoCap));
    if (!DownloadPackage(run, maxBytes)) return;
    const UpdateRun::Plan& plan = run.plan();
    if (const ReleaseFault fault = CheckPackageLength(plan.packagePath, manifest.size, cause);
        fault != ReleaseFault::None) {
        RefuseRelease(run, fault, plan.packagePath, cause);
        return;
    }

    if (run.Ended()) return;
    if (!run.StartThread(&InstallProgressThreadProc, L"Zarn install progress")) {
        run.Finish(IDCANCEL, Notice::None);
        return;
    }
    run.Post(WM_PACKAGE_DOWNLOADED);
    if (!::MoveFileW(plan.packagePath.c_str(), plan.setupPath.c_str())) {
        run.Finish(IDCANCEL, Notice::None);
        return;
    }
    zfw::unique_file held;
    if (const ReleaseFault fault =
            HoldAndHashPackage(*cng, plan.setupPath, manifest.sha256, held, cause);
        fault != ReleaseFault::None) {
        held.reset();
        RefuseRelease(run, fault, plan.setupPath, cause);
        return;
    }
    ZARN_LOG(L"release %u verified", static_cast<unsigned>(manifest.release));
    zfw::unique_handle installer;
    const bool launched = LaunchInstaller(run, installer);
    held.reset();  // the installer's process has started (or never will)
    if (!launched) {
        run.Finish(IDCANCEL, Notice::None);
        return;
    }
    // From here on the installer's report counts (and only its own).
    run.InstallerStarted(std::move(installer));
    // Without a process to watch (a launch through another program), only
    // the installer's report can end the run.
    if (const HANDLE process = run.Installer()) WatchInstaller(run, process);
}

}  // namespace

bool FetchVersionFile(UpdateRun& run) {
    return HttpDownloadFile(nullptr, UpdateServerUrl(kVersionFileUrlPath),
                            run.plan().versionFilePath, kSmallFetchLimits, kVersionFileCap,
                            AcceptedReplies::OkOnly) == kDownloadComplete;
}

bool DownloadAndInstallPackage(UpdateRun& run) {
    VerifyDownloadAndInstall(run);
    return false;
}

bool RunDownloadStage(UpdateRun& run, DownloadStage stage) {
    switch (stage) {
        case DownloadStage::VersionFile:
            return FetchVersionFile(run);
        case DownloadStage::Package:
            return DownloadAndInstallPackage(run);
    }
    return false;
}

DWORD WINAPI DownloadThreadProc(LPVOID start) { RunUpdateThread(start, &PackageStage); }

DWORD WINAPI InstallProgressThreadProc(LPVOID start) { RunUpdateThread(start, &InstallProgress); }

std::optional<std::wstring> GetFileSizeText(const std::wstring& path) {
    WIN32_FIND_DATAW found{};
    zfw::unique_find search(::FindFirstFileW(path.c_str(), &found));
    if (!search) return std::nullopt;
    const long long size =
        (static_cast<long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    std::array<wchar_t, 32> text{};
    std::swprintf(text.data(), text.size(), L"%lld", size);
    return std::wstring(text.data());
}

std::optional<std::string> ReadFilePrefix(const std::wstring& path, size_t limit) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string bytes(limit, '\0');
    size_t filled = 0;
    while (filled < limit) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), bytes.data() + filled, static_cast<DWORD>(limit - filled),
                        &read, nullptr))
            return std::nullopt;
        if (read == 0) break;
        filled += read;
    }
    bytes.resize(filled);
    return bytes;
}

std::optional<std::wstring> ReadVersionText(const std::wstring& path) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::array<char, kVersionBytes> bytes{};
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        return std::nullopt;
    const int length = static_cast<int>(
        std::find(bytes.begin(), bytes.begin() + read, '\0') - bytes.begin());
    return FromCodePage(CP_ACP, std::string_view(bytes.data(), static_cast<size_t>(length)))
        .value_or(std::wstring());
}

bool PathExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace zarn
