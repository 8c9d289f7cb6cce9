// The whole road of DownLoad and UpLoad with the update server stand-in: the
// install report, the gate's update dialog and installer on a machine
// without the transfer programs, and a gate that refuses.
#include "common/transfer.h"

#include <atomic>
#include <thread>

#include "common/release.h"
#include "common/dialog_watcher.h"
#include "common/updateserver.h"

using namespace rig::transfer;
namespace server = rig::updateserver;

namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Zarn";

void SetFlag(DWORD value) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"Isinstall", REG_DWORD, &value,
                                sizeof(value)),
              ERROR_SUCCESS);
}

DWORD Flag() {
    DWORD value = 0xdeadbeef, size = sizeof(value);
    ::RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"Isinstall", RRF_RT_REG_DWORD, nullptr, &value,
                   &size);
    return value;
}

size_t Requests(std::wstring_view path) { return server::RequestsTagged(path).size(); }

// Answers every message box captioned "알림" of this process with OK.
class MessageBoxAnswerer {
public:
    MessageBoxAnswerer() {
        watcher_.On(L"\uC54C\uB9BC", [](HWND box) { rig::Click(box, IDOK); }).Start();
    }
    int answered() const { return watcher_.handled(); }

private:
    rig::DialogWatcher watcher_;
};

class TransferRoad : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        RemoveInstalled();
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"version");
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"release");
        SetFlag(0);
        for (const wchar_t* name : {L"version.ini", L"install.zip", L"GetInstallFileSize.php",
                                    L"install_statistic.php"})
            server::ClearFault(name);
    }
};

// Nothing installed: flag 0 (no report), the gate's dialog fetches the
// version file and the installer, the installer installs the programs, and
// the control starts the download program and hands it the list.
TEST_F(TransferRoad, NothingInstalledEndsWithTheListAtTheNewProgram) {
    rig::release::Publish("2.0.1",
                          rig::ReadFileBytes(rig::BuildDir() + L"\\Zarn_setup.exe").value_or(""));
    const size_t reportsBefore = Requests(L"install_statistic.php");
    const size_t versionFetchesBefore = Requests(L"version.ini");

    const CallResult call = Call(L"DownLoad", L"user id", L"pw", L"/home/a.txt|10|/home/b|0");
    ASSERT_HRESULT_SUCCEEDED(call.hr);

    EXPECT_EQ(Requests(L"install_statistic.php"), reportsBefore) << "flag 0 sends no report";
    EXPECT_GT(Requests(L"version.ini"), versionFetchesBefore) << "the gate ran its version check";
    const auto all = Record();
    const auto starts = Select(all, "download", "start");
    ASSERT_EQ(starts.size(), 1u) << "the download program was not started";
    const auto args = Select(all, "download", "arg");
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[1].rest, "1 user id");
    EXPECT_EQ(args[2].rest, "2 pw");
    const auto lists = Select(all, "download", "list");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].fields.at("bytes"), Hex(std::string("/home/a.txt|10|/home/b|0") + '\0'));
    EXPECT_TRUE(Select(all, "upload", "start").empty()) << "only the wanted program starts";
}

// The install flag (any nonzero value) is reported once, before the gate,
// then cleared.
TEST_F(TransferRoad, PendingInstallIsReportedOnce) {
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");
    const size_t before = Requests(L"install_statistic.php?a=install");

    SetFlag(2);
    const CallResult first = Call(L"UpLoad", L"user", L"pw", L"a");
    ASSERT_HRESULT_SUCCEEDED(first.hr);
    EXPECT_EQ(first.result.lVal, 0);
    EXPECT_EQ(Flag(), 0u);
    EXPECT_EQ(Requests(L"install_statistic.php?a=install") - before, 1u);

    const CallResult second = Call(L"UpLoad", L"user", L"pw", L"b");
    ASSERT_HRESULT_SUCCEEDED(second.hr);
    EXPECT_EQ(Requests(L"install_statistic.php?a=install") - before, 1u) << "reported twice";
    EXPECT_EQ(Select(Record(), "upload", "list").size(), 2u);
}

// A gate that refuses (the installer reports that it stopped): UpLoad
// answers 1, DownLoad nothing, and no program is started though both are
// installed.
TEST_F(TransferRoad, RefusedGateStartsNothing) {
    InstallStandIns();
    rig::release::Publish("2.0.2",
                          rig::ReadFileBytes(rig::BuildDir() + L"\\Zarn_setup.exe").value_or(""));
    SetEnv(L"ZARN_SETUP_MODE", L"report1");
    MessageBoxAnswerer answerer;  // whatever the dialog tells the user

    const CallResult up = Call(L"UpLoad", L"user", L"pw", L"a");
    ASSERT_HRESULT_SUCCEEDED(up.hr);
    EXPECT_EQ(up.result.vt, VT_I4);
    EXPECT_EQ(up.result.lVal, 1);
    const CallResult down = Call(L"DownLoad", L"user", L"pw", L"a");
    ASSERT_HRESULT_SUCCEEDED(down.hr);
    EXPECT_EQ(down.result.vt, VT_EMPTY);

    SetEnv(L"ZARN_SETUP_MODE", L"");
    EXPECT_TRUE(Record().empty()) << "a program was started";
}

}  // namespace
