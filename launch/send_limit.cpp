#include "launch/handoff.h"
#include "support/settings.h"
#include "support/settings_reader.h"

namespace zarn {

UINT SendLimitSetting() {
    const std::optional<DwordSetting> limit = ReadDwordSetting(kSendLimitValue);
    if (!limit || limit->type != REG_DWORD) return ProgramWindow::kDefaultSendLimitMs;
    if (limit->value < ProgramWindow::kMinSendLimitMs ||
        limit->value > ProgramWindow::kDefaultSendLimitMs)
        return ProgramWindow::kDefaultSendLimitMs;
    return limit->value;
}

}  // namespace zarn
