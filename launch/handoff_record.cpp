#include "launch/handoff_record.h"

#include "support/text.h"

namespace zarn {

HandOffRecord::HandOffRecord(std::wstring_view items, UINT codePage) {
    std::optional<std::string> bytes = ToCodePageExact(codePage, items, usedDefault_);
    if (!bytes) return;
    bytes_ = std::move(*bytes);
    data_.dwData = 0;
    data_.cbData = static_cast<DWORD>(bytes_.size() + 1);  // with the terminating zero
    data_.lpData = bytes_.data();
    converted_ = true;
}

}  // namespace zarn
