// Names threads for debuggers, crash reports and the system's tools.
#pragma once

#include <windows.h>

namespace zfw {

// Gives `thread` the description `name`. The call exists from Windows 10
// version 1607 on (exported by kernel32, or kernelbase), so it is looked up
// at run time; on older systems the thread stays unnamed. Returns whether
// the name was set.
bool NameThread(HANDLE thread, const wchar_t* name) noexcept;

}  // namespace zfw
