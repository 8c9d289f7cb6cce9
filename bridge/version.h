// What the host says of itself in its hello reply.
#pragma once

#include <string>

namespace zarn::bridge {

// The file version of the host's own version resource, dotted ("1.0.0.6");
// empty when it has none.
std::wstring ModuleFileVersion();

}  // namespace zarn::bridge
