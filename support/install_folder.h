// Where the two transfer programs live.
#pragma once

#include <string>
#include <string_view>

namespace zarn {

// The install folder for a given program-files folder: forward slashes
// become backslashes, then "Zarn" and one backslash are appended. An empty
// program-files folder stands for the usual 32-bit one: "C:\Program Files
// (x86)" in a 64-bit process, "C:\Program Files" in a 32-bit one.
std::wstring InstallFolderFor(std::wstring_view programFiles);

// The install folder of this system, looked up once per process: in the
// 32-bit program-files folder (CSIDL_PROGRAM_FILESX86), the same one for a
// module of either architecture. Neither inspects nor creates it.
std::wstring ResolveInstallFolder();

}  // namespace zarn
