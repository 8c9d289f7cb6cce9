// zarn-bridge.exe: the native messaging host the browser extension starts.
//
// The browser starts it with pipes as its standard input and output, the
// caller's origin as its first argument (Chrome and Edge: the extension's
// origin, then --parent-window=<handle>; Firefox: the manifest's path and the
// extension's id), and ends it by closing the input. It is a windows
// program, so no console appears.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <string_view>

#include "bridge/diagnose.h"
#include "bridge/host.h"
#include "bridge/wire.h"
#include "update/outliving_start.h"

namespace {

// Takes a standard handle for the host alone: no child process may inherit
// it, as a transfer program holding the output would keep the browser's port
// open after the host has gone. The handle also leaves the process's
// standard slots, which a child started without handles would be given.
// Reads and writes go straight to the handle, byte for byte: no text mode
// stands between them.
HANDLE TakeStandardHandle(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE || !handle) return nullptr;
    ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    ::SetStdHandle(which, nullptr);
    return handle;
}

// The browser window named by --parent-window=<decimal handle>, or null.
HWND ParentWindowHint(int argc, wchar_t** argv) {
    constexpr std::wstring_view kOption = L"--parent-window=";
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view arg = argv[i];
        if (!arg.starts_with(kOption)) continue;
        wchar_t* end = nullptr;
        const unsigned long long value = std::wcstoull(argv[i] + kOption.size(), &end, 10);
        if (end && *end == L'\0' && value != 0)
            return reinterpret_cast<HWND>(static_cast<UINT_PTR>(value));
    }
    return nullptr;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // A person asking --version or --diagnose, before the standard handles
    // are taken from the process (the answer goes to them).
    if (const auto status = zarn::bridge::AnswerPerson(__argc, __wargv)) return *status;
    // A copy of the host started to start a program outside the browser's
    // job for it (update/outliving_start.h) does that alone.
    int startStatus = 0;
    if (zarn::RunStartForParent(__argc, __wargv, startStatus)) return startStatus;
    zarn::AllowStartsOutsideTheJob();

    const HANDLE input = TakeStandardHandle(STD_INPUT_HANDLE);
    const HANDLE output = TakeStandardHandle(STD_OUTPUT_HANDLE);
    TakeStandardHandle(STD_ERROR_HANDLE);

    // The C runtime's arguments: the shell's own parser would load shell32,
    // and with it user32, before the first answer.
    const HWND parent = __wargv ? ParentWindowHint(__argc, __wargv) : nullptr;
    if (!input || !output) return 2;

    zarn::bridge::FrameWriter writer(output);
    zarn::bridge::Host host(writer, parent);
    zarn::bridge::FrameReader reader(input);
    int status = 0;
    for (bool reading = true; reading;) {
        std::string message;
        switch (reader.Next(message)) {
        case zarn::bridge::ReadOutcome::Message:
            host.Handle(message);
            break;
        case zarn::bridge::ReadOutcome::End:
            reading = false;
            break;
        case zarn::bridge::ReadOutcome::BadFrame:
            host.AnswerBadFrame();
            status = 1;
            reading = false;
            break;
        }
    }
    host.Finish();
    return status;
}
