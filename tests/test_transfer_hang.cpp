// A transfer program hung inside its handler: the page's call comes back
// after the send limit (two minutes) and the list is not sent again.
// Slow by nature: it waits out the real limit.
#include "test_transfer_rig.h"

#include "launch/handoff.h"

using namespace transfer_rig;

namespace {

class HungTransfer : public TransferTest {};

TEST_F(HungTransfer, CallReturnsAfterTheLimitWithOneDelivery) {
    StandInSettings{L"1", L"hang", L"400000"}.Apply();
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");

    const CallResult call = Call(L"DownLoad", L"user", L"secret", L"list");
    ASSERT_HRESULT_SUCCEEDED(call.hr);
    const ULONGLONG limit = zarn::ProgramWindow::kDefaultSendLimitMs;
    EXPECT_GE(call.ms(), limit - 500);
    EXPECT_LT(call.ms(), limit + 3000) << "no pass may follow a send that ran out of time";
    EXPECT_EQ(Select(Record(), "download", "list").size(), 1u);
}

}  // namespace
