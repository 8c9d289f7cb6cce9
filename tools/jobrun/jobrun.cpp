// jobrun: runs a program in a job object, as a browser runs its native
// messaging host, and ends every process left in the job once the program
// has ended.
//
//   jobrun.exe [--no-breakaway] PROGRAM [ARGUMENTS...]
//
// The job lets its processes start programs outside it (breakaway), unless
// --no-breakaway is given. The program gets this process's standard handles.
// Exits with the program's exit status, or 125 when it could not be run.
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "framework/handle.h"
#include "support/text.h"

namespace {

HANDLE Inheritable(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle && handle != INVALID_HANDLE_VALUE)
        ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return handle;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int first = 1;
    bool breakaway = true;
    if (argc > 1 && std::wstring_view(argv[1]) == L"--no-breakaway") {
        breakaway = false;
        ++first;
    }
    if (first >= argc) {
        std::fputs("usage: jobrun [--no-breakaway] PROGRAM [ARGUMENTS...]\n", stderr);
        return 125;
    }
    std::wstring line;
    for (int i = first; i < argc; ++i) {
        if (!line.empty()) line.push_back(L' ');
        zarn::AppendArgument(line, argv[i]);
    }

    zfw::unique_handle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | (breakaway ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
    if (!job || !::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                           sizeof(limits)))
        return 125;

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = Inheritable(STD_INPUT_HANDLE);
    startup.hStdOutput = Inheritable(STD_OUTPUT_HANDLE);
    startup.hStdError = Inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(argv[first], line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                          nullptr, nullptr, &startup, &created))
        return 125;
    zfw::unique_handle process(created.hProcess);
    zfw::unique_handle thread(created.hThread);
    if (!::AssignProcessToJobObject(job.get(), process.get())) {
        ::TerminateProcess(process.get(), 125);
        return 125;
    }
    ::ResumeThread(thread.get());
    DWORD status = 125;
    ::WaitForSingleObject(process.get(), INFINITE);
    ::GetExitCodeProcess(process.get(), &status);
    // As the browser does once it lets the host go: every process still in
    // the job ends with it.
    job.reset();
    return static_cast<int>(status);
}
