#include "launch/install_report.h"

#include "framework/failure.h"
#include "support/log.h"
#include "support/reg_key.h"
#include "support/settings_reader.h"
#include "update/http.h"
#include "update/internet_file.h"
#include "update/server_address.h"

#include <wininet.h>

namespace zarn {

namespace {

constexpr wchar_t kReportPath[] = L"/append/application/install_statistic.php?a=";
constexpr wchar_t kInstallEvent[] = L"install";

// The install flag, read afresh; 0 when the settings key or the value is
// missing, or the value is not four bytes long.
DWORD ReadInstallFlag() {
    const std::optional<DwordSetting> flag = ReadDwordSetting(kInstallFlagValue);
    return flag ? flag->value : 0;
}

}  // namespace

void HttpRequestNoReply(const std::wstring& url) {
    InternetSession session;
    // Opening the URL sends the request and waits for the reply's headers,
    // within the limits of a small fetch (the page waits meanwhile); closing
    // the session ends it without reading the body.
    session.OpenUrl(url, std::wstring(kRequestHeaders), kRequestFlags, kSmallFetchLimits);
}

void SendInstallStatistic(const wchar_t* eventWord) {
    HttpRequestNoReply(UpdateServerUrl(kReportPath) + eventWord);
}

void ReportPendingInstall() {
    if (ReadInstallFlag() == 0) return;
    CRegistryEx key;
    if (!key.Open(kSettingsKey)) return;
    try {
        SendInstallStatistic(kInstallEvent);
    } catch (const InternetError& error) {
        ZARN_LOG_FAILURE(error.origin(), L"install report not sent");
        throw zfw::CallFailure(L"The install report could not be sent to the update server " +
                               std::wstring(UpdateServerBase()) + L" (WinINet error " +
                               std::to_wstring(error.error()) + L")");
    }
    key.WriteDword(kInstallFlagValue, 0);
    key.Close();
}

}  // namespace zarn
