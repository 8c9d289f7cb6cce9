// Text helpers shared by the control's subsystems.
#pragma once

#include <string>
#include <string_view>

namespace zarn {

// Replaces every occurrence of `what` in `text` by one backslash, scanning
// left to right without overlap ("\\\\" turns "a\\\\\\b" into "a\\\\b").
inline std::wstring CollapseToBackslash(std::wstring_view text, std::wstring_view what) {
    if (what.empty()) return std::wstring(text);
    std::wstring out;
    out.reserve(text.size());
    size_t pos = 0;
    for (;;) {
        const size_t hit = text.find(what, pos);
        if (hit == std::wstring_view::npos) break;
        out.append(text.substr(pos, hit - pos));
        out.push_back(L'\\');
        pos = hit + what.size();
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace zarn
