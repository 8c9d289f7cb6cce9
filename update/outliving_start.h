// Starting programs that must outlive the process that starts them: the
// transfer programs and the installer.
//
// A browser runs its native messaging host in a job object and ends the
// whole job soon after the page's port closes, so a program the host starts
// as usual (it inherits the job) dies with the host. ShellExecuteEx has no
// way to start a program outside the job. So a process that is in a job
// hands the start to a copy of its own program, started outside the job
// (which the job allows when it lets programs break away): that copy makes
// the same ShellExecuteEx call, hands the new process back, and ends. The
// copy reads the start from a section of this process, not from its own
// command line, so the program gets its parameters exactly as given.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <string_view>

namespace zarn {

// The longest command line a program can be started with: CreateProcess
// takes 32,767 characters with the terminating null.
inline constexpr size_t kMostCommandLineChars = 32766;

// The length of the command line a program `file` started with `parameters`
// gets from ShellExecuteEx: the file in quotes, then a space and the
// parameters when there are any.
size_t CommandLineLength(std::wstring_view file, std::wstring_view parameters);

// Lets StartOutliving hand starts to a copy of this process's program, run
// with the arguments RunStartForParent recognises. Programs whose main does
// not call RunStartForParent (a browser hosting the control) never call this,
// and their starts stay ShellExecuteEx calls of their own.
void AllowStartsOutsideTheJob();

// ShellExecuteExW(&info), the process (with SEE_MASK_NOCLOSEPROCESS) in
// info.hProcess. In a job, with starts allowed outside it, the call is made
// by a copy of this program outside the job; when the job does not let it
// out, that is logged and the program is started here, in the job. A command
// line longer than kMostCommandLineChars starts nothing: logged, false, and
// the last error ERROR_FILENAME_EXCED_RANGE.
bool StartOutliving(SHELLEXECUTEINFOW& info);

// For a program's main, before anything else: when its arguments (as the C
// runtime splits them) ask for a start on behalf of the parent, makes it,
// hands the process to the parent, and returns true with the exit status to
// end with.
bool RunStartForParent(int argc, wchar_t** argv, int& exitStatus);

}  // namespace zarn
