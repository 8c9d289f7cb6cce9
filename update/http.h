// The two HTTP operations the update dialog uses to talk to the update server.
//
// Both open a fresh internet session per call, send the same fixed block of
// request headers with kRequestFlags and
// read a text reply in blocks of at most 512 bytes (a download in blocks of
// up to 64 KiB). A small fetch (the version file, the size reply) takes only
// a 200 reply as its text: a server's error page read as a version or a size
// sent the update on to a release it then refused, under the wrong message.
// The package takes any reply, whose size check judges it. Failures end
// quietly, except that a failed https request logs its WinINet error
// (update/internet_file.h).
//
// No call waits on the server without bound (update/internet_file.h): no
// single wait lasts longer than kWaitLimitMs, and a small fetch, which has a
// size cap, ends within kSmallFetchDeadlineMs.
#pragma once

#include "update/internet_file.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarn {

// Extra request headers sent with every request to the update server.
inline constexpr std::wstring_view kRequestHeaders =
    L"Accept: */*\r\n"
    L"User-Agent: Mozilla/4.0 (compatible; MSIE 5.0;* Windows NT)\r\n"
    L"Content-type: application/x-www-form-urlencoded\r\n"
    L"\r\n\n";
static_assert(kRequestHeaders.size() == 126);
// WinINet flags of every request to the update server: never from a cache,
// and the body as it is. Nor into a cache: no reply is ever read from it, and
// storing one wrote every package a second time, into the user's internet
// cache, and made the next request wait while the cache made room.
inline constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_TRANSFER_BINARY | INTERNET_FLAG_NO_CACHE_WRITE;

// Where a download reports its progress. Called on the downloading thread:
// for the first block, then at most twenty times a second, and once more at
// the end with the final count. An implementation hands the counts to the
// thread that owns the windows showing them (by a posted message) and
// touches no window itself.
class ProgressSink {
public:
    // `received` bytes so far of `total` (0 without a Content-Length).
    virtual void DownloadProgress(DWORD received, DWORD total) = 0;

protected:
    ~ProgressSink() = default;
};

// A download's progress in a text label ("received / total", "0KB / 0KB"
// without a total) and a progress bar with the range 0 to 100 (a body that
// outgrows its total sends the bar above 100, which shows it full). Used on
// the thread that owns the controls; a control is told only when what it
// shows changes.
class ProgressDisplay {
public:
    ProgressDisplay(HWND label, HWND bar) : label_(label), bar_(bar) {}
    void Show(DWORD received, DWORD total);

private:
    HWND label_;
    HWND bar_;
    bool shown_ = false;
    int position_ = 0;  // what the bar was last told
    std::wstring text_;  // and the label
};

// Which replies a download takes as the file: any (the package, which its
// size check judges), or only one with status 200 (a small file whose text
// is read as it is).
enum class AcceptedReplies { Any, OkOnly };

// The result of HttpDownloadFile when the whole body reached the file.
inline constexpr wchar_t kDownloadComplete[] = L"YES";

// Size caps of the small fetches: a body longer than its cap is a failed
// fetch, never a shortened one.
inline constexpr size_t kVersionFileCap = 64 * 1024;
inline constexpr size_t kTextReplyCap = 4 * 1024;  // the size reply, the install report
inline constexpr size_t kIconCap = 1024 * 1024;
inline constexpr size_t kNoCap = SIZE_MAX;

// Fetches `url` into the file at `filePath` (created or replaced) and returns
// "YES" when the reply was read to its end and every byte was written, or the
// empty text when the network or the file failed, a limit ran out, the body
// grew past `maxBytes` or `accepted` refused the reply's status (then no file
// is made, and the status is the logged failure's code); a part already
// written stays on disk. `limits` bound
// the waits: kDownloadLimits for the package (only a stall ends it),
// kSmallFetchLimits for a small file. With a progress sink, it hears the
// received and total sizes (see ProgressSink). Logs "OpenURL", "download : strFileName", "CATCH_ALL"
// (with the failure's code and the call that failed) and the result. Shows the wait cursor while it runs.
std::wstring HttpDownloadFile(ProgressSink* progress, const std::wstring& url,
                              const std::wstring& filePath,
                              const TransferLimits& limits = kDownloadLimits,
                              size_t maxBytes = kNoCap,
                              AcceptedReplies accepted = AcceptedReplies::Any);

// Fetches `url` as a small fetch (kSmallFetchLimits) and returns the body of
// a 200 reply, taken in the ANSI code page, as UTF-16; after a network
// failure or a limit that ran out, what arrived before it; the empty text for
// a reply of any other status (a failed fetch) and for a body longer than
// kTextReplyCap. Logs nothing.
std::wstring HttpRequestText(const std::wstring& url);

// A whole reply of a small fetch.
struct SmallReply {
    DWORD status = 0;  // the HTTP status code; 0 when it could not be read
    std::string body;  // the body's bytes as received
};

// Small fetch: GETs `url` with the update server's request headers and flags
// and returns its status and whole body, or nothing when the server cannot be
// reached, the connection fails, the body is longer than `maxBytes` (a
// failure, never a shortened body), no answer comes within kWaitLimitMs at any
// point, or the whole fetch takes longer than kSmallFetchDeadlineMs; then
// `failure` (when given) receives the code and the call that failed. The
// status is not judged here: callers that care look at it. Logs nothing; may
// be called on any thread; throws only std::bad_alloc.
std::optional<SmallReply> FetchSmall(const std::wstring& url, size_t maxBytes,
                                     zfw::Origin* failure = nullptr);

}  // namespace zarn
