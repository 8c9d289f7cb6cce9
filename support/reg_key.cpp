#include "support/reg_key.h"

#include <cstring>

namespace zarn {

namespace {

bool IsPredefinedRoot(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ||
           key == HKEY_USERS || key == HKEY_PERFORMANCE_DATA || key == HKEY_CURRENT_CONFIG ||
           key == HKEY_DYN_DATA || key == HKEY_CURRENT_USER_LOCAL_SETTINGS;
}

bool TypeAllowed(RegTypes types, DWORD type) {
    switch (types) {
    case RegTypes::Any:
        return true;
    case RegTypes::Dword:
        return type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN;
    case RegTypes::Text:
        return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_LINK;
    }
    return false;
}

// The UTF-16 units in `bytes`, up to the first NUL. A text stored without
// its terminator ends where its data ends; an odd last byte is no unit.
std::wstring TextUpToNul(const std::vector<BYTE>& bytes) {
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos) text.resize(end);
    return text;
}

}  // namespace

void support_detail::key_or_root_traits::close(HKEY key) noexcept {
    if (!IsPredefinedRoot(key)) ::RegCloseKey(key);
}

RegKey::RegKey() noexcept : key_(HKEY_CURRENT_USER) {}

RegKey::~RegKey() = default;

bool RegKey::Open(const wchar_t* path, REGSAM access) {
    Close();
    status_ = ::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, access, key_.put());
    if (status_ != ERROR_SUCCESS) key_.reset();
    return status_ == ERROR_SUCCESS;
}

bool RegKey::Create(const wchar_t* path, REGSAM access) {
    Close();
    status_ = ::RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                access, nullptr, key_.put(), nullptr);
    if (status_ != ERROR_SUCCESS) key_.reset();
    return status_ == ERROR_SUCCESS;
}

void RegKey::Close() noexcept { key_.reset(); }

std::optional<std::vector<BYTE>> RegKey::ReadBytes(const wchar_t* name, const RegReadRule& rule,
                                                   DWORD& type) {
    DWORD capacity = rule.maxBytes;
    if (capacity == 0) {
        // Any size: ask the registry how many bytes there are first.
        status_ = ::RegQueryValueExW(key_.get(), name, nullptr, &type, nullptr, &capacity);
        if (status_ != ERROR_SUCCESS) return std::nullopt;
    }
    // A zero-byte value still gets a block, so that a read that succeeds
    // always has somewhere to put what it read.
    std::vector<BYTE> bytes(capacity ? capacity : 1);
    DWORD size = capacity;
    // A value that grew since the size query (or is over the rule's limit)
    // makes the registry answer ERROR_MORE_DATA, writing nothing past `size`.
    status_ = ::RegQueryValueExW(key_.get(), name, nullptr, &type, bytes.data(), &size);
    if (status_ != ERROR_SUCCESS) return std::nullopt;
    if (size > capacity) {
        status_ = ERROR_MORE_DATA;
        return std::nullopt;
    }
    if (!TypeAllowed(rule.types, type)) {
        status_ = ERROR_UNSUPPORTED_TYPE;
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

std::optional<RegDword> RegKey::ReadDword(const wchar_t* name, const RegReadRule& rule) {
    RegDword result;
    const std::optional<std::vector<BYTE>> bytes = ReadBytes(name, rule, result.type);
    if (!bytes) return std::nullopt;
    // A shorter value would leave part of the number unwritten: refuse it
    // rather than invent the missing bytes.
    if (bytes->size() < sizeof(DWORD) || (rule.exactlyFourBytes && bytes->size() != sizeof(DWORD))) {
        status_ = ERROR_INVALID_DATA;
        return std::nullopt;
    }
    std::memcpy(&result.value, bytes->data(), sizeof(DWORD));
    return result;
}

std::optional<std::wstring> RegKey::ReadText(const wchar_t* name, const RegReadRule& rule) {
    DWORD type = REG_NONE;
    const std::optional<std::vector<BYTE>> bytes = ReadBytes(name, rule, type);
    if (!bytes) return std::nullopt;
    return TextUpToNul(*bytes);
}

bool RegKey::WriteText(const wchar_t* name, std::wstring_view value) {
    const std::wstring text(value);  // with its terminating NUL
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (bytes > MAXDWORD) {
        status_ = ERROR_INVALID_PARAMETER;
        return false;
    }
    status_ = ::RegSetValueExW(key_.get(), name, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>(bytes));
    return status_ == ERROR_SUCCESS;
}

bool RegKey::WriteDword(const wchar_t* name, DWORD value) {
    status_ = ::RegSetValueExW(key_.get(), name, 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&value), sizeof(value));
    return status_ == ERROR_SUCCESS;
}

std::optional<RegDword> ReadSettingDword(const wchar_t* name, const RegReadRule& rule) {
    RegKey key;
    if (!key.Open(kSettingsKey, KEY_READ)) return std::nullopt;
    return key.ReadDword(name, rule);
}

std::optional<std::wstring> ReadSettingText(const wchar_t* name, const RegReadRule& rule) {
    RegKey key;
    if (!key.Open(kSettingsKey, KEY_READ)) return std::nullopt;
    return key.ReadText(name, rule);
}

}  // namespace zarn
