// The install report built for an update server that cannot be reached.
#include <windows.h>

#include "launch/install_report.cpp"

// In place of the build's address (tests/test_install_report_offline.cmake).
std::wstring_view zarn::UpdateServerBase() {
    return L"http://127.0.0.1:1";  // nothing listens on port 1
}

#include "common/rig.h"

#include <gtest/gtest.h>

#include <optional>

using zarn::ReportPendingInstall;

namespace {

constexpr wchar_t kKey[] = L"Software\\Zarn";

std::optional<DWORD> Flag() {
    DWORD value = 0xdeadbeef;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, kKey, L"Isinstall", RRF_RT_REG_DWORD, nullptr, &value,
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

TEST(InstallReportOffline, FailsTheCallWithAClearErrorAndKeepsTheFlag) {
    DWORD one = 1;
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"Isinstall", REG_DWORD, &one, sizeof(one));
    for (int call = 0; call < 2; ++call) {  // each call tries again
        std::wstring description;
        try {
            ReportPendingInstall();
        } catch (const zfw::CallFailure& error) {
            description = error.description();
        }
        EXPECT_NE(description.find(L"install report could not be sent"), std::wstring::npos)
            << "got: " << rig::Utf8(description);
        EXPECT_NE(description.find(L"127.0.0.1:1"), std::wstring::npos);
        EXPECT_EQ(Flag(), std::optional<DWORD>(1));
    }
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"Isinstall");
}

}  // namespace
