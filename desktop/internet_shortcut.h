// The Internet-shortcut file (Zarn.url) the desktop shortcut points at.
#pragma once

#include <string>
#include <string_view>

namespace zarn {

// The file's text: four lines joined by CR LF, none after the last. `url`
// goes in unchanged; MakeDesktopShortcut has refused one with a line break.
std::wstring InternetShortcutText(std::wstring_view url, std::wstring_view iconPath);

// The bytes of `text` in the calling thread's ANSI code page. A character the
// code page cannot hold becomes its default character.
std::string ToThreadAnsi(std::wstring_view text);

// Creates or truncates `path` and writes the text for `url` and `iconPath`
// in the thread's ANSI code page, without byte-order mark or terminator.
// Throws zfw::CallFailure when the file cannot be opened or written.
void WriteInternetShortcut(const std::wstring& path, std::wstring_view url,
                           std::wstring_view iconPath);

}  // namespace zarn
