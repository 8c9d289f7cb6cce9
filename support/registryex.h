// One open settings key with the status of its last operation.
#pragma once

#include "framework/handle.h"
#include "support/settings.h"

#include <windows.h>

#include <span>
#include <string>
#include <string_view>

namespace zarn {

namespace support_detail {
// A key handle that may also be a predefined root (HKEY_CURRENT_USER, ...),
// which is never closed; every other key is closed with RegCloseKey.
struct key_or_root_traits {
    using type = HKEY;
    static type invalid() noexcept { return nullptr; }
    static void close(type key) noexcept;
};
}  // namespace support_detail

using unique_key_or_root = zfw::unique_resource<support_detail::key_or_root_traits>;

// Opens or creates a key under HKEY_CURRENT_USER with full access and reads
// and writes values through that one handle. The fields below record the
// last operation so callers can tell why something failed.
class CRegistryEx {
public:
    // Units of the buffer ReadStringToBuffer reads through (512 bytes).
    static constexpr size_t kBufferUnits = 256;
    // Units of the buffer ReadString reads through (4,096 bytes).
    static constexpr size_t kStringUnits = 2048;

    CRegistryEx();
    virtual ~CRegistryEx();

    // Opens HKEY_CURRENT_USER\keyPath (KEY_ALL_ACCESS), closing any key held
    // before. Remembers the path in m_strKey.
    bool Open(const wchar_t* keyPath);
    // Creates or opens HKEY_CURRENT_USER\keyPath (KEY_ALL_ACCESS,
    // non-volatile), closing any key held before. m_strKey is not changed.
    bool Create(const wchar_t* keyPath);
    // Closes the key held, if any; m_hKey becomes none.
    void Close();

    // Reads a value of at most four bytes into `value`, whatever its type.
    // False, with `value` untouched, when the value is missing, longer than
    // four bytes (ERROR_MORE_DATA) or shorter than four bytes.
    bool ReadDword(const wchar_t* valueName, DWORD& value);
    // Reads a value of at most 512 bytes, whatever its type, and copies its
    // bytes to the start of `destination` followed by a NUL. False, with
    // `destination` untouched, when the value is missing or larger than
    // 512 bytes, or the bytes and a NUL do not fit `destination`.
    bool ReadStringToBuffer(const wchar_t* valueName, std::span<wchar_t> destination);
    // Reads a value of at most 4,096 bytes, whatever its type, and sets
    // `result` to its units up to the first NUL or the end of the data.
    // False, with `result` untouched, when missing or larger.
    bool ReadString(const wchar_t* valueName, std::wstring& result);
    // Stores `value` as REG_SZ with its terminating NUL.
    bool WriteString(const wchar_t* valueName, std::wstring_view value);
    // Stores `value` as REG_DWORD. The status is not kept.
    void WriteDword(const wchar_t* valueName, DWORD value);

    CRegistryEx(const CRegistryEx&) = delete;
    CRegistryEx& operator=(const CRegistryEx&) = delete;

    LONG m_lResult = ERROR_SUCCESS;  // status of the last open, create, read or write
    DWORD m_dwType = 0;              // value type of the last read or write
    DWORD m_dwSize = 0;              // byte count of the last read or write
    unique_key_or_root m_hKey;       // HKEY_CURRENT_USER until opened; none after Close
    std::wstring m_strKey;           // key path last given to Open

private:
    // RegQueryValueExW into `buffer`; records status, type and size.
    bool Query(const wchar_t* valueName, BYTE* buffer, DWORD capacity);
};


// The ensure-key sequence: opens HKEY_CURRENT_USER\keyPath, and creates it
// when it cannot be opened. True when `key` then holds it open; when false,
// the caller skips its read or write.
bool EnsureKey(CRegistryEx& key, const wchar_t* keyPath);

// The ensure-key sequence on the settings key.
inline bool EnsureSettingsKey(CRegistryEx& key) { return EnsureKey(key, kSettingsKey); }

}  // namespace zarn
