#include "desktop/internet_shortcut.h"

#include "framework/failure.h"
#include "framework/handle.h"
#include "support/text.h"

#include <windows.h>

#include <climits>
#include <string>

namespace zarn {

namespace {

// The page sees this text: it names the file but not the folder, which holds
// the user's name.
std::wstring ErrorText(const wchar_t* what, const std::wstring& path, DWORD error) {
    const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    return std::wstring(what) + L" " + name + L" (error " + std::to_wstring(error) + L").";
}

}  // namespace

std::wstring InternetShortcutText(std::wstring_view url, std::wstring_view iconPath) {
    std::wstring text = L"[InternetShortcut]\r\nURL=";
    text += url;
    text += L"\r\nIconIndex=0\r\nIconFile=";
    text += iconPath;
    return text;
}

std::string ToThreadAnsi(std::wstring_view text) {
    if (text.empty()) return {};
    if (text.size() > static_cast<size_t>(INT_MAX))
        throw zfw::CallFailure(L"The Internet shortcut text is too long.");
    std::optional<std::string> converted = ToCodePage(CP_THREAD_ACP, text);
    if (!converted)
        throw zfw::CallFailure(L"The Internet shortcut text cannot be converted to the code page.");
    return std::move(*converted);
}

void WriteInternetShortcut(const std::wstring& path, std::wstring_view url,
                           std::wstring_view iconPath) {
    const std::string bytes = ToThreadAnsi(InternetShortcutText(url, iconPath));
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw zfw::CallFailure(ErrorText(L"Cannot open the Internet shortcut file", path,
                                         ::GetLastError()));
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) ||
        written != bytes.size())
        throw zfw::CallFailure(ErrorText(L"Cannot write the Internet shortcut file", path,
                                         ::GetLastError()));
}

}  // namespace zarn
