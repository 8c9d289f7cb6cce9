// pagehost: the stand-in for the service's web page. Hosts the control in the
// system's ATL container and runs a JScript page script against it, as the
// browser would. Tests and the demo are page scripts.
//
//   pagehost.exe [--progid P] [--name N] [--hidden] script.js [args...]
//
//   --url URL   behave as a browser showing the page at URL (browser_site.h)
//   --despite-refusal   with --url, script the control even when it refuses
//               to be safe for the page (a host that ignores the refusal)
//
// Exit code: 0 when the script's global code has run, the code given to
// host.exit, 1 after a script error, 2 when the page could not be set up.

#include "tools/pagehost/page.h"
#include "tools/pagehost/text.h"

#include <windows.h>
#include <ole2.h>

#include <string_view>

namespace {

constexpr wchar_t kUsage[] =
    L"usage: pagehost.exe [--progid P] [--name N] [--hidden] [--url URL] [--despite-refusal] "
    L"script.js [args...]";

// Reads the options before the script path; everything after it belongs to
// the script. Returns false on a malformed command line.
bool ParseCommandLine(int argc, wchar_t** argv, pagehost::PageOptions& options) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::wstring_view arg = argv[i];
        if (arg == L"--hidden") {
            options.hidden = true;
        } else if (arg == L"--despite-refusal") {
            options.despiteRefusal = true;
        } else if (arg == L"--url" && i + 1 < argc) {
            options.url = argv[++i];
        } else if ((arg == L"--progid" || arg == L"--name") && i + 1 < argc) {
            (arg == L"--progid" ? options.progId : options.controlName) = argv[++i];
        } else if (arg.starts_with(L"--")) {
            return false;
        } else {
            break;
        }
    }
    if (i >= argc) return false;
    options.scriptPath = argv[i++];
    for (; i < argc; ++i) options.args.emplace_back(argv[i]);
    // "host" is the page host's own object; the control cannot share its name.
    return !options.progId.empty() && !options.controlName.empty() &&
           options.controlName != L"host";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // A crash must end the process, not wait on an error box nobody sees.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);

    pagehost::PageOptions options;
    if (!ParseCommandLine(argc, argv, options)) {
        pagehost::WriteLine(kUsage);
        return pagehost::kExitSetupFailed;
    }
    if (FAILED(::OleInitialize(nullptr))) {
        pagehost::WriteLine(L"pagehost: OleInitialize failed");
        return pagehost::kExitSetupFailed;
    }
    const int code = pagehost::RunPage(options);
    ::OleUninitialize();
    return code;
}
