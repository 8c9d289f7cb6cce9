// State of one page run, shared by the script site, the `host` object and the
// event sinks (each keeps it alive through a shared_ptr, so a late call from
// the engine or the control never finds it gone).
#pragma once

#include "tools/pagehost/com_object.h"
#include "tools/pagehost/timers.h"

#include <ocidl.h>

#include <functional>
#include <string>
#include <vector>

namespace pagehost {

// An event connection made by host.connect and not yet undone.
struct Connection {
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
};

struct PageContext {
    std::vector<std::wstring> args;  // command-line arguments after the script
    HWND window = nullptr;           // the page's top-level window

    bool exitRequested = false;  // host.exit was called (or the window was closed)
    int exitCode = 0;            // the code host.exit asked for
    bool errorReported = false;  // the engine reported a script error

    std::vector<Connection> connections;

    PageTimers timers;  // host.setTimeout
    // host.release: takes `object` off the page when it is the page's own
    // control element; false for anything else.
    std::function<bool(IDispatch* object)> releaseElement;
};

}  // namespace pagehost
