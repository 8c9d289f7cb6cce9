// Diagnostic lines to an outside log viewer window, when one runs.
//
// Each line becomes one fixed-size record sent with WM_COPYDATA to the top-level
// window of class "xLogWnd Receiver" titled "xLogWnd". Without such a window
// nothing is sent and nothing fails: there is no log file and no switch.
#pragma once

#include "framework/failure.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace zarn {

// Where a line comes from, besides its message.
struct LogSite {
    std::int32_t code = 0;             // copied into the record; a failure's code, else 0
    std::int32_t line = 0;             // line of the call in its source file
    const char* sourceFile = nullptr;  // name of that source file, ANSI code page
    const wchar_t* extraText = nullptr;  // optional; where a failure came from
};

// The record the viewer receives: UTF-16 texts, each NUL-terminated inside its
// field, the whole block zero-filled first.
struct LogRecord {
    std::int32_t code;
    wchar_t application[1024];
    wchar_t location[1024];
    wchar_t message[2048];
    wchar_t extra[2048];
};
static_assert(offsetof(LogRecord, code) == 0);
static_assert(offsetof(LogRecord, application) == 4);
static_assert(offsetof(LogRecord, location) == 2052);
static_assert(offsetof(LogRecord, message) == 4100);
static_assert(offsetof(LogRecord, extra) == 8196);
static_assert(sizeof(LogRecord) == 12292);

// dwData of the WM_COPYDATA envelope that carries a LogRecord.
inline constexpr ULONG_PTR kLogRecordTag = 0xFEFF;
// Class and title of the viewer window; a line goes only to a window with both.
inline constexpr wchar_t kLogViewerClass[] = L"xLogWnd Receiver";
inline constexpr wchar_t kLogViewerTitle[] = L"xLogWnd";

// Formats `format` with its arguments (wvsprintfW: at most 1,023 units) and
// sends the line to the viewer window, if one runs. Never fails its caller.
void Log(const LogSite& site, const wchar_t* format, ...);

// Logs like Log, with `failure`'s code in the record's code field and its
// failing call and site (zfw::DescribeOrigin) as the extra text.
void LogFailure(LogSite site, const zfw::Origin& failure, const wchar_t* format, ...);

// A zfw::FailureReporter: logs "<call> failed" from the failing site itself.
void LogReportedFailure(const zfw::Origin& failure) noexcept;

// The call site's own line and source file name, code 0, no extra text.
#define ZARN_LOG_SITE() (::zarn::LogSite{0, __LINE__, __FILE_NAME__, nullptr})

// Logs a line from the calling site: ZARN_LOG(L"OpenURL").
#define ZARN_LOG(...) ::zarn::Log(ZARN_LOG_SITE(), __VA_ARGS__)

// Logs a line from the calling site with a failure's origin:
// ZARN_LOG_FAILURE(error.origin(), L"CATCH_ALL").
#define ZARN_LOG_FAILURE(failure, ...) ::zarn::LogFailure(ZARN_LOG_SITE(), failure, __VA_ARGS__)

}  // namespace zarn
