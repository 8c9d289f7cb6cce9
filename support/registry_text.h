// Turning stored registry bytes into text, shared by the two key classes.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

namespace zarn {

namespace support_detail {

// The UTF-16 units in the first `bytes` bytes of `data`, up to the first NUL.
// Never reads past `bytes`: a text stored without its terminator ends where
// its data ends, and an odd last byte is not part of any unit.
inline std::wstring TextUpToNul(const BYTE* data, size_t bytes) {
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(text.data(), data, text.size() * sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos) text.resize(end);
    return text;
}

}  // namespace support_detail

}  // namespace zarn
