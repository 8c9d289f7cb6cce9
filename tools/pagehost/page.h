// One page: a top-level window hosting the control in the system's ATL
// container, and a JScript page script run against it.
#pragma once

#include <string>
#include <vector>

namespace pagehost {

struct PageOptions {
    std::wstring progId = L"WEB_CONTROL.WebControlCtrl.1";
    std::wstring controlName = L"ctl";  // the control's name in the script
    bool hidden = false;
    std::wstring url;  // with an address: behave as a browser showing that page
    // With an address: give the script the control even when it refuses to
    // be safe for the page, as a careless host would.
    bool despiteRefusal = false;
    std::wstring scriptPath;
    std::vector<std::wstring> args;  // what the script reads through host.args
};

// Process exit codes of a page run.
inline constexpr int kExitScriptError = 1;  // the engine reported an error
inline constexpr int kExitSetupFailed = 2;  // no control, no engine, no script file

// Runs the page to its end and returns the process exit code: 0, the code
// the script gave host.exit, or one of the codes above. COM must be
// initialised for OLE on the calling thread.
int RunPage(const PageOptions& options);

}  // namespace pagehost
