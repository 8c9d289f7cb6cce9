#include "update/installation_gate.h"

#include "control/web_control.h"
#include "support/log.h"
#include "update/file_update_window.h"

bool RunInstallationGate(const std::wstring& installFolder, DWORD reportGraceMs,
                         HINSTANCE resources) {
    ZARN_LOG(L"FileVersionCheck");
    if (::FindWindowW(kDownloadWindowClass, nullptr)) return true;
    if (::FindWindowW(kUploadWindowClass, nullptr)) return true;

    FileUpdateWindow dialog(reportGraceMs, resources);
    dialog.m_installFolder = installFolder;
    return dialog.DoModal() == IDOK;
}

bool CWebControlCtrl::FileVersionCheck() { return RunInstallationGate(m_installFolder); }
