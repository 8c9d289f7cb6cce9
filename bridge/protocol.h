// The messages of protocol 1: requests in, replies and events out.
//
// Request: {"id": n, "origin": "<page origin>", "method": "<name>",
//           "params": ["<text>", ...]}
// Reply:   {"id": n, "result": <integer or null>}
//          {"id": n|null, "error": {"code": "<word>", "message": "<text>"}}
// Event:   {"event": "UpSelectComplete", "id": n, "params": [path, size, mode]}
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::bridge {

// The newest protocol the host speaks, and the oldest it still answers in
// the same way: an extension judges by both which side is behind.
inline constexpr int kProtocolVersion = 1;
inline constexpr int kOldestProtocolVersion = 1;
// Request ids run 1..2^31-1.
inline constexpr std::int64_t kHighestId = 0x7FFFFFFF;

enum class ErrorCode { BadFrame, BadRequest, UnknownMethod, RefusedSite, TooLarge, Busy, Internal };

// The word a reply carries for `code` ("bad-frame", ...).
const char* CodeWord(ErrorCode code);

struct Request {
    long id = 0;
    std::wstring origin;
    std::string method;
    std::vector<std::wstring> params;
};

// Why a message is not a request, and the id when one could be read.
struct RequestFault {
    ErrorCode code = ErrorCode::BadRequest;
    std::optional<long> id;
    std::wstring message;
};

// Reads one message as a request: well-formed UTF-8 JSON, nested no deeper
// than a request needs (an object, and arrays or objects as its values),
// an object with an integer id in range, a method and an origin as texts,
// and params (when present) an array of texts. Returns false with `fault`
// filled otherwise, its id whenever one was read before the fault.
bool ParseRequest(std::string_view message, Request& request, RequestFault& fault);

// The texts of replies and events, each the caller's own. Texts go out as
// UTF-8; an unpaired surrogate becomes U+FFFD, with a log line.
std::string ResultReply(long id, std::optional<long> result);
std::string ErrorReply(std::optional<long> id, ErrorCode code, std::wstring_view message);
std::string HelloReply(long id, std::wstring_view version, const char* arch);
std::string SelectionEvent(long id, std::wstring_view path, std::wstring_view size,
                           std::wstring_view mode);

}  // namespace zarn::bridge
