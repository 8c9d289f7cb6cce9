// The `host` object a page script sees: output, exit, event connections,
// object creation, arguments, environment, time and files; timers
// (setTimeout, clearTimeout), letting go of the page's control (release) and
// the state of a module (canUnload, freeModule, moduleThreads).
#pragma once

#include "tools/pagehost/page_context.h"

#include <memory>

namespace pagehost {

ComPtr<IDispatch> MakeHostObject(std::shared_ptr<PageContext> context);

}  // namespace pagehost
