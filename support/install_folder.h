// Where the two transfer programs live.
#pragma once

#include <string>
#include <string_view>

namespace zarn {

// The install folder for a given program-files folder: forward slashes
// become backslashes, then "Zarn" and one backslash are appended. An empty
// program-files folder stands for "C:\Program Files".
std::wstring InstallFolderFor(std::wstring_view programFiles);

// The install folder of this system, looked up once per process. Neither
// inspects nor creates it.
std::wstring ResolveInstallFolder();

}  // namespace zarn
