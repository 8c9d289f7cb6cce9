// The install report of DownLoad and UpLoad against the update server stand-in.
#include "launch/install_report.h"

#include "common/updateserver.h"
#include "framework/dispatch.h"
#include "common/rig.h"
#include "update/internet_file.h"
#include "common/update.h"

#include <gtest/gtest.h>

#include <optional>

using namespace zarn;

using namespace rig::update;
using zarn::HttpRequestNoReply;
using zarn::ReportPendingInstall;

namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Zarn";
constexpr char kReport[] = "/append/application/install_statistic.php?a=install";

void SetFlag(DWORD value) {
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"Isinstall", REG_DWORD, &value,
                      sizeof(value));
}

std::optional<DWORD> Flag() {
    DWORD value = 0xdeadbeef;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"Isinstall", RRF_RT_REG_DWORD, nullptr,
                       &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

class InstallReport : public ::testing::Test {
protected:
    void SetUp() override { rig::updateserver::ClearFault(L"install_statistic.php"); }
    void TearDown() override { rig::updateserver::ClearFault(L"install_statistic.php"); }
};

TEST_F(InstallReport, ANonzeroFlagIsReportedOnceAndCleared) {
    for (DWORD flag : {1u, 2u}) {
        SCOPED_TRACE(flag);
        SetFlag(flag);
        const size_t mark = RequestMark();
        ReportPendingInstall();
        const auto requests = RequestsSince(mark);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].target, kReport);
        // The header block as sent, pieces in order, ending CR LF LF (the
        // server reads up to the first blank line).
        const std::string& raw = requests[0].raw;
        const size_t accept = raw.find("Accept: */*\r\n");
        const size_t agent =
            raw.find("User-Agent: Mozilla/4.0 (compatible; MSIE 5.0;* Windows NT)\r\n");
        const size_t type = raw.find("Content-type: application/x-www-form-urlencoded\r\n");
        ASSERT_NE(accept, std::string::npos) << raw;
        ASSERT_NE(agent, std::string::npos) << raw;
        ASSERT_NE(type, std::string::npos) << raw;
        EXPECT_LT(accept, agent);
        EXPECT_LT(agent, type);
        EXPECT_EQ(raw.rfind("GET ", 0), 0u) << raw;
        EXPECT_EQ(Flag(), std::optional<DWORD>(0));

        // Cleared: the next call sends nothing.
        const size_t again = RequestMark();
        ReportPendingInstall();
        EXPECT_TRUE(RequestsSince(again).empty());
    }
}

TEST_F(InstallReport, NoFlagOrNoKeySendsNothing) {
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"Isinstall");
    const size_t mark = RequestMark();
    ReportPendingInstall();
    EXPECT_TRUE(RequestsSince(mark).empty());
    EXPECT_FALSE(Flag());
}

TEST_F(InstallReport, AnErrorStatusStillCountsAsReported) {
    rig::updateserver::SetFault(L"install_statistic.php", "status 404\n");
    SetFlag(1);
    const size_t mark = RequestMark();
    ReportPendingInstall();
    EXPECT_EQ(RequestsSince(mark).size(), 1u);
    EXPECT_EQ(Flag(), std::optional<DWORD>(0));
}

TEST_F(InstallReport, ARequestThatCannotBeMadeThrows) {
    // Nothing listens on port 1 of the loopback host. (The whole report with
    // the update server unreachable: test_install_report_offline.)
    EXPECT_THROW(HttpRequestNoReply(L"http://127.0.0.1:1/append/application/"
                                    L"install_statistic.php?a=install"),
                 InternetError);
}

}  // namespace
