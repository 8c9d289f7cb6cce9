// The name the module goes by in its log lines and message boxes.
#pragma once

#include <string>

namespace zarn {

// The file name, without folder or extension, of the module holding this
// code ("ZarnCtrl2" for the control module; a test program's own name when
// the code is linked into one). Found once, on the first call.
const std::wstring& ModuleBaseName();

}  // namespace zarn
