#include "launch/program_starter.h"

#include <windows.h>
#include <shellapi.h>

#include "support/os_version.h"
#include "framework/handle.h"

namespace zarn {
namespace {

// "<userId> <password>", passed through as they are: the programs split
// their command line themselves.
std::wstring Parameters(std::wstring_view userId, std::wstring_view password) {
    std::wstring parameters;
    parameters.reserve(userId.size() + 1 + password.size());
    parameters.append(userId).append(L" ").append(password);
    return parameters;
}

}  // namespace

void ProgramStarter::Start(const TransferProgram& program, std::wstring_view userId,
                           std::wstring_view password) const {
    const std::wstring path = installFolder_ + program.fileName;
    const std::wstring parameters = Parameters(userId, password);

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = IsVistaOrLater() ? L"runas" : L"Open";
    info.lpFile = path.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOW;
    ::ShellExecuteExW(&info);
    // The process is never waited for; its handle is only closed.
    zfw::unique_handle process(info.hProcess);
}

}  // namespace zarn
