// The settings key classes against the real registry of the test prefix.
// Every test works under its own scratch key, so suites running side by side
// never see each other's values.
#include "support/registry.h"
#include "support/registryex.h"
#include "support/settings_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using namespace zarn;

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

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
    CRegistry reader;
    DWORD value = kSentinel;
    EXPECT_FALSE(reader.ReadDword(keyPath_.c_str(), L"bAddIcon", value)) << "no key";
    EXPECT_EQ(kSentinel, value);

    const BYTE bigEndianOne[] = {0, 0, 0, 1};
    Put(L"big", REG_DWORD_BIG_ENDIAN, bigEndianOne, sizeof(bigEndianOne));
    const DWORD seven = 7;
    Put(L"dword", REG_DWORD, &seven, sizeof(seven));
    PutText(L"text", REG_SZ, L"1");
    const BYTE two[] = {1, 2};
    Put(L"short", REG_DWORD, two, sizeof(two));
    Put(L"binary", REG_BINARY, &seven, sizeof(seven));

    EXPECT_FALSE(reader.ReadDword(keyPath_.c_str(), L"missing", value));
    EXPECT_EQ(kSentinel, value);
    EXPECT_FALSE(reader.ReadDword(keyPath_.c_str(), L"text", value)) << "REG_SZ is not a number";
    EXPECT_FALSE(reader.ReadDword(keyPath_.c_str(), L"binary", value));
    EXPECT_FALSE(reader.ReadDword(keyPath_.c_str(), L"short", value))
        << "two bytes must not be read as four";
    EXPECT_EQ(kSentinel, value);

    ASSERT_TRUE(reader.ReadDword(keyPath_.c_str(), L"dword", value));
    EXPECT_EQ(7u, value);
    ASSERT_TRUE(reader.ReadDword(keyPath_.c_str(), L"big", value));
    EXPECT_EQ(0x01000000u, value) << "bytes 00 00 00 01 taken without a swap";
}

TEST_F(RegistryTest, ReaderStringTakesTextTypesUnexpanded) {
    CRegistry reader;
    std::wstring result = L"caller";
    EXPECT_FALSE(reader.ReadString(keyPath_.c_str(), L"version", result));
    EXPECT_EQ(L"caller", result);

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

    const std::pair<const wchar_t*, const wchar_t*> accepted[] = {
        {L"sz", L"1.0.3\r\n"}, {L"expand", L"%TEMP%\\x"}, {L"link", L"target"},
        {L"empty", L""},       {L"nobytes", L""},        {L"unterminated", L"abc"},
        {L"odd", L"abc"}};
    for (const auto& [name, expected] : accepted) {
        result = L"caller";
        EXPECT_TRUE(reader.ReadString(keyPath_.c_str(), name, result)) << name;
        EXPECT_EQ(expected, result) << name;
    }
    result = L"caller";
    EXPECT_FALSE(reader.ReadString(keyPath_.c_str(), L"dword", result));
    EXPECT_EQ(L"caller", result);
}

TEST_F(RegistryTest, KeyOpenCreateCloseStates) {
    CRegistryEx key;
    EXPECT_EQ(HKEY_CURRENT_USER, key.m_hKey.get());
    EXPECT_TRUE(key.m_strKey.empty());

    EXPECT_FALSE(key.Open(keyPath_.c_str())) << "the key does not exist yet";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.m_lResult);
    EXPECT_EQ(keyPath_, key.m_strKey);

    const std::wstring other = keyPath_ + L"\\other";
    ASSERT_TRUE(key.Create(other.c_str())) << key.m_lResult;
    EXPECT_EQ(keyPath_, key.m_strKey) << "Create leaves the remembered path";

    // Create after an open key closes the first one: its handle either
    // stops working or is handed out again for the new key.
    ASSERT_TRUE(key.Open(other.c_str()));
    EXPECT_EQ(0u, key.m_dwSize);
    EXPECT_EQ(0u, key.m_dwType);
    const HKEY first = key.m_hKey.get();
    ASSERT_TRUE(key.Create(keyPath_.c_str()));
    const HKEY second = key.m_hKey.get();
    DWORD subkeys = 0;
    const LONG status = ::RegQueryInfoKeyW(first, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(first == second || status == ERROR_INVALID_HANDLE)
        << "first key still open, status " << status;

    const DWORD one = 1;
    Put(L"v", REG_DWORD, &one, sizeof(one));
    key.Close();
    EXPECT_EQ(nullptr, key.m_hKey.get());
    DWORD value = kSentinel;
    EXPECT_FALSE(key.ReadDword(L"v", value)) << "no reads through a closed key";
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.m_lResult);
    EXPECT_EQ(kSentinel, value);
}

TEST_F(RegistryTest, EnsureKeyCreatesThenOpens) {
    CRegistryEx key;
    ASSERT_TRUE(EnsureKey(key, keyPath_.c_str())) << key.m_lResult;
    ASSERT_TRUE(key.WriteString(L"version", L"2"));
    key.Close();

    CRegistryEx again;
    ASSERT_TRUE(EnsureKey(again, keyPath_.c_str()));
    std::wstring text;
    EXPECT_TRUE(again.ReadString(L"version", text));
    EXPECT_EQ(L"2", text);
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

    CRegistryEx key;
    ASSERT_TRUE(key.Open(keyPath_.c_str()));
    DWORD value = kSentinel;
    ASSERT_TRUE(key.ReadDword(L"Isinstall", value));
    EXPECT_EQ(49u, value);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), key.m_dwType);
    EXPECT_EQ(4u, key.m_dwSize);

    ASSERT_TRUE(key.ReadDword(L"big", value));
    EXPECT_EQ(0x01000000u, value);

    value = kSentinel;
    EXPECT_FALSE(key.ReadDword(L"qword", value)) << "eight bytes do not fit";
    EXPECT_EQ(ERROR_MORE_DATA, key.m_lResult);
    EXPECT_EQ(8u, key.m_dwSize);
    EXPECT_FALSE(key.ReadDword(L"short", value)) << "two bytes are not a whole number";
    EXPECT_FALSE(key.ReadDword(L"missing", value));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.m_lResult);
    EXPECT_EQ(kSentinel, value);
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

    CRegistryEx key;
    ASSERT_TRUE(key.Open(keyPath_.c_str()));

    std::vector<wchar_t> buffer(1024, L'X');
    ASSERT_TRUE(key.ReadStringToBuffer(L"p255", buffer));
    EXPECT_EQ(std::wstring(255, L'a'), buffer.data());
    EXPECT_EQ(512u, key.m_dwSize);

    buffer.assign(1024, L'X');
    EXPECT_FALSE(key.ReadStringToBuffer(L"p256", buffer));
    EXPECT_EQ(ERROR_MORE_DATA, key.m_lResult);
    EXPECT_EQ(L'X', buffer[0]) << "a refused read leaves the caller's buffer";

    // Stored without a terminator, the text still ends inside the buffer.
    ASSERT_TRUE(key.ReadStringToBuffer(L"unterminated", buffer));
    EXPECT_EQ(std::wstring(256, L'e'), std::wstring(buffer.data()));

    std::vector<wchar_t> small(100, L'X');
    EXPECT_FALSE(key.ReadStringToBuffer(L"p255", small)) << "must not write past 100 units";
    EXPECT_EQ(L'X', small[0]);

    buffer.assign(1024, L'X');
    ASSERT_TRUE(key.ReadStringToBuffer(L"empty", buffer));
    EXPECT_EQ(L'\0', buffer[0]);

    std::wstring text = L"caller";
    ASSERT_TRUE(key.ReadString(L"p256", text));
    EXPECT_EQ(std::wstring(256, L'b'), text);
    ASSERT_TRUE(key.ReadString(L"p2047", text));
    EXPECT_EQ(std::wstring(2047, L'c'), text);
    text = L"caller";
    EXPECT_FALSE(key.ReadString(L"p2048", text));
    EXPECT_EQ(L"caller", text);
    ASSERT_TRUE(key.ReadString(L"empty", text));
    EXPECT_EQ(L"", text);
}

TEST_F(RegistryTest, KeyWritesStoreTypeAndTerminator) {
    CRegistryEx key;
    ASSERT_TRUE(EnsureKey(key, keyPath_.c_str()));

    ASSERT_TRUE(key.WriteString(L"empty", L""));
    EXPECT_EQ(2u, key.m_dwSize);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), key.m_dwType);
    key.WriteDword(L"Isinstall", 0x01020304);
    key.Close();

    auto [type, bytes] = Stored(L"empty");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(std::vector<BYTE>({0, 0}), bytes);
    std::tie(type, bytes) = Stored(L"Isinstall");
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(std::vector<BYTE>({4, 3, 2, 1}), bytes);
}

}  // namespace
