// A WinINet session and the file object of one opened URL.
#pragma once

#include "framework/handle.h"

#include <windows.h>
#include <wininet.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A network failure while opening or reading a URL, with the WinINet or
// system error code.
class InternetError : public std::runtime_error {
public:
    InternetError(const char* what, DWORD error);
    DWORD error() const noexcept { return error_; }

private:
    DWORD error_;
};

class HttpFile;

// One internet session (InternetOpenW with the system's configured proxy,
// no agent name of our own, no flags); closed when the object goes away.
class InternetSession {
public:
    // Throws InternetError when WinINet cannot open a session.
    InternetSession();

    // Opens `url` with `headers` sent as extra request headers, `flags` and
    // context 1: for an http URL, a GET without a body. Throws InternetError
    // when the server cannot be reached or the request fails.
    HttpFile OpenUrl(const std::wstring& url, const std::wstring& headers, DWORD flags);

private:
    zfw::unique_hinternet session_;
};

// The reply of an opened URL. Read hands out the body in blocks of the
// caller's size; underneath, the network is read in large chunks so that small
// blocks do not each cost a network call.
class HttpFile {
public:
    explicit HttpFile(zfw::unique_hinternet request);

    // Copies up to `size` bytes of the body into `buffer`; 0 at the end of the
    // body. Throws InternetError when the connection fails, including a body
    // that ends before its Content-Length.
    size_t Read(void* buffer, size_t size);

    // The reply's Content-Length as a number, when it has one that parses.
    std::optional<DWORD> ContentLength();

    // Closes the request handle now; reads after it return 0.
    void Close();

private:
    // Refills the chunk; false at the end of the body.
    bool Fill();

    zfw::unique_hinternet request_;
    std::vector<BYTE> chunk_;
    size_t chunkUsed_ = 0;
    size_t chunkFilled_ = 0;
    unsigned long long bodyRead_ = 0;
};
