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
        if (!key_ && ::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath_, 0, KEY_QUERY_VALUE,
                                     key_.put()) != ERROR_SUCCESS) {
            key_.reset();
            return std::nullopt;
        }
        DwordSetting setting;
        DWORD size = sizeof(setting.value);
        const LONG result = ::RegQueryValueExW(key_.get(), name, nullptr, &setting.type,
                                               reinterpret_cast<BYTE*>(&setting.value), &size);
        if (result == ERROR_SUCCESS)
            return size == sizeof(setting.value) ? std::optional(setting) : std::nullopt;
        if (result == ERROR_FILE_NOT_FOUND || result == ERROR_MORE_DATA) return std::nullopt;
        key_.reset();  // deleted under the handle, or the handle is gone
    }
    return std::nullopt;
}

void HeldKeyReader::Release() noexcept {
    ::AcquireSRWLockExclusive(&lock_);
    key_.reset();
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
