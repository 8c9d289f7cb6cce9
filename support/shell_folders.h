// The user's shell folders the features share: the desktop and the
// temporary folder.
#pragma once

#include <string>

namespace zarn {

// The desktop folder as the shell gives it; empty when the shell does not
// know it.
std::wstring DesktopFolder();

// The temporary folder as GetTempPathW gives it, ending in a backslash, at
// whatever length it has; empty when the system does not know it.
std::wstring TempFolder();

}  // namespace zarn
