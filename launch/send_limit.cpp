#include "launch/handoff.h"
#include "support/registryex.h"

namespace zarn {

UINT SendLimitSetting() {
    CRegistryEx settings;
    DWORD limit = 0;
    // Read only: a missing key is no reason to create it.
    if (!settings.Open(kSettingsKey) || !settings.ReadDword(kSendLimitValue, limit) ||
        settings.m_dwType != REG_DWORD)
        return ProgramWindow::kDefaultSendLimitMs;
    if (limit < ProgramWindow::kMinSendLimitMs || limit > ProgramWindow::kDefaultSendLimitMs)
        return ProgramWindow::kDefaultSendLimitMs;
    return limit;
}

}  // namespace zarn
