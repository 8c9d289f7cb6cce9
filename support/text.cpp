#include "support/text.h"

#include <climits>

namespace zarn {

std::optional<std::wstring> FromCodePage(UINT codePage, std::string_view bytes) {
    if (bytes.empty()) return std::wstring();
    if (bytes.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;
    const int size = static_cast<int>(bytes.size());
    const int units = ::MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    if (units <= 0) return std::nullopt;
    std::wstring text(static_cast<size_t>(units), L'\0');
    if (::MultiByteToWideChar(codePage, 0, bytes.data(), size, text.data(), units) != units)
        return std::nullopt;
    return text;
}

namespace {

// One conversion with `flags`, sized by asking first; `usedDefault` null
// when the code page takes no default-character argument.
std::optional<std::string> Convert(UINT codePage, DWORD flags, std::wstring_view text,
                                   BOOL* usedDefault) {
    if (text.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;
    const int units = static_cast<int>(text.size());
    const int size = ::WideCharToMultiByte(codePage, flags, text.data(), units, nullptr, 0,
                                           nullptr, usedDefault);
    if (size <= 0) return std::nullopt;
    std::string bytes(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(codePage, flags, text.data(), units, bytes.data(), size, nullptr,
                              usedDefault) != size)
        return std::nullopt;
    return bytes;
}

}  // namespace

std::optional<std::string> ToCodePage(UINT codePage, std::wstring_view text) {
    if (text.empty()) return std::string();
    return Convert(codePage, 0, text, nullptr);
}

std::optional<std::string> ToCodePageExact(UINT codePage, std::wstring_view text,
                                           bool& usedDefault) {
    usedDefault = false;
    if (text.empty()) return std::string();
    // The UTF code pages refuse the flag and the default-character argument
    // on Windows (Wine takes them): they are never given them.
    if (codePage == CP_UTF7 || codePage == CP_UTF8) return Convert(codePage, 0, text, nullptr);
    BOOL used = FALSE;
    std::optional<std::string> bytes = Convert(codePage, WC_NO_BEST_FIT_CHARS, text, &used);
    if (bytes) {
        usedDefault = used != FALSE;
        return bytes;
    }
    // Some code pages (the ISO-2022 family, GB18030, ...) take no flags at
    // all; they convert as they always did.
    const DWORD error = ::GetLastError();
    if (error == ERROR_INVALID_FLAGS || error == ERROR_INVALID_PARAMETER)
        return Convert(codePage, 0, text, nullptr);
    return std::nullopt;
}

bool HasLoneSurrogate(std::wstring_view text) noexcept {
    for (size_t i = 0; i < text.size(); ++i) {
        if (IS_HIGH_SURROGATE(text[i]) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1]))
            ++i;
        else if (IS_HIGH_SURROGATE(text[i]) || IS_LOW_SURROGATE(text[i]))
            return true;
    }
    return false;
}

void AppendArgument(std::wstring& line, std::wstring_view argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring_view::npos) {
        line.append(argument);
        return;
    }
    line.push_back(L'"');
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
}

}  // namespace zarn
