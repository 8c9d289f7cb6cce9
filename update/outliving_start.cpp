#include "update/outliving_start.h"

#include "framework/handle.h"
#include "support/log.h"
#include "support/text.h"

#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

namespace zarn {
namespace {

// The first argument of the copy that makes a start for its parent. The
// rest: the parent's process ID, nShow, the verb, the file, the parameters.
constexpr std::wstring_view kStartOption = L"--zarn-start-for-parent";
// The copy's exit status when the start failed, and when it worked without
// a process to hand back; any other status is the process's handle value in
// the parent (handle values are multiples of four).
constexpr DWORD kStartFailed = 0;
constexpr DWORD kStartedWithoutProcess = 1;

bool g_allowed = false;

std::wstring OwnProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD written =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (written == 0) return {};
        if (written < path.size()) return path.substr(0, written);
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

enum class CopyOutcome { Started, Failed, JobHoldsIt };

// Runs the start in a copy of this program outside the job.
CopyOutcome StartThroughCopy(SHELLEXECUTEINFOW& info) {
    const std::wstring program = OwnProgram();
    if (program.empty()) return CopyOutcome::Failed;
    std::wstring line;
    AppendArgument(line, program);
    line += L" ";
    line += kStartOption;
    for (const std::wstring& argument :
         {std::to_wstring(::GetCurrentProcessId()), std::to_wstring(info.nShow),
          std::wstring(info.lpVerb ? info.lpVerb : L""), std::wstring(info.lpFile ? info.lpFile : L""),
          std::wstring(info.lpParameters ? info.lpParameters : L"")}) {
        line += L' ';
        AppendArgument(line, argument);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                          CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                          &created)) {
        const DWORD error = ::GetLastError();
        ZARN_LOG(L"a program that must outlive this one cannot leave the job (error %lu): %s",
                 error, info.lpFile ? info.lpFile : L"");
        return error == ERROR_ACCESS_DENIED ? CopyOutcome::JobHoldsIt : CopyOutcome::Failed;
    }
    zfw::unique_handle copy(created.hProcess);
    zfw::unique_handle thread(created.hThread);
    // The start itself may wait for the user (an elevation prompt), as the
    // same call made here would.
    DWORD status = kStartFailed;
    if (::WaitForSingleObject(copy.get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(copy.get(), &status) || status == kStartFailed)
        return CopyOutcome::Failed;
    info.hProcess = status == kStartedWithoutProcess
                        ? nullptr
                        : reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(status));
    return CopyOutcome::Started;
}

}  // namespace

void AllowStartsOutsideTheJob() { g_allowed = true; }

bool StartOutliving(SHELLEXECUTEINFOW& info) {
    BOOL inJob = FALSE;
    if (g_allowed && ::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob) && inJob &&
        !info.lpDirectory && !info.lpClass && !info.hwnd) {
        switch (StartThroughCopy(info)) {
            case CopyOutcome::Started:
                return true;
            case CopyOutcome::Failed:
                return false;
            case CopyOutcome::JobHoldsIt:
                break;  // started here, where it ends with the job
        }
    }
    return ::ShellExecuteExW(&info) != FALSE;
}

bool RunStartForParent(int argc, wchar_t** argv, int& exitStatus) {
    if (argc != 7 || !argv || !argv[1] || argv[1] != kStartOption) return false;
    const std::vector<std::wstring> arguments(argv + 1, argv + argc);
    exitStatus = static_cast<int>(kStartFailed);
    const DWORD parentId = std::wcstoul(arguments[1].c_str(), nullptr, 10);
    zfw::unique_handle parent(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, parentId));
    if (!parent) return true;

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.nShow = static_cast<int>(std::wcstol(arguments[2].c_str(), nullptr, 10));
    info.lpVerb = arguments[3].empty() ? nullptr : arguments[3].c_str();
    info.lpFile = arguments[4].c_str();
    info.lpParameters = arguments[5].empty() ? nullptr : arguments[5].c_str();
    if (!::ShellExecuteExW(&info)) return true;
    zfw::unique_handle process(info.hProcess);
    if (!process) {
        exitStatus = static_cast<int>(kStartedWithoutProcess);
        return true;
    }
    HANDLE handed = nullptr;
    if (::DuplicateHandle(::GetCurrentProcess(), process.get(), parent.get(), &handed, 0, FALSE,
                          DUPLICATE_SAME_ACCESS))
        exitStatus = static_cast<int>(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(handed)));
    return true;
}

}  // namespace zarn
