#include "launch/handoff_record.h"

#include <climits>

namespace zarn {

HandOffRecord::HandOffRecord(std::wstring_view items, UINT codePage) {
    if (items.size() > static_cast<size_t>(INT_MAX)) return;
    const int units = static_cast<int>(items.size());
    if (units > 0) {
        // Ask for the size first: a UTF-8 code page needs up to three bytes
        // per unit, more than any fixed allowance per character.
        const int needed =
            ::WideCharToMultiByte(codePage, 0, items.data(), units, nullptr, 0, nullptr, nullptr);
        if (needed <= 0) return;
        bytes_.assign(static_cast<size_t>(needed), '\0');
        const int written = ::WideCharToMultiByte(codePage, 0, items.data(), units,
                                                  bytes_.data(), needed, nullptr, nullptr);
        if (written != needed) return;
    }
    data_.dwData = 0;
    data_.cbData = static_cast<DWORD>(bytes_.size() + 1);  // with the terminating zero
    data_.lpData = bytes_.data();
    converted_ = true;
}

}  // namespace zarn
