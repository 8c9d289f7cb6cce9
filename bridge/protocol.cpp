#include "bridge/protocol.h"

#include <nlohmann/json.hpp>

#include <new>

#include "bridge/utf.h"
#include "support/log.h"

namespace zarn::bridge {

using nlohmann::json;

namespace {

// A request is an object holding one array: anything deeper is refused
// while it is read, before it is built.
constexpr int kMaxDepth = 4;

struct TooDeep {};

bool LimitDepth(int depth, json::parse_event_t event, json&) {
    if (depth > kMaxDepth &&
        (event == json::parse_event_t::object_start || event == json::parse_event_t::array_start))
        throw TooDeep{};
    return true;
}

std::string Utf8(std::wstring_view text) {
    std::size_t replaced = 0;
    std::string bytes = Utf16ToUtf8(text, &replaced);
    if (replaced > 0)
        ZARN_LOG(L"bridge: %d unpaired surrogate(s) sent as U+FFFD", static_cast<int>(replaced));
    return bytes;
}

std::string Dump(const json& value) {
    // Every text in `value` came from Utf8: the strict handler never fires.
    return value.dump(-1, ' ', false, json::error_handler_t::strict);
}

bool Fail(RequestFault& fault, std::wstring message) {
    fault.code = ErrorCode::BadRequest;
    fault.message = std::move(message);
    return false;
}

}  // namespace

const char* CodeWord(ErrorCode code) {
    switch (code) {
    case ErrorCode::BadFrame: return "bad-frame";
    case ErrorCode::BadRequest: return "bad-request";
    case ErrorCode::UnknownMethod: return "unknown-method";
    case ErrorCode::RefusedSite: return "refused-site";
    case ErrorCode::TooLarge: return "too-large";
    case ErrorCode::Internal: break;
    }
    return "internal";
}

bool ParseRequest(std::string_view message, Request& request, RequestFault& fault) {
    fault = RequestFault{};
    json doc;
    try {
        doc = json::parse(message.begin(), message.end(), LimitDepth);
    } catch (const TooDeep&) {
        return Fail(fault, L"The request is nested too deeply.");
    } catch (const json::exception&) {
        return Fail(fault, L"The request is not JSON in UTF-8.");
    } catch (const std::bad_alloc&) {
        return Fail(fault, L"The request is too large to read.");
    }
    if (!doc.is_object()) return Fail(fault, L"The request is not a JSON object.");

    const auto id = doc.find("id");
    if (id == doc.end() || !id->is_number_integer())
        return Fail(fault, L"The request has no integer \"id\".");
    // Signed or unsigned, compared without conversion.
    const bool inRange = id->is_number_unsigned()
                             ? id->get<std::uint64_t>() <= static_cast<std::uint64_t>(kHighestId) &&
                                   id->get<std::uint64_t>() >= 1
                             : id->get<std::int64_t>() >= 1 && id->get<std::int64_t>() <= kHighestId;
    if (!inRange) return Fail(fault, L"The request's \"id\" is not within 1 to 2147483647.");
    request.id = static_cast<long>(id->get<std::int64_t>());
    fault.id = request.id;

    const auto method = doc.find("method");
    if (method == doc.end() || !method->is_string())
        return Fail(fault, L"The request has no \"method\" text.");
    const auto origin = doc.find("origin");
    if (origin == doc.end() || !origin->is_string())
        return Fail(fault, L"The request has no \"origin\" text.");
    request.method = method->get<std::string>();
    std::optional<std::wstring> originText = Utf8ToUtf16(origin->get_ref<const std::string&>());
    if (!originText) return Fail(fault, L"The request's \"origin\" is not well-formed UTF-8.");
    request.origin = std::move(*originText);

    request.params.clear();
    const auto params = doc.find("params");
    if (params != doc.end()) {
        if (!params->is_array()) return Fail(fault, L"The request's \"params\" is not an array.");
        for (const json& param : *params) {
            if (!param.is_string()) return Fail(fault, L"A parameter is not a text.");
            std::optional<std::wstring> text = Utf8ToUtf16(param.get_ref<const std::string&>());
            if (!text) return Fail(fault, L"A parameter is not well-formed UTF-8.");
            request.params.push_back(std::move(*text));
        }
    }
    return true;
}

std::string ResultReply(long id, std::optional<long> result) {
    json reply = json::object();
    reply["id"] = id;
    reply["result"] = result ? json(*result) : json(nullptr);
    return Dump(reply);
}

std::string ErrorReply(std::optional<long> id, ErrorCode code, std::wstring_view message) {
    json reply = json::object();
    reply["id"] = id ? json(*id) : json(nullptr);
    reply["error"] = json{{"code", CodeWord(code)}, {"message", Utf8(message)}};
    return Dump(reply);
}

std::string HelloReply(long id, std::wstring_view version, const char* arch) {
    json result = json::object();
    result["protocol"] = kProtocolVersion;
    result["version"] = Utf8(version);
    result["arch"] = arch;
    json reply = json::object();
    reply["id"] = id;
    reply["result"] = std::move(result);
    return Dump(reply);
}

std::string SelectionEvent(long id, std::wstring_view path, std::wstring_view size,
                           std::wstring_view mode) {
    json event = json::object();
    event["event"] = "UpSelectComplete";
    event["id"] = id;
    event["params"] = json::array({Utf8(path), Utf8(size), Utf8(mode)});
    return Dump(event);
}

}  // namespace zarn::bridge
