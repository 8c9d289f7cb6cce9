// The one-time install report to the update server.
#pragma once

#include <string>

namespace zarn {

// Sends one GET request for `url` with the update server's request headers
// and reads nothing of the reply; any HTTP status counts as sent. Throws
// InternetError (update/internet_file.h) when the request cannot be made.
void HttpRequestNoReply(const std::wstring& url);

// Reports `eventWord` to the update server:
// /append/application/install_statistic.php?a=<eventWord>, the word as given.
// Throws like HttpRequestNoReply.
void SendInstallStatistic(const wchar_t* eventWord);

// The install report of DownLoad and UpLoad: when the settings value
// "Isinstall" is nonzero, reports "install" and sets the value to 0. When the
// update server cannot be reached the value stays as it was (the next call
// tries again), the log has the WinINet error and the call that failed, and
// zfw::CallFailure ends the calling method.
void ReportPendingInstall();

}  // namespace zarn
