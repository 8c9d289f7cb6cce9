// The record that carries the page's item list to a transfer program in
// WM_COPYDATA: the list in the ANSI code page, zero-terminated.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace zarn {

class HandOffRecord {
public:
    // Converts `items` to `codePage` (the thread's ANSI code page unless a
    // test names another). Characters without an exact mapping become the
    // code page's default character, never a look-alike: a separator in the
    // list can only come from the page. The text is otherwise passed
    // through unread.
    explicit HandOffRecord(std::wstring_view items, UINT codePage = CP_THREAD_ACP);
    HandOffRecord(const HandOffRecord&) = delete;
    HandOffRecord& operator=(const HandOffRecord&) = delete;

    // False when the list cannot be converted at all (its converted form
    // would not fit the conversion call's int sizes); such a list is not
    // sent, since the program would get something else than the page gave.
    bool converted() const noexcept { return converted_; }

    // True when some character had no exact mapping and went out as the
    // default character.
    bool usedDefault() const noexcept { return usedDefault_; }

    // dwData 0, cbData the converted bytes with the terminating zero, lpData
    // them. Points into this object: valid while it lives.
    const COPYDATASTRUCT& data() const noexcept { return data_; }

private:
    std::string bytes_;  // converted text; its terminator is the string's own
    COPYDATASTRUCT data_{};
    bool converted_ = false;
    bool usedDefault_ = false;
};

}  // namespace zarn
