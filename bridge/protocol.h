// The messages of the protocol: requests and acknowledgements in, replies
// and events out.
//
// Request: {"id": n, "origin": "<page origin>", "method": "<name>",
//           "params": ["<text>", ...], "ack": true (optional)}
// Ack:     {"ack": n, "count": k}: the page has run k more events of call n
//          (no reply)
// Reply:   {"id": n, "result": <integer or null>}
//          {"id": n|null, "error": {"code": "<word>", "message": "<text>"}}
// Event:   {"event": "UpSelectComplete", "id": n, "params": [path, size, mode]}
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/protocol_table.h"

namespace zarn::bridge {

// The protocol's numbers, limits, methods and error codes come from its one
// table (bridge/protocol.table), shared with the extension and zarn.js.
// The word a reply carries for `code` ("bad-frame", ...).
std::string_view CodeWord(ErrorCode code);

// A request, or an acknowledgement (ackCount above 0: the page has run that
// many more events of the call `id`; nothing else is set).
struct Request {
    long id = 0;
    std::wstring origin;
    std::string method;
    std::vector<std::wstring> params;
    // The extension acknowledges this call's events: the host keeps no more
    // than kEventWindow of them unacknowledged.
    bool wantsAcks = false;
    long ackCount = 0;
};

// Why a message is not a request, and the id when one could be read.
struct RequestFault {
    ErrorCode code = ErrorCode::BadRequest;
    std::optional<long> id;
    std::wstring message;
};

// Reads one message as a request or an acknowledgement: well-formed UTF-8
// JSON, nested no deeper than a request needs (an object, and arrays or
// objects as its values), an object with an integer id in range, a method
// and an origin as texts, and params (when present) an array of texts; or
// an object with the integer "ack" and "count" and no id or method. Returns
// false with `fault` filled otherwise, its id whenever one was read before
// the fault.
bool ParseRequest(std::string_view message, Request& request, RequestFault& fault);

// The texts of replies and events, each the caller's own. Texts go out as
// UTF-8; an unpaired surrogate becomes U+FFFD, with a log line.
std::string ResultReply(long id, std::optional<long> result);
std::string ErrorReply(std::optional<long> id, ErrorCode code, std::wstring_view message);
// `update`: the version of a newer program the host knows of, if any.
std::string HelloReply(long id, std::wstring_view version, const char* arch,
                       const std::optional<std::string>& update = std::nullopt);
std::string SelectionEvent(long id, std::wstring_view path, std::wstring_view size,
                           std::wstring_view mode);

}  // namespace zarn::bridge
