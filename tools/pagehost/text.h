// Text helpers of the page host: UTF-8 on the outside (script files, stdout,
// files the script reads and writes), UTF-16 inside.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace pagehost {

std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// Writes `text` and a line end to stdout as UTF-8 in one WriteFile call, so a
// reader on a pipe sees the line at once even if the process dies right after.
void WriteLine(std::wstring_view text);

// Reads a whole file as UTF-8 (a leading byte-order mark is dropped).
// Returns false and sets `error` to the Win32 error on failure.
bool ReadUtf8File(const std::wstring& path, std::wstring& text, DWORD& error);
// Replaces the file with `text` as UTF-8, without a byte-order mark.
bool WriteUtf8File(const std::wstring& path, std::wstring_view text, DWORD& error);

}  // namespace pagehost
