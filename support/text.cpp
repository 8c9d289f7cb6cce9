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

std::optional<std::string> ToCodePage(UINT codePage, std::wstring_view text) {
    if (text.empty()) return std::string();
    if (text.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;
    const int units = static_cast<int>(text.size());
    const int size =
        ::WideCharToMultiByte(codePage, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::nullopt;
    std::string bytes(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(codePage, 0, text.data(), units, bytes.data(), size, nullptr,
                              nullptr) != size)
        return std::nullopt;
    return bytes;
}

}  // namespace zarn
