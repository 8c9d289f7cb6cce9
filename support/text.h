// Text helpers shared across the module: BSTR views and code-page conversion.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <string_view>

namespace zarn {

// The whole of `text` (embedded NULs included); a null BSTR is the empty
// text, as COM defines it.
inline std::wstring_view BstrView(BSTR text) noexcept {
    return text ? std::wstring_view(text, ::SysStringLen(text)) : std::wstring_view();
}

// A page's text with half of a surrogate pair (a name cut inside a
// character) names nothing a person could mean: both doors refuse the call
// with this text and do nothing.
inline constexpr wchar_t kLoneSurrogateText[] =
    L"A text holds half of a character (an unpaired surrogate); nothing was done.";

// Whether `text` holds a surrogate that is not half of a pair.
bool HasLoneSurrogate(std::wstring_view text) noexcept;

// `bytes` in code page `codePage` (CP_ACP, CP_THREAD_ACP or a number) as
// UTF-16, sized by asking first. Empty bytes give the empty text; none when
// the bytes do not convert.
std::optional<std::wstring> FromCodePage(UINT codePage, std::string_view bytes);

// `text` in code page `codePage`, sized by asking first (a UTF-8 code page
// needs up to three bytes a unit). A character the code page cannot hold
// becomes its default character. The empty text gives no bytes; none when
// the text does not convert or is too long for the system's call.
std::optional<std::string> ToCodePage(UINT codePage, std::wstring_view text);

// Like ToCodePage, but a character is never replaced by a look-alike (the
// system's best fit, which turns U+FF5C into '|' on code page 1252): one
// without an exact mapping becomes the default character, and
// `usedDefault` says whether any did. UTF-7, UTF-8 and the code pages that
// refuse the request convert as ToCodePage does (the UTF ones map every
// character exactly); `usedDefault` is then false.
std::optional<std::string> ToCodePageExact(UINT codePage, std::wstring_view text,
                                           bool& usedDefault);

// Appends `argument` to a command line as one argument that
// CommandLineToArgvW and the C runtime read back exactly. Text that already
// reads as one argument goes as it is, so a line that parsed right before
// quoting stays byte for byte the same; the rest is quoted, a backslash run
// doubled where it meets a quote (escaped) or the closing one.
void AppendArgument(std::wstring& line, std::wstring_view argument);

}  // namespace zarn
