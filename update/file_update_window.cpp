#include "update/file_update_window.h"

#include "resources/resource.h"
#include "support/reg_key.h"
#include "support/shell_folders.h"
#include "support/transfer_program.h"
#include "update/package_stage.h"
#include "update/release_check.h"

#include <commctrl.h>

#include <array>
#include <cwchar>

namespace zarn {

namespace {

enum TimerId : UINT_PTR {
    TIMER_START = 1,
    TIMER_SETUP_STOPPED = 2,
    TIMER_SETUP_FINISHED = 3,
};
constexpr UINT kStartDelayMs = 100;
constexpr UINT kStoppedDelayMs = 300;
constexpr UINT kFinishedDelayMs = 500;

constexpr wchar_t kCaption[] = L"Zarn";
constexpr wchar_t kNoticeCaption[] = L"알림";
constexpr wchar_t kSetupFileName[] = L"Zarn_setup.exe";
constexpr wchar_t kPackageFileName[] = L"install.zip";
constexpr wchar_t kPackageDownloaded[] = L"프로그램 다운로드 완료";

const wchar_t* NoticeText(Notice notice) {
    switch (notice) {
        case Notice::VersionFileNotFetched:
            return L"전송 프로그램 버전 파일을 다운로드 하지 못했습니다!   ";
        case Notice::PackageNotFetched:
            return L"전송 프로그램 파일을 다운로드 하지 못했습니다!   ";
        case Notice::SizeCheckFailed:
            return L"설치 프로그램이 설치를 중단했습니다!\n수동 설치를 권장합니다.";
        case Notice::ReleaseNotVerified:
            return L"설치 파일을 확인하지 못했습니다!\n수동 설치를 권장합니다.";
        case Notice::None:
            break;
    }
    return nullptr;
}

// "%s\\%s": the temp folder already ends in a backslash, so the path has two
// in a row, which the file system reads as one.
std::wstring TempPath(const std::wstring& folder, const wchar_t* name) {
    return folder + L"\\" + name;
}

void InitBar(HWND bar) {
    ::SendMessageW(bar, PBM_SETRANGE32, 0, 100);
    ::SendMessageW(bar, PBM_SETPOS, 0, 0);
    ::SendMessageW(bar, PBM_SETSTEP, 1, 0);
}

}  // namespace

FileUpdateWindow::FileUpdateWindow(DWORD reportGraceMs, HINSTANCE resources)
    : ModalDialog(IDD_FILE_UPDATE, resources), m_run(std::make_shared<UpdateRun>(reportGraceMs)) {}

FileUpdateWindow::~FileUpdateWindow() = default;

INT_PTR FileUpdateWindow::DoModal(HWND owner) {
    // The update decision needs no window: a dialog that ends during its own
    // initialisation is never shown, yet making and destroying its window
    // (which Wine also shows and hides) cost about as much as the fetch
    // itself. So the decision comes first, and a run that finds the programs
    // current ends here with 1, as soon as the version file has been fetched
    // and compared.
    const Decision decision = Decide();
    if (decision == Decision::Current) {
        m_run->ClaimEnd();
        return IDOK;
    }
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);
    const INT_PTR result = ModalDialog::DoModal(owner);
    // A run that ended without its window (it could not be created) has no
    // threads; one that ended through OnStageEnd has waited for them already.
    m_run->ClaimEnd();
    if (!m_threadsStopped) m_run->WaitForThreads(kThreadStopWaitMs, false);
    return result;
}

FileUpdateWindow::Decision FileUpdateWindow::Decide() {
    UpdateRun::Plan& run = m_run->Prepare();

    const std::wstring temp = TempFolder();
    // The names an installer had in the temporary folder itself, where runs
    // before the run's own folder left them.
    const std::wstring sharedSetupPath = TempPath(temp, kSetupFileName);
    const std::wstring sharedPackagePath = TempPath(temp, kPackageFileName);
    run.versionFilePath = temp + L"\\version.ini";

    // Leftovers of an earlier run. One that cannot go (an installer of that
    // run still holding its file) would be taken for this run's download.
    const std::wstring* const leftovers[] = {&run.versionFilePath, &sharedSetupPath,
                                             &sharedPackagePath};
    for (const std::wstring* leftover : leftovers) {
        if (PathExists(*leftover) && !::DeleteFileW(leftover->c_str()))
            return Fail(Notice::VersionFileNotFetched);
    }

    if (!RunDownloadStage(*m_run, DownloadStage::VersionFile))
        return Fail(Notice::VersionFileNotFetched);
    if (!PathExists(run.versionFilePath)) return Fail(Notice::None);
    std::optional<std::wstring> serverVersion = ReadVersionText(run.versionFilePath);
    if (!serverVersion) return Fail(Notice::None);
    run.serverVersion = std::move(*serverVersion);
    // The signed release names the version file's exact bytes.
    std::optional<std::string> versionBytes =
        ReadFilePrefix(run.versionFilePath, kManifestMaxBytes + 1);
    if (!versionBytes) return Fail(Notice::None);
    run.versionBytes = std::move(*versionBytes);
    if (::DeleteFileW(run.versionFilePath.c_str())) ::DeleteFileW(sharedSetupPath.c_str());

    const std::wstring installedVersion =
        ReadSettingText(kVersionValue, regrule::kTextType).value_or(L"");
    const std::wstring downloadProgram = m_installFolder + kDownloadProgram.fileName;
    if (installedVersion == run.serverVersion && PathExists(downloadProgram))
        return Decision::Current;

    // The package is downloaded, renamed, hashed and run in a folder of this
    // run's own, never in the shared temporary folder (update/setup_folder.h).
    std::optional<SetupFolder> folder = SetupFolder::Create(temp);
    if (!folder) return Fail(Notice::PackageNotFetched);
    run.setupFolder.emplace(std::move(*folder));
    run.setupPath = run.setupFolder->File(kSetupFileName);
    run.packagePath = run.setupFolder->File(kPackageFileName);
    return Decision::Install;
}

FileUpdateWindow::Decision FileUpdateWindow::Fail(Notice notice) {
    m_failure = notice;
    return Decision::Failed;
}

BOOL FileUpdateWindow::OnInitDialog() {
    m_run->SetDialog(Handle());
    ::SetWindowTextW(Handle(), kCaption);
    // A failed decision shows its message before the window has appeared,
    // and the dialog ends without ever being shown in its modal loop.
    if (m_failure) {
        EndRun(IDCANCEL, *m_failure);
        return TRUE;
    }
    ::SetTimer(Handle(), TIMER_START, kStartDelayMs, nullptr);
    return TRUE;
}

bool FileUpdateWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    switch (message) {
        case WM_TIMER:
            if (wParam < TIMER_START || wParam > TIMER_SETUP_FINISHED) return false;
            OnTimer(wParam);
            return true;
        case WM_SETUP_REPORT:
            result = OnSetupReport(wParam, lParam);
            return true;
        case WM_STAGE_END:
            if (const auto end = m_run->TakeEndRequest()) OnStageEnd(end->first, end->second);
            return true;
        case WM_INSTALL_PERCENT:
            OnInstallPercent(static_cast<int>(wParam));
            return true;
        case WM_PACKAGE_DOWNLOADED:
            OnPackageDownloaded();
            return true;
        case WM_INSTALLER_STARTED:
            OnInstallerStarted();
            return true;
        case WM_DOWNLOAD_PROGRESS:
            OnDownloadProgress(static_cast<DWORD>(wParam), static_cast<DWORD>(lParam));
            return true;
        case WM_COMMAND:
            // Enter and Esc (and the close command) would end the dialog as
            // if the programs were current, or in the middle of an install.
            // The dialog ends only through its own work.
            return LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL;
        default:
            return false;
    }
}

void FileUpdateWindow::OnTimer(UINT_PTR id) {
    ::KillTimer(Handle(), id);
    UpdateRun& run = *m_run;
    switch (id) {
        case TIMER_START:
            InitBar(::GetDlgItem(Handle(), IDC_DOWNLOAD_BAR));
            InitBar(::GetDlgItem(Handle(), IDC_INSTALL_BAR));
            if (!run.StartThread(&DownloadThreadProc, L"Zarn download"))
                EndRun(IDCANCEL, Notice::None);
            break;
        case TIMER_SETUP_STOPPED:
            ::DeleteFileW(run.plan().setupPath.c_str());
            EndRun(IDCANCEL, Notice::None);
            break;
        case TIMER_SETUP_FINISHED:
            if (PathExists(run.plan().setupPath)) ::DeleteFileW(run.plan().setupPath.c_str());
            run.SetupDone();
            break;
    }
}

LRESULT FileUpdateWindow::OnSetupReport(WPARAM wParam, LPARAM) {
    if (wParam != kSetupStopped && wParam != kSetupFinished) return 0;
    // A report from anything but the installer this run started, or a second
    // one, would end the run early or record a version that was never
    // installed.
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const ULONGLONG arrival = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    switch (m_run->JudgeReport(arrival)) {
        case UpdateRun::ReportVerdict::Accept:
            ActOnReport(wParam);
            break;
        case UpdateRun::ReportVerdict::Hold:
            if (!m_heldReport) m_heldReport = HeldReport{wParam, arrival};
            break;
        case UpdateRun::ReportVerdict::Ignore:
            break;
    }
    return 0;
}

void FileUpdateWindow::OnInstallerStarted() {
    if (!m_heldReport) return;
    const HeldReport held = *m_heldReport;
    m_heldReport.reset();
    if (m_run->JudgeHeldReport(held.arrival)) ActOnReport(held.wParam);
}

void FileUpdateWindow::ActOnReport(WPARAM wParam) {
    if (wParam == kSetupStopped)
        ::SetTimer(Handle(), TIMER_SETUP_STOPPED, kStoppedDelayMs, nullptr);
    else
        ::SetTimer(Handle(), TIMER_SETUP_FINISHED, kFinishedDelayMs, nullptr);
}

void FileUpdateWindow::EndRun(INT_PTR result, Notice notice) {
    if (m_run->ClaimEnd()) OnStageEnd(result, notice);
}

void FileUpdateWindow::OnStageEnd(INT_PTR result, Notice notice) {
    if (const wchar_t* text = NoticeText(notice))
        ::MessageBoxW(Handle(), text, kNoticeCaption, MB_OK);
    // The run has ended: the threads stop at their next look at it. They
    // post to the window, so it outlives every thread (hidden meanwhile)
    // rather than leave its handle to be reused under them.
    ::ShowWindow(Handle(), SW_HIDE);
    m_run->WaitForThreads(kThreadStopWaitMs, true);
    m_threadsStopped = true;
    EndDialog(result);
}

void FileUpdateWindow::OnInstallPercent(int position) {
    std::array<wchar_t, 16> text{};
    std::swprintf(text.data(), text.size(), L"%d%%", position);
    const HWND percent = ::GetDlgItem(Handle(), IDC_INSTALL_PERCENT);
    ::SetWindowTextW(percent, text.data());
    ::UpdateWindow(percent);
    ::SendMessageW(::GetDlgItem(Handle(), IDC_INSTALL_BAR), PBM_SETPOS,
                   static_cast<WPARAM>(position), 0);
}

void FileUpdateWindow::OnDownloadProgress(DWORD received, DWORD total) {
    if (!m_downloadProgress)
        m_downloadProgress.emplace(::GetDlgItem(Handle(), IDC_DOWNLOAD_SIZE),
                                   ::GetDlgItem(Handle(), IDC_DOWNLOAD_BAR));
    m_downloadProgress->Show(received, total);
}

void FileUpdateWindow::OnPackageDownloaded() {
    const HWND caption = ::GetDlgItem(Handle(), IDC_DOWNLOAD_CAPTION);
    ::SetWindowTextW(caption, kPackageDownloaded);
    ::UpdateWindow(caption);
}

}  // namespace zarn
