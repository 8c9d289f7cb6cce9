// A transfer program hung inside its handler: the page's call comes back
// after the send limit and the list is not sent again. The limit is the
// hand-off's setting, shortened here so that the suite does not wait out the
// real two minutes; what the setting reads to is tested on its own.
#include "common/transfer.h"

#include "launch/handoff.h"

using namespace rig::transfer;

namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Zarn";
constexpr wchar_t kLimitValue[] = L"HandOffLimitMs";

class HungTransfer : public TransferTest {
protected:
    void SetLimit(DWORD ms) {
        ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kLimitValue, REG_DWORD, &ms,
                                    sizeof(ms)),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kLimitValue);
        TransferTest::TearDown();
    }
};

TEST_F(HungTransfer, CallReturnsAfterTheLimitWithOneDelivery) {
    constexpr DWORD kLimitMs = 4000;
    SetLimit(kLimitMs);
    // The stand-in comes back from its handler a while after the limit.
    StandInSettings{L"1", L"hang", std::to_wstring(kLimitMs + 2000)}.Apply();
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");

    const CallResult call = Call(L"DownLoad", L"user", L"secret", L"list");
    ASSERT_HRESULT_SUCCEEDED(call.hr);
    EXPECT_GE(call.ms(), kLimitMs - 500) << "the call came back before the limit";
    // Once the stand-in reads its messages again, a list sent a second time
    // would be waiting for it, and it records every list it takes.
    HWND window = ::FindWindowW(L"Zarn_class_down", nullptr);
    ASSERT_NE(window, nullptr);
    DWORD_PTR ignored = 0;
    ASSERT_NE(::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &ignored), 0);
    ASSERT_NE(::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &ignored), 0);
    EXPECT_EQ(Select(Record(), "download", "list").size(), 1u) << "the list went out twice";
}

TEST_F(HungTransfer, LimitSettingShortensButNeverLengthens) {
    using zarn::HandOff;
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kLimitValue);
    EXPECT_EQ(zarn::HandOffLimitSetting(), HandOff::kDefaultLimitMs);
    EXPECT_EQ(HandOff::kDefaultLimitMs, 120000u) << "two minutes for a live program";
    SetLimit(5000);
    EXPECT_EQ(zarn::HandOffLimitSetting(), 5000u);
    SetLimit(HandOff::kMinLimitMs);
    EXPECT_EQ(zarn::HandOffLimitSetting(), HandOff::kMinLimitMs);
    SetLimit(HandOff::kMinLimitMs - 1);
    EXPECT_EQ(zarn::HandOffLimitSetting(), HandOff::kDefaultLimitMs);
    SetLimit(HandOff::kDefaultLimitMs + 1);
    EXPECT_EQ(zarn::HandOffLimitSetting(), HandOff::kDefaultLimitMs);
    // A text is not a number of milliseconds.
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kLimitValue, REG_SZ, L"5000",
                      5 * sizeof(wchar_t));
    EXPECT_EQ(zarn::HandOffLimitSetting(), HandOff::kDefaultLimitMs);
}

// A program that answers 0 a little before the limit, every time: the whole
// hand-off, sends and waits, still ends at the limit (ten full sends would
// take ten times as long), and UpLoad says the list was not taken.
TEST_F(HungTransfer, SlowRefusalsEndWithinOneLimit) {
    constexpr DWORD kLimitMs = 4000;
    SetLimit(kLimitMs);
    StandInSettings{L"0", L"hang", L"3000"}.Apply();
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");

    const CallResult call = Call(L"UpLoad", L"user", L"secret", L"list");
    ASSERT_HRESULT_SUCCEEDED(call.hr);
    EXPECT_EQ(call.result.vt, VT_I4);
    EXPECT_EQ(call.result.lVal, 2) << "the program never answered 1";
    EXPECT_GE(call.ms(), kLimitMs - 500) << "the call gave up before the limit";
    EXPECT_LT(call.ms(), kLimitMs + 5000) << "the passes did not share the limit";
    // The first send was refused after 3 s; the second got what was left
    // and ran out. None followed.
    const auto lists = Select(Record(), "upload", "list");
    EXPECT_GE(lists.size(), 1u);
    EXPECT_LE(lists.size(), 2u);
}

}  // namespace
