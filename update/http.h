// The two HTTP operations the update dialog uses to talk to the update server.
//
// Both open a fresh internet session per call, send the same fixed block of
// request headers with INTERNET_FLAG_RELOAD | INTERNET_FLAG_TRANSFER_BINARY,
// read the reply in blocks of at most 512 bytes, and never check the HTTP
// status: an error page is a reply like any other. Failures end quietly.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// Extra request headers sent with every request to the update server.
inline constexpr std::wstring_view kRequestHeaders =
    L"Accept: */*\r\n"
    L"User-Agent: Mozilla/4.0 (compatible; MSIE 5.0;* Windows NT)\r\n"
    L"Content-type: application/x-www-form-urlencoded\r\n"
    L"\r\n\n";
static_assert(kRequestHeaders.size() == 126);

// Where a download shows its progress: a text label for "received / total"
// and a progress bar with the range 0 to 100. The controls may belong to
// another thread, whose message loop must be running.
class ProgressOwner {
public:
    virtual HWND SizeLabel() const = 0;
    virtual HWND DownloadBar() const = 0;

protected:
    ~ProgressOwner() = default;
};

// The result of HttpDownloadFile when the whole body reached the file.
inline constexpr wchar_t kDownloadComplete[] = L"YES";

// Fetches `url` into the file at `filePath` (created or replaced) and returns
// "YES" when the reply was read to its end and every byte was written, or the
// empty text when the network or the file failed; a part already written
// stays on disk. With a progress owner, its label shows the received and
// total sizes ("0KB / 0KB" without a Content-Length) and its bar the
// percentage. Logs "OpenURL", "download : strFileName", "CATCH_ALL" and the
// result. Shows the wait cursor while it runs.
std::wstring HttpDownloadFile(const ProgressOwner* progress, const std::wstring& url,
                              const std::wstring& filePath);

// Fetches `url` and returns the body, taken in the ANSI code page, as
// UTF-16; after a failure, what arrived before it. Logs nothing.
std::wstring HttpRequestText(const std::wstring& url);
