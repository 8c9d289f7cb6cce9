#include "framework/failure.h"

#include <atomic>

namespace zfw {

namespace {

std::atomic<FailureReporter> g_reporter{nullptr};

// The texts are source literals, plain ASCII: widened as they are.
void AppendAscii(std::wstring& text, const char* ascii) {
    for (const char* p = ascii; p && *p; ++p)
        text += static_cast<wchar_t>(static_cast<unsigned char>(*p));
}

}  // namespace

std::wstring DescribeOrigin(const Origin& origin) {
    std::wstring text;
    AppendAscii(text, origin.call);
    text += L" at ";
    AppendAscii(text, origin.file);
    text += L':' + std::to_wstring(origin.line);
    return text;
}

void SetFailureReporter(FailureReporter reporter) noexcept { g_reporter.store(reporter); }

void ReportFailure(const Origin& origin) noexcept {
    if (const FailureReporter reporter = g_reporter.load()) reporter(origin);
}

}  // namespace zfw
