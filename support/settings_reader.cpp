#include "support/settings_reader.h"

#include "framework/handle.h"
#include "support/settings.h"

namespace zarn {

std::optional<DwordSetting> HeldKeyReader::ReadDword(const wchar_t* name) {
    ::AcquireSRWLockExclusive(&lock_);
    zfw::scope_exit unlock([this] { ::ReleaseSRWLockExclusive(&lock_); });
    // Two tries: the held handle may name a key that has since been deleted
    // (an uninstall, a reset of the settings); then the key is opened anew.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!key_.get() && !key_.Open(keyPath_, KEY_QUERY_VALUE)) return std::nullopt;
        const std::optional<RegDword> setting = key_.ReadDword(name, regrule::kFourBytes);
        if (setting) return setting;
        const LONG status = key_.Status();
        if (status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA ||
            status == ERROR_INVALID_DATA)
            return std::nullopt;
        key_.Close();  // deleted under the handle, or the handle is gone
    }
    return std::nullopt;
}

void HeldKeyReader::Release() noexcept {
    ::AcquireSRWLockExclusive(&lock_);
    key_.Close();
    ::ReleaseSRWLockExclusive(&lock_);
}

namespace {

HeldKeyReader g_settings(kSettingsKey);

}  // namespace

std::optional<DwordSetting> ReadDwordSetting(const wchar_t* name) {
    return g_settings.ReadDword(name);
}

void ReleaseSettingsKey() noexcept { g_settings.Release(); }

}  // namespace zarn
