// AllowPopUp under Wine: one REG_DWORD 0 entry in the browser's pop-up allow
// list, only when the browser has made that list.
#include "common/desktop.h"

#include <string>
#include <vector>

namespace {

using namespace rig::desktop;

constexpr wchar_t kNewWindows[] = L"Software\\Microsoft\\Internet Explorer\\New Windows";
constexpr wchar_t kAllow[] = L"Software\\Microsoft\\Internet Explorer\\New Windows\\Allow";

// Type and bytes of an entry, "" with REG_NONE when there is none.
std::pair<DWORD, std::string> Entry(const wchar_t* name) {
    char bytes[64];
    DWORD type = REG_NONE, size = sizeof(bytes);
    if (::RegGetValueW(HKEY_CURRENT_USER, kAllow, name, RRF_RT_ANY, &type, bytes, &size))
        return {REG_NONE, ""};
    return {type, std::string(bytes, size)};
}
const std::pair<DWORD, std::string> kDwordZero{REG_DWORD, std::string(4, '\0')};

bool KeyExists(const wchar_t* path) {
    zfw::unique_hkey key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

class AllowPopUpTest : public ::testing::Test {
protected:
    void SetUp() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, kNewWindows); }
    void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, kNewWindows); }
    void Allow(Arg name) {
        const CallResult call = control_.Call(L"AllowPopUp", {name});
        ASSERT_EQ(S_OK, call.hr) << std::hex << call.hr;
        EXPECT_EQ(0, call.value);
    }
    static void Put(const wchar_t* name, DWORD type, const std::string& bytes) {
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CURRENT_USER, kAllow, name, type,
                                                   bytes.data(), static_cast<DWORD>(bytes.size())));
    }
    Control control_;
};

TEST_F(AllowPopUpTest, WithoutTheBrowsersListNothingIsCreated) {
    Allow(L"site.example");
    EXPECT_FALSE(KeyExists(kNewWindows));
    zfw::unique_hkey parent;  // the parent alone is not the list either
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyW(HKEY_CURRENT_USER, kNewWindows, parent.put()));
    Allow(L"site.example");
    EXPECT_FALSE(KeyExists(kAllow));
}

TEST_F(AllowPopUpTest, EntryIsDwordZeroUnderTheNameAsGiven) {
    Put(L"keep.example", REG_SZ, std::string("x\0\0\0", 4));
    Put(L"text.example", REG_SZ, std::string("y\0\0\0", 4));
    Put(L"wide.example", REG_BINARY, "12345678");
    for (const wchar_t* name : {L"site.example", L"text.example", L"wide.example",
                                L" Mixed.Case.Example ", L"http://a.example/b\\c"}) {
        Allow(name);
        EXPECT_EQ(kDwordZero, Entry(name)) << rig::Utf8(name);
    }
    EXPECT_EQ(REG_NONE, Entry(L"mixed.case.example").first) << "the name was trimmed or folded";
    EXPECT_EQ(REG_SZ, Entry(L"keep.example").first) << "another entry changed";
    EXPECT_EQ(REG_NONE, Entry(L"").first) << "the default value was written";

    for (const Arg& empty : {Arg(L""), Arg(nullptr)}) {
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kAllow, nullptr);
        Allow(empty);
        EXPECT_EQ(kDwordZero, Entry(L"")) << "the default value";
    }
}

}  // namespace
