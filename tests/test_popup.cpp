// AllowPopUp under Wine: one REG_DWORD 0 entry in the browser's pop-up allow
// list, only when the browser has made that list.
#include "test_shortcut_rig.h"

#include <string>
#include <vector>

namespace {

using namespace shortcut_rig;

constexpr wchar_t kNewWindows[] = L"Software\\Microsoft\\Internet Explorer\\New Windows";
constexpr wchar_t kAllow[] = L"Software\\Microsoft\\Internet Explorer\\New Windows\\Allow";

struct Stored {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
    bool operator==(const Stored&) const = default;
};

Stored Read(const wchar_t* name) {
    Stored out;
    std::vector<BYTE> bytes(256);
    DWORD size = static_cast<DWORD>(bytes.size());
    if (::RegGetValueW(HKEY_CURRENT_USER, kAllow, name, RRF_RT_ANY | RRF_NOEXPAND, &out.type,
                       bytes.data(), &size) != ERROR_SUCCESS)
        return {};
    out.bytes.assign(bytes.begin(), bytes.begin() + size);
    return out;
}

void Put(const wchar_t* name, DWORD type, std::vector<BYTE> bytes) {
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CURRENT_USER, kAllow, name, type, bytes.data(),
                                               static_cast<DWORD>(bytes.size())));
}

bool KeyExists(const wchar_t* path) {
    zfw::unique_hkey key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

const Stored kDwordZero{REG_DWORD, {0, 0, 0, 0}};

class AllowPopUpTest : public ::testing::Test {
protected:
    void SetUp() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, kNewWindows); }
    void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, kNewWindows); }
    void MakeAllowList() {
        zfw::unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, kAllow, 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
    }

    ComScope com_;
};

TEST_F(AllowPopUpTest, WithoutTheBrowsersListNothingIsCreated) {
    Control control;
    CallResult call = control.Call(L"AllowPopUp", {L"site.example"});
    ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
    EXPECT_EQ(0, call.value);
    EXPECT_FALSE(KeyExists(kNewWindows)) << "the parent key was created";

    // The parent is there but the list itself is not.
    zfw::unique_hkey parent;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, kNewWindows, 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, parent.put(), nullptr));
    call = control.Call(L"AllowPopUp", {L"site.example"});
    ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
    EXPECT_EQ(0, call.value);
    EXPECT_FALSE(KeyExists(kAllow)) << "the allow list was created";
}

TEST_F(AllowPopUpTest, EntryIsDwordZeroUnderTheNameAsGiven) {
    MakeAllowList();
    Put(L"keep.example", REG_SZ, {'x', 0, 0, 0});
    Put(L"text.example", REG_SZ, {'y', 0, 0, 0});
    Put(L"five.example", REG_DWORD, {5, 0, 0, 0});
    Put(L"wide.example", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    const Stored kept = Read(L"keep.example");

    Control control;
    const wchar_t* names[] = {L"site.example", L"text.example", L"five.example",
                              L"wide.example", L" Mixed.Case.Example ", L"http://a.example/b\\c"};
    for (const wchar_t* name : names) {
        SCOPED_TRACE(rig::Utf8(name));
        const CallResult call = control.Call(L"AllowPopUp", {name});
        ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
        EXPECT_EQ(0, call.value);
        EXPECT_TRUE(Read(name) == kDwordZero) << "type " << Read(name).type;
    }
    EXPECT_EQ(REG_NONE, Read(L"mixed.case.example").type) << "the name was trimmed or folded";
    EXPECT_TRUE(Read(L"keep.example") == kept) << "another entry changed";
    EXPECT_EQ(REG_NONE, Read(L"").type) << "the default value was written";
}

TEST_F(AllowPopUpTest, EmptyOrNullNameWritesTheDefaultValue) {
    MakeAllowList();
    Control control;
    for (const Arg& name : {Arg(L""), Arg(nullptr)}) {
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kAllow, nullptr);
        const CallResult call = control.Call(L"AllowPopUp", {name});
        ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
        EXPECT_EQ(0, call.value);
        EXPECT_TRUE(Read(L"") == kDwordZero) << "type " << Read(L"").type;
    }
}

TEST_F(AllowPopUpTest, PageScriptAddsTheEntry) {
    MakeAllowList();
    const std::wstring script = rig::WriteScratchFile(
        L"popup.js", "host.print('returned ' + ctl.AllowPopUp('page.example'));\n");
    const rig::ProcessResult page = rig::RunPage(script);
    ASSERT_FALSE(page.timedOut);
    EXPECT_EQ(0u, page.exitCode) << page.output;
    EXPECT_NE(std::string::npos, page.output.find("returned 0")) << page.output;
    EXPECT_TRUE(Read(L"page.example") == kDwordZero);
}

}  // namespace
