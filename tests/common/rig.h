// Helpers shared by the test suites: where things are, running processes
// (the page host, regsvr32, stand-ins) and reading what they print.
#pragma once

#include <windows.h>

#include "common/expect.h"
#include "framework/handle.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rig {

// Folder of the running test executable; the module and tools live there too.
std::wstring BuildDir();
// The source tree as a Windows path (from ZARN_SOURCE_DIR), without trailing backslash.
std::wstring SourceDir();
// A folder of the prefix's description (tests/fixtures/prefix_folders.txt:
// "temp", "desktop", "install"), without trailing backslash.
std::wstring PrefixFolder(std::string_view name);
// Full path of ZarnCtrl2.ocx.
std::wstring ModulePath();
// A fresh empty folder under the build folder's scratch area, unique per call.
std::wstring ScratchDir(std::wstring_view name);

std::string Utf8(std::wstring_view text);
std::wstring Wide(std::string_view utf8);

struct ProcessResult {
    DWORD exitCode = 0xdeadbeef;
    bool timedOut = false;
    std::string output;  // stdout and stderr together, as the process wrote them
};

// Runs `commandLine`, collecting its output, and kills it after `timeoutMs`.
ProcessResult Run(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// Starts `commandLine` and returns at once with the process (empty when it
// could not start, with the last error set); the caller waits for whatever
// it needs from it. Like Run, it starts the program again when Wine lost the
// new process before it started (under load it sometimes does).
zfw::unique_handle Start(const std::wstring& commandLine);

// Runs a page script in the page host: pagehost.exe <script> <args...>.
// `script` is a path relative to the source tree or absolute.
ProcessResult RunPage(const std::wstring& script, const std::vector<std::wstring>& args = {},
                      DWORD timeoutMs = 60000);

// Writes `text` (UTF-8) to a new file in the scratch area and returns its path;
// for page scripts written inline by a test.
std::wstring WriteScratchFile(std::wstring_view name, std::string_view text);

// The whole content of a file, or nullopt when it cannot be opened. Others may
// go on writing or deleting it meanwhile.
std::optional<std::string> ReadFileBytes(const std::wstring& path);

// Lines of `output`, without line ends.
std::vector<std::string> Lines(const std::string& output);

// Polls `done` every `pollMs` until it holds or `limitMs` has passed, and
// says whether it held: a condition that never comes fails the test that
// waited for it instead of hanging the suite until CTest kills it.
template <class Predicate>
bool WaitFor(Predicate&& done, DWORD limitMs, DWORD pollMs = 10) {
    const ULONGLONG start = ::GetTickCount64();
    while (!done()) {
        if (::GetTickCount64() - start >= limitMs) return done();
        ::Sleep(pollMs);
    }
    return true;
}

// The same, for a thread that owns windows: it goes on dispatching its
// messages while it waits.
template <class Predicate>
bool PumpUntil(Predicate&& done, DWORD limitMs) {
    const ULONGLONG start = ::GetTickCount64();
    while (!done()) {
        if (::GetTickCount64() - start >= limitMs) return done();
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
    }
    return true;
}

}  // namespace rig
