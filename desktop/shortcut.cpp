// MakeShortCut: the service's icon and Internet-shortcut file in a folder
// under the temporary folder, and a desktop shortcut that points at them.
#include "desktop/shortcut.h"

#include "desktop/internet_shortcut.h"
#include "desktop/shell_shortcut.h"
#include "framework/failure.h"
#include "framework/handle.h"
#include "support/reg_key.h"
#include "support/shell_folders.h"
#include "support/site_rules.h"
#include "update/http.h"
#include "update/server_address.h"

#include <shlobj.h>
#include <wininet.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>

namespace zarn {

namespace {

// The one product word the shortcut's folder and file names are formed from.
constexpr wchar_t kProductName[] = L"Zarn";
constexpr wchar_t kIconFileName[] = L"zarn1.ico";
constexpr wchar_t kIconPath[] = L"/append/application/zarn1.ico";

// The value of `text` read as a base-10 integer the way the C library reads
// one: leading white space, one optional sign, then digits up to the first
// non-digit; no digits is 0. Out-of-range values stop at the limits of a
// long instead of wrapping, so no long run of digits can come out as 1.
long ParseChoice(std::wstring_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    long value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        const long digit = text[i] - L'0';
        if (negative)
            value = value < (LONG_MIN + digit) / 10 ? LONG_MIN : value * 10 - digit;
        else
            value = value > (LONG_MAX - digit) / 10 ? LONG_MAX : value * 10 + digit;
    }
    return value;
}

bool PathExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A directory search for exactly `path` finds it.
bool SearchFinds(const std::wstring& path) {
    WIN32_FIND_DATAW found{};
    zfw::unique_find search(::FindFirstFileW(path.c_str(), &found));
    return static_cast<bool>(search);
}

std::wstring WithSeparator(std::wstring folder) {
    if (folder.empty() || folder.back() != L'\\') folder += L'\\';
    return folder;
}

// The user's temporary folder, ending with a separator.
std::wstring TemporaryFolder() {
    std::wstring folder = TempFolder();
    if (folder.empty()) throw zfw::CallFailure(L"The temporary folder is not known.");
    return WithSeparator(std::move(folder));
}

// <temporary folder>\Zarn\, created when it is missing.
std::wstring ShortcutFolder() {
    const std::wstring folder = WithSeparator(TemporaryFolder() + kProductName);
    if (!PathExists(folder) && !::CreateDirectoryW(folder.c_str(), nullptr)) {
        const DWORD error = ::GetLastError();
        // Someone else may have made it between the test and the creation.
        // The page sees the text, so it does not name the user's folders.
        if (!IsFolder(folder))
            throw zfw::CallFailure(L"Cannot create the shortcut folder (error " +
                                   std::to_wstring(error) + L").");
    }
    return folder;
}

// Whether the desktop shortcut is to be made: when the page asks for it
// (choice 1) or the settings allow it ("bAddIcon"), and only when it is not
// there already. A shortcut the shell can read is never overwritten, whoever
// made it; a file at its place that the shell cannot read as one (empty, as a
// process ended in the middle of an older save left it) is written again.
bool ShouldCreateShortcut(long choice, DWORD addIcon, const std::wstring& shortcutPath) {
    if (choice != 1 && addIcon == 0) return false;
    if (!PathExists(shortcutPath)) return true;
    if (choice == 1 && !SearchFinds(shortcutPath)) return true;
    return !IsFolder(shortcutPath) && !ReadsAsShellShortcut(shortcutPath.c_str());
}

// Replaces the icon file with the update server's icon. Only a whole icon
// (status 200, within its cap and the time limits) replaces it; after any
// failure the file stays as it was.
void RefreshIcon(const std::wstring& iconPath) {
    const std::optional<SmallReply> icon = FetchSmall(UpdateServerUrl(kIconPath), kIconCap);
    if (!icon || icon->status != HTTP_STATUS_OK) return;
    zfw::unique_file file(::CreateFileW(iconPath.c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    if (!::WriteFile(file.get(), icon->body.data(), static_cast<DWORD>(icon->body.size()),
                     &written, nullptr) ||
        written != icon->body.size()) {
        file.reset();
        ::DeleteFileW(iconPath.c_str());  // no half icon
    }
}

}  // namespace

void MakeDesktopShortcut(HWND owner, std::wstring_view pageAddress, std::wstring_view choiceText) {
    // Judged here as well as by the site lock, so that a host that never
    // engages the lock cannot add lines to the file either. Refused as the
    // lock refuses, before anything is fetched or written.
    std::wstring reason;
    if (!sitelock::ShortcutAddressWritable(pageAddress, reason))
        throw zfw::CallFailure(reason, E_ACCESSDENIED);
    const long choice = ParseChoice(choiceText);

    // Absent, or not a DWORD: 0.
    const std::optional<RegDword> addIconSetting =
        ReadSettingDword(kAddIconValue, regrule::kDwordType);
    const DWORD addIcon = addIconSetting ? addIconSetting->value : 0;

    const std::wstring folder = ShortcutFolder();
    const std::wstring iconPath = folder + kIconFileName;
    const std::wstring product(kProductName);

    // The icon is fetched afresh on every call, as a small fetch: the page
    // waits meanwhile. A failed fetch leaves the shortcut naming an icon that
    // may be missing, which the shell tolerates.
    RefreshIcon(iconPath);

    // Rewritten on every call: an existing desktop shortcut points at this
    // file, so it then opens the page's latest address.
    const std::wstring urlPath = folder + product + L".url";
    WriteInternetShortcut(urlPath, pageAddress, iconPath);

    const std::wstring desktop = DesktopFolder();
    if (desktop.empty()) return;
    const std::wstring shortcutPath = WithSeparator(desktop) + product + L".lnk";
    if (ShouldCreateShortcut(choice, addIcon, shortcutPath))
        CreateShellShortcut(owner, urlPath.c_str(), shortcutPath.c_str(), iconPath.c_str());
}

}  // namespace zarn
