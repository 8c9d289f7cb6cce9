// A WinINet session and the file object of one opened URL, with bounded waits.
//
// No wait on the server is left open-ended: a silent or dripping server must
// not hold the calling thread (often the page's own) for minutes. Every
// blocking WinINet call of a request runs on a helper thread of that request
// (a thread of the process's thread pool, for as long as the request lives);
// the caller waits for it no longer than its limits allow and then gives the
// request up: it closes the request's handles (which ends the blocked call on
// Windows) and leaves the helper thread to finish on its own. The WinINet
// connect, send and receive limits are set as well; under Wine only the ones
// on the request handle take effect, and they end a helper thread that waits
// on a silent server.
#pragma once

#include "framework/failure.h"
#include "framework/handle.h"

#include <windows.h>
#include <wininet.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace zarn {

// A network failure while opening or reading a URL, with the WinINet or
// system error code (ERROR_INTERNET_TIMEOUT when a limit ran out) and the
// call that failed.
class InternetError : public zfw::Failure {
public:
    explicit InternetError(const zfw::Origin& origin) : zfw::Failure(origin) {}
};

// How long a request may wait on the server.
struct TransferLimits {
    // Longest single wait: for the connection and the reply's headers, and for
    // each read of the body. A read asks for what the server sent in about a
    // quarter of a second so far, at least 512 bytes: a server that sends less
    // than that within the limit has stalled.
    DWORD waitMs;
    // Longest whole request, from opening the URL to the end of the body;
    // INFINITE for none.
    DWORD deadlineMs;
};

// No single wait for the server lasts longer than this.
inline constexpr DWORD kWaitLimitMs = 20000;
// A small fetch (version file, size reply, report, icon) ends within this.
inline constexpr DWORD kSmallFetchDeadlineMs = 30000;

inline constexpr TransferLimits kSmallFetchLimits{kWaitLimitMs, kSmallFetchDeadlineMs};
// A download of any length: only a stall ends it.
inline constexpr TransferLimits kDownloadLimits{kWaitLimitMs, INFINITE};

class HttpFile;

// One internet session (InternetOpenW with the system's configured proxy,
// no agent name of our own, no flags) with the wait limits set on it; closed
// when the object goes away.
class InternetSession {
public:
    // Throws InternetError when WinINet cannot open a session.
    InternetSession();

    // Opens `url` (http or https) with `headers` sent as extra request headers,
    // `flags` and context 1: a GET without a body. Returns once the reply's
    // headers have arrived. Throws InternetError when the server cannot be
    // reached, the request fails or `limits` run out; an https request also
    // fails when WinINet does not trust the server's certificate or was
    // redirected to plain http (ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR), and
    // then logs a line that names the error.
    HttpFile OpenUrl(const std::wstring& url, const std::wstring& headers, DWORD flags,
                     const TransferLimits& limits);

private:
    zfw::unique_hinternet session_;
};

struct RequestState;

// The reply of an opened URL. Read hands out the body in blocks of the
// caller's size; underneath, the network is read in large chunks so that small
// blocks do not each cost a network call.
class HttpFile {
public:
    HttpFile(std::shared_ptr<RequestState> state, const TransferLimits& limits,
             ULONGLONG started);
    ~HttpFile();
    HttpFile(HttpFile&&) noexcept;
    HttpFile& operator=(HttpFile&&) = delete;
    HttpFile(const HttpFile&) = delete;
    HttpFile& operator=(const HttpFile&) = delete;

    // Copies up to `size` bytes of the body into `buffer`; 0 at the end of the
    // body. Throws InternetError when the connection fails, including a body
    // that ends before its Content-Length, and when a limit runs out.
    size_t Read(void* buffer, size_t size);
    // The next up to `maxBytes` bytes of the body where they lie, valid until
    // the next call or Close; empty at the end of the body. Throws as Read.
    std::span<const BYTE> Next(size_t maxBytes);

    // The reply's Content-Length as a number, when it has one that parses.
    std::optional<DWORD> ContentLength();
    // The reply's HTTP status code; 0 when it cannot be read.
    DWORD StatusCode();

    // Closes the request now; reads after it return 0.
    void Close();

private:
    // Refills the chunk; false at the end of the body.
    bool Fill();
    // How many bytes one WinINet read of the next job may wait for beyond
    // what has arrived: what the server sent in a quarter second at its pace
    // so far, from 512 bytes to 64 KiB.
    DWORD NextStep(ULONGLONG now) const;

    std::shared_ptr<RequestState> state_;
    TransferLimits limits_;
    ULONGLONG started_;
    size_t chunkUsed_ = 0;
    size_t chunkFilled_ = 0;
    unsigned long long bodyRead_ = 0;
    ULONGLONG bodyStarted_ = 0;  // when the first read job began
    DWORD readSize_ = 512;  // what the next network read asks for
};

}  // namespace zarn
