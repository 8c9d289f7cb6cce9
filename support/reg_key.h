// One registry key held open by one handle, and the rules a read takes.
//
// Every settings access of the product goes through RegKey. Each read states
// its rule where it reads: which stored types count and how many bytes the
// value may hold. A read answers std::optional: nullopt when the key or the
// value is missing or the value breaks the rule, so the caller's default
// stands. `Status()` says why the last operation failed, for callers that
// report it.
//
// CRegistryEx and CRegistry are the names the settings store has always had;
// they name this same type.
#pragma once

#include "framework/handle.h"
#include "support/settings.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Which stored types a read accepts.
enum class RegTypes {
    Any,    // whatever the type: the bytes are taken as they are
    Dword,  // REG_DWORD or REG_DWORD_BIG_ENDIAN (no byte swap for either)
    Text,   // REG_SZ, REG_EXPAND_SZ or REG_LINK (references not expanded)
};

// How a read sizes the value it takes.
struct RegReadRule {
    RegTypes types = RegTypes::Any;
    // The most bytes the value may hold; a larger value is refused with
    // ERROR_MORE_DATA. 0: any size (the read asks the registry first).
    DWORD maxBytes = 0;
    // For a number: the value must hold exactly four bytes. Otherwise it
    // must hold at least four, and the first four are taken.
    bool exactlyFourBytes = false;
};

// The rules the settings reads have always used.
namespace regrule {
// Any type, exactly four bytes: the install flag, the release number as the
// update dialog writes it, the send limit.
inline constexpr RegReadRule kFourBytes{RegTypes::Any, sizeof(DWORD), true};
// A DWORD type of at least four bytes: "bAddIcon", the installed release.
inline constexpr RegReadRule kDwordType{RegTypes::Dword, 0, false};
// A text type of any length: the installed "version".
inline constexpr RegReadRule kTextType{RegTypes::Text, 0, false};
// Any type, at most 512 bytes: the file picker's start folder.
inline constexpr RegReadRule kShortText{RegTypes::Any, 512, false};
// Any type, at most 4,096 bytes: the folder browser's start folder.
inline constexpr RegReadRule kLongText{RegTypes::Any, 4096, false};
}  // namespace regrule

// A number read from the registry, with the type it was stored as.
struct RegDword {
    DWORD value = 0;
    DWORD type = REG_NONE;
};

class RegKey {
public:
    // Holds HKEY_CURRENT_USER itself until a key is opened.
    RegKey() noexcept;
    ~RegKey();

    // Opens HKEY_CURRENT_USER\path with `access`, closing any key held
    // before. False (and Status() says why) when it cannot be opened.
    bool Open(const wchar_t* path, REGSAM access = KEY_ALL_ACCESS);
    // Creates or opens HKEY_CURRENT_USER\path (non-volatile), closing any
    // key held before.
    bool Create(const wchar_t* path, REGSAM access = KEY_ALL_ACCESS);
    // The ensure-key sequence: Open, and Create when that fails.
    bool OpenOrCreate(const wchar_t* path) { return Open(path) || Create(path); }
    // Closes the key held, if any; the object then holds no key.
    void Close() noexcept;

    HKEY get() const noexcept { return key_.get(); }

    // A number under `rule` (see RegReadRule), with its stored type.
    std::optional<RegDword> ReadDword(const wchar_t* name, const RegReadRule& rule);
    // Text under `rule`: the stored UTF-16 units up to the first NUL or the
    // end of the data (a text stored without a terminator ends with its
    // data; an odd last byte is no unit).
    std::optional<std::wstring> ReadText(const wchar_t* name, const RegReadRule& rule);

    // Stores `value` as REG_SZ with its terminating NUL.
    bool WriteText(const wchar_t* name, std::wstring_view value);
    // Stores `value` as REG_DWORD.
    bool WriteDword(const wchar_t* name, DWORD value);

    // The Windows status of the last open, create, read or write.
    LONG Status() const noexcept { return status_; }

    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

private:
    // The value's bytes and stored type, when they meet `rule`'s size
    // limit and types.
    std::optional<std::vector<BYTE>> ReadBytes(const wchar_t* name, const RegReadRule& rule,
                                               DWORD& type);

    unique_key_or_root key_;
    LONG status_ = ERROR_SUCCESS;
};

// The settings store's names.
using CRegistryEx = RegKey;
using CRegistry = RegKey;

// Reads a value of the settings key (HKEY_CURRENT_USER\Software\Zarn) with
// read-only access, opening and closing the key around the read.
std::optional<RegDword> ReadSettingDword(const wchar_t* name, const RegReadRule& rule);
std::optional<std::wstring> ReadSettingText(const wchar_t* name, const RegReadRule& rule);

}  // namespace zarn
