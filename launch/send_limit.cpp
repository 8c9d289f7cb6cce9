#include "launch/handoff.h"
#include "support/settings.h"
#include "support/settings_reader.h"

namespace zarn {

UINT HandOffLimitSetting() {
    const std::optional<DwordSetting> limit = ReadDwordSetting(kSendLimitValue);
    if (!limit || limit->type != REG_DWORD) return HandOff::kDefaultLimitMs;
    if (limit->value < HandOff::kMinLimitMs || limit->value > HandOff::kDefaultLimitMs)
        return HandOff::kDefaultLimitMs;
    return limit->value;
}

}  // namespace zarn
