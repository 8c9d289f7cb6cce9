#include "support/log.h"

#include "support/module_name.h"
#include "support/text.h"

#include <array>
#include <cstdarg>
#include <new>
#include <string>

namespace zarn {

namespace {

// How long a record may wait for a live viewer.
constexpr UINT kViewerTimeoutMs = 5000;

// Units of the conversion and location buffers; the formatter writes at most
// this many, terminator included.
constexpr size_t kLineUnits = 1024;
// Units of the message buffer: room for any formatter output.
constexpr size_t kMessageUnits = 2048;

// `ansi` in UTF-16 within kLineUnits units, terminator included; a longer name
// is cut, never written past the buffer.
std::array<wchar_t, kLineUnits> SourceFileName(const char* ansi) {
    std::array<wchar_t, kLineUnits> wide{};
    if (!ansi) return wide;
    const std::optional<std::wstring> converted = FromCodePage(CP_ACP, ansi);
    if (!converted) return wide;
    ::lstrcpynW(wide.data(), converted->c_str(), static_cast<int>(wide.size()));
    return wide;
}

void LogV(HWND viewer, const LogSite& site, const wchar_t* format, va_list args) {
    // The message buffer belongs to the call, so lines from two threads
    // cannot overwrite each other's text.
    std::array<wchar_t, kMessageUnits> message{};
    ::wvsprintfW(message.data(), format, args);
    message[kLineUnits - 1] = L'\0';  // the formatter's limit, whatever it wrote

    const std::array<wchar_t, kLineUnits> sourceFile = SourceFileName(site.sourceFile);
    std::array<wchar_t, kLineUnits> location{};
    ::wsprintfW(location.data(), L"%d line in %s", site.line, sourceFile.data());
    location[kLineUnits - 1] = L'\0';

    const std::wstring& application = ModuleBaseName();

    LogRecord record{};
    record.code = site.code;
    if (!application.empty())
        ::lstrcpynW(record.application, application.c_str(), std::size(record.application));
    ::lstrcpynW(record.location, location.data(), std::size(record.location));
    ::lstrcpynW(record.message, message.data(), std::size(record.message));
    if (site.extraText) ::lstrcpynW(record.extra, site.extraText, std::size(record.extra));

    COPYDATASTRUCT envelope{};
    envelope.dwData = kLogRecordTag;
    envelope.cbData = sizeof(record);
    envelope.lpData = &record;
    // A viewer that hangs must not freeze the page's thread with it: a hung
    // window is skipped at once, a slow one given a few seconds.
    DWORD_PTR reply = 0;
    ::SendMessageTimeoutW(viewer, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&envelope),
                          SMTO_ABORTIFHUNG, kViewerTimeoutMs, &reply);
}

HWND FindViewer() { return ::FindWindowW(kLogViewerClass, kLogViewerTitle); }

}  // namespace

void Log(const LogSite& site, const wchar_t* format, ...) {
    // Without a viewer the line goes nowhere: nothing to format.
    const HWND viewer = FindViewer();
    if (!viewer) return;
    va_list args;
    va_start(args, format);
    LogV(viewer, site, format, args);
    va_end(args);
}

void LogFailure(LogSite site, const zfw::Origin& failure, const wchar_t* format, ...) {
    const HWND viewer = FindViewer();
    if (!viewer) return;
    std::wstring extra;
    try {
        extra = zfw::DescribeOrigin(failure);
    } catch (const std::bad_alloc&) {
        // The line goes without its origin rather than not at all.
    }
    site.code = failure.code;
    site.extraText = extra.c_str();
    va_list args;
    va_start(args, format);
    LogV(viewer, site, format, args);
    va_end(args);
}

void LogReportedFailure(const zfw::Origin& failure) noexcept {
    try {
        LogFailure(LogSite{0, failure.line, failure.file, nullptr}, failure, L"%hs failed",
                   failure.call);
    } catch (...) {
        // A failure that cannot be logged is still the caller's to handle.
    }
}

}  // namespace zarn
