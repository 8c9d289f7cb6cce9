// Failures that keep where they came from.
//
// A failure carries its code (a Win32 error or an HRESULT), the call or
// expression that failed, as written at the failing site, and that site's
// file and line. The product's error types derive from Failure, so whoever
// catches one can log the cause and not only that something failed.
//
// ZFW_THROW_LAST_ERROR_IF(Type, condition, call) throws Type with the thread's
// last error; ZFW_THROW_WIN32(Type, code, call) throws it with a code already
// taken. For HRESULTs, ZFW_RETURN_IF_FAILED(expression) returns a failed
// result from the enclosing function, and ZFW_LOG_IF_FAILED(expression)
// yields it to the caller; both first pass the origin to the failure reporter
// the module installed (its log), as nothing below the module can log.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace zfw {

// Where a failure came from. The texts are the source's own literals.
struct Origin {
    std::int32_t code = 0;  // Win32 error or HRESULT
    const char* call = "";  // the failing call or expression
    const char* file = "";  // its source file's name
    int line = 0;           // its line there
};

// "HttpSendRequest at internet_file.cpp:213": the call and its site, for the
// log record's extra text.
std::wstring DescribeOrigin(const Origin& origin);

// A failure with its origin; what() is the failing call's text.
class Failure : public std::runtime_error {
public:
    explicit Failure(const Origin& origin) : std::runtime_error(origin.call), origin_(origin) {}
    const Origin& origin() const noexcept { return origin_; }
    // The code as a Win32 error.
    DWORD error() const noexcept { return static_cast<DWORD>(origin_.code); }

private:
    Origin origin_;
};

// A failure stated in words for whoever made the call: the libraries throw it
// where the caller should read why (a file that cannot be written, a refused
// address). `code` is what a script sees as the call's result.
class CallFailure {
public:
    explicit CallFailure(std::wstring description, HRESULT code = E_FAIL)
        : description_(std::move(description)), code_(code) {}
    const std::wstring& description() const noexcept { return description_; }
    HRESULT code() const noexcept { return code_; }

private:
    std::wstring description_;
    HRESULT code_;
};

// Gives the failure being handled to report(code, text), and returns what
// report returns; call it from a catch block only. Both the control and the
// bridge host map failures here, so a script and a page read the same words:
// a CallFailure's own, "Out of memory.", a std::exception's what() widened
// byte for byte, else "Unexpected error.".
template <class F>
decltype(auto) ReportCurrentFailure(F&& report) {
    using Text = std::wstring_view;
    try {
        throw;
    } catch (const CallFailure& e) {
        return report(e.code(), Text(e.description()));
    } catch (const std::bad_alloc&) {
        return report(HRESULT{E_OUTOFMEMORY}, Text(L"Out of memory."));
    } catch (const std::exception& e) {
        std::wstring text;
        try {
            for (const char* at = e.what(); *at; ++at)
                text += static_cast<wchar_t>(static_cast<unsigned char>(*at));
        } catch (const std::bad_alloc&) {
            return report(HRESULT{E_OUTOFMEMORY}, Text(L"Out of memory."));
        }
        return report(HRESULT{E_FAIL}, Text(text));
    } catch (...) {
        return report(HRESULT{E_UNEXPECTED}, Text(L"Unexpected error."));
    }
}

// Receives every failure the HRESULT macros pass on; called on the failing
// thread, and must not fail. None until the module installs one.
using FailureReporter = void (*)(const Origin& origin) noexcept;
void SetFailureReporter(FailureReporter reporter) noexcept;
void ReportFailure(const Origin& origin) noexcept;

// Reports `result` with `origin` when it failed; returns it either way.
inline HRESULT LogIfFailed(HRESULT result, Origin origin) noexcept {
    if (FAILED(result)) {
        origin.code = static_cast<std::int32_t>(result);
        ReportFailure(origin);
    }
    return result;
}

}  // namespace zfw

#define ZFW_ORIGIN(code, call) \
    (::zfw::Origin{static_cast<std::int32_t>(code), call, __FILE_NAME__, __LINE__})

#define ZFW_THROW_WIN32(Type, code, call) throw Type(ZFW_ORIGIN(code, call))

// The last error is taken before anything else can change it.
#define ZFW_THROW_LAST_ERROR_IF(Type, condition, call)        \
    do {                                                      \
        if (condition) {                                      \
            const DWORD zfwLastError = ::GetLastError();      \
            ZFW_THROW_WIN32(Type, zfwLastError, call);        \
        }                                                     \
    } while (0)

#define ZFW_RETURN_IF_FAILED(expression)                               \
    do {                                                               \
        const HRESULT zfwResult = (expression);                        \
        if (FAILED(zfwResult)) {                                       \
            ::zfw::ReportFailure(ZFW_ORIGIN(zfwResult, #expression));  \
            return zfwResult;                                          \
        }                                                              \
    } while (0)

#define ZFW_LOG_IF_FAILED(expression) ::zfw::LogIfFailed((expression), ZFW_ORIGIN(0, #expression))
