// The settings every DownLoad and UpLoad call looks at (the install flag,
// the hand-off's send limit), read through one read-only handle to the
// settings key that stays open while the module is loaded.
//
// Opening and closing the key around each read costs two extra round trips
// to the registry per value: with a running program, that was most of what a
// call added to the hand-off itself. Each read still asks the registry, so a
// value another process has just written is seen at once.
#pragma once

#include "support/reg_key.h"

#include <windows.h>

#include <optional>

namespace zarn {

// A setting of four bytes as stored: its bytes and its registry type.
using DwordSetting = RegDword;

// Reads values of one key under HKEY_CURRENT_USER through a handle it keeps
// between reads. Safe to share between threads.
class HeldKeyReader {
public:
    explicit HeldKeyReader(const wchar_t* keyPath) : keyPath_(keyPath) { key_.Close(); }

    // The value `name`, read now, when it holds exactly four bytes
    // (whatever its type); nullopt when the key or the value is missing or
    // has another size. A key deleted, or deleted and made again, since the
    // last read is looked up afresh, never read through a stale handle.
    std::optional<DwordSetting> ReadDword(const wchar_t* name);

    // Closes the handle; the next read opens the key again.
    void Release() noexcept;

    HeldKeyReader(const HeldKeyReader&) = delete;
    HeldKeyReader& operator=(const HeldKeyReader&) = delete;

private:
    const wchar_t* keyPath_;
    SRWLOCK lock_ = SRWLOCK_INIT;  // reads take turns: each is one registry call
    RegKey key_;                   // none until a read finds the key
};

// ReadDword on the settings key, through the module's one reader.
std::optional<DwordSetting> ReadDwordSetting(const wchar_t* name);

// Closes the module's settings handle; the module calls it when it may unload.
void ReleaseSettingsKey() noexcept;

}  // namespace zarn
