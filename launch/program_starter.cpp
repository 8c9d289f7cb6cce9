#include "launch/program_starter.h"

#include <windows.h>
#include <shellapi.h>

#include "support/os_version.h"
#include "support/text.h"
#include "update/outliving_start.h"
#include "framework/failure.h"
#include "framework/handle.h"

namespace zarn {
namespace {

// "<userId> <password>", each quoted only when it needs it: text from the
// page must never become more (or fewer) arguments than two.
std::wstring Parameters(std::wstring_view userId, std::wstring_view password) {
    std::wstring parameters;
    parameters.reserve(userId.size() + 1 + password.size() + 8);
    AppendArgument(parameters, userId);
    parameters.push_back(L' ');
    AppendArgument(parameters, password);
    return parameters;
}

}  // namespace

void ProgramStarter::Start(const TransferProgram& program, std::wstring_view userId,
                           std::wstring_view password) const {
    const std::wstring path = installFolder_ + program.fileName;
    const std::wstring parameters = Parameters(userId, password);
    // Refused before anything starts: the system refuses a longer line (Wine
    // cuts it, and the program would take a cut ID for the whole).
    const size_t length = CommandLineLength(path, parameters);
    if (length > kMostCommandLineChars)
        throw zfw::CallFailure(L"The user ID and password are too long to start the transfer "
                               L"program with: its command line would be " +
                               std::to_wstring(length) + L" characters, more than " +
                               std::to_wstring(kMostCommandLineChars) +
                               L". Nothing was started.");

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = IsVistaOrLater() ? L"runas" : L"Open";
    info.lpFile = path.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOW;
    StartOutliving(info);
    // The process is never waited for; its handle is only closed.
    zfw::unique_handle process(info.hProcess);
}

}  // namespace zarn
