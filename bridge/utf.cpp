#include "bridge/utf.h"

namespace zarn::bridge {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Writes `code` at `to`; returns the end of what it wrote.
char* Append(char* to, char32_t code) {
    if (code < 0x80) {
        *to++ = static_cast<char>(code);
    } else if (code < 0x800) {
        *to++ = static_cast<char>(0xC0 | (code >> 6));
        *to++ = static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *to++ = static_cast<char>(0xE0 | (code >> 12));
        *to++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *to++ = static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *to++ = static_cast<char>(0xF0 | (code >> 18));
        *to++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *to++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *to++ = static_cast<char>(0x80 | (code & 0x3F));
    }
    return to;
}

}  // namespace

std::optional<std::wstring> Utf8ToUtf16(std::string_view bytes) {
    // A byte makes at most one unit (four make two): the units are written
    // in place, and the text cut to them at the end.
    std::wstring out(bytes.size(), L'\0');
    wchar_t* to = out.data();
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            *to++ = static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        size_t length = 0;
        char32_t code = 0;
        char32_t lowest = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1F, lowest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0F, lowest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07, lowest = 0x10000;
        } else {
            return std::nullopt;  // a continuation byte or 0xF8..0xFF as a lead
        }
        if (bytes.size() - i < length) return std::nullopt;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if (!IsContinuation(next)) return std::nullopt;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return std::nullopt;
        if (code < 0x10000) {
            *to++ = static_cast<wchar_t>(code);
        } else {
            code -= 0x10000;
            *to++ = static_cast<wchar_t>(0xD800 + (code >> 10));
            *to++ = static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        }
        i += length;
    }
    out.resize(static_cast<size_t>(to - out.data()));
    return out;
}

std::string Utf16ToUtf8(std::wstring_view text, std::size_t* replaced) {
    // A unit makes at most three bytes (two make four): the bytes are
    // written in place, and the text cut to them at the end.
    std::string out(text.size() * 3, '\0');
    char* to = out.data();
    std::size_t bad = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t unit = static_cast<char16_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            const char32_t low = static_cast<char16_t>(text[++i]);
            to = Append(to, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            to = Append(to, kReplacement);
            ++bad;
        } else {
            to = Append(to, unit);
        }
    }
    out.resize(static_cast<size_t>(to - out.data()));
    if (replaced) *replaced = bad;
    return out;
}

}  // namespace zarn::bridge
