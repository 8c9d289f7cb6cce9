// UTF-8 and UTF-16, converted here rather than by the system: the system's
// conversions pass unpaired surrogates and ill-formed bytes through in ways
// that differ between versions, and the host must decide about both itself.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zarn::bridge {

// Well-formed UTF-8 as UTF-16; none for any ill-formed sequence (a stray or
// missing continuation byte, an overlong form, a surrogate's code, or a code
// above U+10FFFF).
std::optional<std::wstring> Utf8ToUtf16(std::string_view bytes);

// UTF-16 as UTF-8. An unpaired surrogate becomes U+FFFD; `replaced` (when
// given) counts them. Never throws but for memory.
std::string Utf16ToUtf8(std::wstring_view text, std::size_t* replaced = nullptr);

}  // namespace zarn::bridge
