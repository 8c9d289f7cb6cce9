// The settings key type and its read rules against the real registry of the
// test prefix.
// Every test works under its own scratch key, so suites running side by side
// never see each other's values.
#include "support/reg_key.h"
#include "support/settings_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using namespace zarn;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        keyPath_ = L"Software\\ZarnTest\\" + std::to_wstring(::GetCurrentProcessId()) + L"\\" +
                   std::wstring(info->name(), info->name() + std::strlen(info->name()));
        ::RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str());
    }
    void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str()); }

    // Stores exactly `bytes` under `name`: the registry adds a terminator to
    // string data only when a NUL follows the given bytes, so callers that
    // want none pass text followed by something else.
    void Put(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        zfw::unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr,
                                                   0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), name, 0, type,
                                                  static_cast<const BYTE*>(data), bytes));
    }
    void PutText(const wchar_t* name, DWORD type, const std::wstring& text) {
        Put(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    // Type and bytes of a value as the registry holds it.
    std::pair<DWORD, std::vector<BYTE>> Stored(const wchar_t* name) {
        std::vector<BYTE> bytes(8192);
        DWORD type = 0, size = static_cast<DWORD>(bytes.size());
        if (::RegGetValueW(HKEY_CURRENT_USER, keyPath_.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND,
                           &type, bytes.data(), &size) != ERROR_SUCCESS)
            return {REG_NONE, {}};
        bytes.resize(size);
        return {type, bytes};
    }

    std::wstring keyPath_;
};

TEST_F(RegistryTest, ReaderDwordAcceptsOnlyDwordTypesAsStored) {
    {
        RegKey none;
        EXPECT_FALSE(none.Open(keyPath_.c_str(), KEY_READ)) << "no key";
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, none.Status());
    }
    const BYTE bigEndianOne[] = {0, 0, 0, 1};
    Put(L"big", REG_DWORD_BIG_ENDIAN, bigEndianOne, sizeof(bigEndianOne));
    const DWORD seven = 7;
    Put(L"dword", REG_DWORD, &seven, sizeof(seven));
    PutText(L"text", REG_SZ, L"1");
    const BYTE two[] = {1, 2};
    Put(L"short", REG_DWORD, two, sizeof(two));
    Put(L"binary", REG_BINARY, &seven, sizeof(seven));

    RegKey reader;
    ASSERT_TRUE(reader.Open(keyPath_.c_str(), KEY_READ)) << reader.Status();
    EXPECT_FALSE(reader.ReadDword(L"missing", regrule::kDwordType));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reader.Status());
    EXPECT_FALSE(reader.ReadDword(L"text", regrule::kDwordType)) << "REG_SZ is not a number";
    EXPECT_FALSE(reader.ReadDword(L"binary", regrule::kDwordType));
    EXPECT_FALSE(reader.ReadDword(L"short", regrule::kDwordType))
        << "two bytes must not be read as four";

    std::optional<RegDword> read = reader.ReadDword(L"dword", regrule::kDwordType);
    ASSERT_TRUE(read);
    EXPECT_EQ(7u, read->value);
    read = reader.ReadDword(L"big", regrule::kDwordType);
    ASSERT_TRUE(read);
    EXPECT_EQ(0x01000000u, read->value) << "bytes 00 00 00 01 taken without a swap";
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD_BIG_ENDIAN), read->type);
}

TEST_F(RegistryTest, ReaderStringTakesTextTypesUnexpanded) {
    PutText(L"sz", REG_SZ, L"1.0.3\r\n");
    PutText(L"expand", REG_EXPAND_SZ, L"%TEMP%\\x");
    PutText(L"link", REG_LINK, L"target");
    PutText(L"empty", REG_SZ, L"");
    Put(L"nobytes", REG_SZ, nullptr, 0);
    const wchar_t unterminated[] = L"abcX";  // stored: "abc" without its NUL
    Put(L"unterminated", REG_SZ, unterminated, 3 * sizeof(wchar_t));
    Put(L"odd", REG_SZ, unterminated, 3 * sizeof(wchar_t) + 1);
    const DWORD one = 1;
    Put(L"dword", REG_DWORD, &one, sizeof(one));
    PutText(L"long", REG_SZ, std::wstring(5000, L'v'));

    RegKey reader;
    ASSERT_TRUE(reader.Open(keyPath_.c_str(), KEY_READ)) << reader.Status();
    EXPECT_FALSE(reader.ReadText(L"version", regrule::kTextType));
    const std::pair<const wchar_t*, const wchar_t*> accepted[] = {
        {L"sz", L"1.0.3\r\n"}, {L"expand", L"%TEMP%\\x"}, {L"link", L"target"},
        {L"empty", L""},       {L"nobytes", L""},        {L"unterminated", L"abc"},
        {L"odd", L"abc"}};
    for (const auto& [name, expected] : accepted) {
        const std::optional<std::wstring> text = reader.ReadText(name, regrule::kTextType);
        ASSERT_TRUE(text) << name;
        EXPECT_EQ(expected, *text) << name;
    }
    EXPECT_FALSE(reader.ReadText(L"dword", regrule::kTextType));
    EXPECT_EQ(ERROR_UNSUPPORTED_TYPE, reader.Status());
    EXPECT_EQ(std::wstring(5000, L'v'), reader.ReadText(L"long", regrule::kTextType).value_or(L""))
        << "no size limit under this rule";
}

TEST_F(RegistryTest, KeyOpenCreateCloseStates) {
    RegKey key;
    EXPECT_EQ(HKEY_CURRENT_USER, key.get());

    EXPECT_FALSE(key.Open(keyPath_.c_str())) << "the key does not exist yet";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Status());
    EXPECT_EQ(nullptr, key.get()) << "a failed open holds no key";

    const std::wstring other = keyPath_ + L"\\other";
    ASSERT_TRUE(key.Create(other.c_str())) << key.Status();

    // Create after an open key closes the first one: its handle either
    // stops working or is handed out again for the new key.
    ASSERT_TRUE(key.Open(other.c_str()));
    const HKEY first = key.get();
    ASSERT_TRUE(key.Create(keyPath_.c_str()));
    const HKEY second = key.get();
    DWORD subkeys = 0;
    const LONG status = ::RegQueryInfoKeyW(first, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(first == second || status == ERROR_INVALID_HANDLE)
        << "first key still open, status " << status;

    const DWORD one = 1;
    Put(L"v", REG_DWORD, &one, sizeof(one));
    key.Close();
    EXPECT_EQ(nullptr, key.get());
    EXPECT_FALSE(key.ReadDword(L"v", regrule::kFourBytes)) << "no reads through a closed key";
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.Status());
}

TEST_F(RegistryTest, EnsureKeyCreatesThenOpens) {
    RegKey key;
    ASSERT_TRUE(key.OpenOrCreate(keyPath_.c_str())) << key.Status();
    ASSERT_TRUE(key.WriteText(L"version", L"2"));
    key.Close();

    RegKey again;
    ASSERT_TRUE(again.OpenOrCreate(keyPath_.c_str()));
    EXPECT_EQ(L"2", again.ReadText(L"version", regrule::kLongText).value_or(L"missing"));
}

TEST_F(RegistryTest, KeyDwordReadTakesAnyFourBytes) {
    const wchar_t one[] = L"1";  // "1" with its NUL: bytes 31 00 00 00
    Put(L"Isinstall", REG_SZ, one, sizeof(one));
    const ULONGLONG wide = 1;
    Put(L"qword", REG_QWORD, &wide, sizeof(wide));
    const BYTE big[] = {0, 0, 0, 1};
    Put(L"big", REG_DWORD_BIG_ENDIAN, big, sizeof(big));
    const BYTE two[] = {1, 2};
    Put(L"short", REG_BINARY, two, sizeof(two));

    RegKey key;
    ASSERT_TRUE(key.Open(keyPath_.c_str()));
    std::optional<RegDword> read = key.ReadDword(L"Isinstall", regrule::kFourBytes);
    ASSERT_TRUE(read);
    EXPECT_EQ(49u, read->value);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), read->type);

    read = key.ReadDword(L"big", regrule::kFourBytes);
    ASSERT_TRUE(read);
    EXPECT_EQ(0x01000000u, read->value);

    EXPECT_FALSE(key.ReadDword(L"qword", regrule::kFourBytes)) << "eight bytes do not fit";
    EXPECT_EQ(ERROR_MORE_DATA, key.Status());
    EXPECT_FALSE(key.ReadDword(L"short", regrule::kFourBytes))
        << "two bytes are not a whole number";
    EXPECT_FALSE(key.ReadDword(L"missing", regrule::kFourBytes));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Status());
}

// The reader keeps its handle between reads: what another writer stores, and
// a key deleted or made anew under it, must show at the next read.
TEST_F(RegistryTest, HeldReaderFollowsTheKeyAndTakesAnyFourBytes) {
    const auto put = [&](DWORD value) { Put(L"n", REG_DWORD, &value, sizeof(value)); };
    put(5);
    HeldKeyReader reader(keyPath_.c_str());
    std::optional<DwordSetting> read = reader.ReadDword(L"n");
    ASSERT_TRUE(read);
    EXPECT_EQ(5u, read->value);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), read->type);
    put(6);
    EXPECT_EQ(6u, reader.ReadDword(L"n").value_or(DwordSetting{}).value);

    ::RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str());
    EXPECT_FALSE(reader.ReadDword(L"n")) << "a deleted key holds nothing";
    put(7);
    EXPECT_EQ(7u, reader.ReadDword(L"n").value_or(DwordSetting{}).value);
    // Deleted and made again between two reads: the held handle names the
    // deleted key, and must not answer for the new one.
    ::RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str());
    put(8);
    EXPECT_EQ(8u, reader.ReadDword(L"n").value_or(DwordSetting{}).value);
    reader.Release();
    EXPECT_EQ(8u, reader.ReadDword(L"n").value_or(DwordSetting{}).value) << "opens again";

    const wchar_t one[] = L"1";  // bytes 31 00 00 00
    Put(L"text", REG_SZ, one, sizeof(one));
    read = reader.ReadDword(L"text");
    ASSERT_TRUE(read);
    EXPECT_EQ(49u, read->value);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), read->type);
    const ULONGLONG wide = 1;
    Put(L"qword", REG_QWORD, &wide, sizeof(wide));
    EXPECT_FALSE(reader.ReadDword(L"qword")) << "eight bytes do not fit";
    const BYTE two[] = {1, 2};
    Put(L"short", REG_BINARY, two, sizeof(two));
    EXPECT_FALSE(reader.ReadDword(L"short")) << "two bytes are not a whole number";
    EXPECT_FALSE(reader.ReadDword(L"missing"));
}

TEST_F(RegistryTest, KeyStringReadsByCapacity) {
    PutText(L"p255", REG_SZ, std::wstring(255, L'a'));
    PutText(L"p256", REG_SZ, std::wstring(256, L'b'));
    PutText(L"p2047", REG_SZ, std::wstring(2047, L'c'));
    PutText(L"p2048", REG_SZ, std::wstring(2048, L'd'));
    PutText(L"empty", REG_SZ, L"");
    const std::wstring full(257, L'e');  // 256 units stored without their NUL
    Put(L"unterminated", REG_SZ, full.c_str(), 256 * sizeof(wchar_t));
    const DWORD number = 0x00410042;  // any type counts under these rules: "BA"
    Put(L"dword", REG_DWORD, &number, sizeof(number));

    RegKey key;
    ASSERT_TRUE(key.Open(keyPath_.c_str()));

    // At most 512 bytes: 255 units and their NUL fit, 256 and a NUL do not.
    EXPECT_EQ(std::wstring(255, L'a'), key.ReadText(L"p255", regrule::kShortText).value_or(L""));
    EXPECT_FALSE(key.ReadText(L"p256", regrule::kShortText));
    EXPECT_EQ(ERROR_MORE_DATA, key.Status());
    // Stored without a terminator, 256 units fit and end with the data.
    EXPECT_EQ(std::wstring(256, L'e'),
              key.ReadText(L"unterminated", regrule::kShortText).value_or(L""));
    EXPECT_EQ(L"", key.ReadText(L"empty", regrule::kShortText).value_or(L"missing"));
    EXPECT_EQ(L"BA", key.ReadText(L"dword", regrule::kShortText).value_or(L""));

    // At most 4,096 bytes.
    EXPECT_EQ(std::wstring(256, L'b'), key.ReadText(L"p256", regrule::kLongText).value_or(L""));
    EXPECT_EQ(std::wstring(2047, L'c'), key.ReadText(L"p2047", regrule::kLongText).value_or(L""));
    EXPECT_FALSE(key.ReadText(L"p2048", regrule::kLongText));
    EXPECT_EQ(ERROR_MORE_DATA, key.Status());
    EXPECT_EQ(L"", key.ReadText(L"empty", regrule::kLongText).value_or(L"missing"));
}

TEST_F(RegistryTest, KeyWritesStoreTypeAndTerminator) {
    RegKey key;
    ASSERT_TRUE(key.OpenOrCreate(keyPath_.c_str()));

    ASSERT_TRUE(key.WriteText(L"empty", L""));
    ASSERT_TRUE(key.WriteDword(L"Isinstall", 0x01020304));
    key.Close();
    EXPECT_FALSE(key.WriteDword(L"closed", 1)) << "no writes through a closed key";

    auto [type, bytes] = Stored(L"empty");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(std::vector<BYTE>({0, 0}), bytes);
    std::tie(type, bytes) = Stored(L"Isinstall");
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(std::vector<BYTE>({4, 3, 2, 1}), bytes);
    EXPECT_EQ(REG_NONE, Stored(L"closed").first);
}

}  // namespace
