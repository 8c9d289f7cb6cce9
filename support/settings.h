// The control's settings: one key under HKEY_CURRENT_USER and the names of
// its values, each read or written by the folder named beside it.
#pragma once

namespace zarn {

// The settings key of the control, under HKEY_CURRENT_USER.
inline constexpr wchar_t kSettingsKey[] = L"Software\\Zarn";

// REG_SZ: the installed version of the transfer programs (update/).
inline constexpr wchar_t kVersionValue[] = L"version";
// DWORD: the release number of the installed, verified package (update/).
inline constexpr wchar_t kReleaseValue[] = L"release";
// DWORD: non-zero when the installer has installed and the install report
// is still to be sent (launch/).
inline constexpr wchar_t kInstallFlagValue[] = L"Isinstall";
// DWORD: the hand-off's time limit in milliseconds (launch/).
inline constexpr wchar_t kSendLimitValue[] = L"HandOffLimitMs";
// REG_SZ: the folder the pickers start in, the last one used (select/).
inline constexpr wchar_t kUploadFolderValue[] = L"sWebControlPath";
// DWORD: non-zero when MakeShortCut may make the desktop shortcut without
// being asked (desktop/).
inline constexpr wchar_t kAddIconValue[] = L"bAddIcon";

}  // namespace zarn
