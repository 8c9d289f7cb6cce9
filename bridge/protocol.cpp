#include "bridge/protocol.h"

#include <nlohmann/json.hpp>

#include <new>

#include "bridge/utf.h"
#include "support/log.h"

namespace zarn::bridge {

using nlohmann::json;

namespace {

// A request is an object holding one array: anything deeper is refused
// while it is read.
constexpr int kMaxDepth = 4;

// Reads a request as the parser meets it, without building a document:
// the fields it knows are kept, anything else is only checked for depth.
class RequestReader final : public json::json_sax_t {
public:
    enum class Field { None, Id, Origin, Method, Params, Other };

    bool tooDeep = false;
    bool notObject = false;
    bool syntaxError = false;
    bool idIsInteger = false;
    bool idInRange = false;
    long id = 0;
    bool hasOrigin = false, hasMethod = false, hasParams = false;
    bool originText = true, methodText = true;
    bool paramsArray = true, paramsTexts = true;
    std::string origin, method;
    std::vector<std::string> params;

    bool null() override { return Value(); }
    bool boolean(bool) override { return Value(); }
    bool number_integer(json::number_integer_t value) override {
        if (Top(Field::Id)) {
            idIsInteger = true;
            idInRange = value >= 1 && value <= kHighestId;
            id = idInRange ? static_cast<long>(value) : 0;
        }
        return Value();
    }
    bool number_unsigned(json::number_unsigned_t value) override {
        if (Top(Field::Id)) {
            idIsInteger = true;
            idInRange = value >= 1 && value <= static_cast<json::number_unsigned_t>(kHighestId);
            id = idInRange ? static_cast<long>(value) : 0;
        }
        return Value();
    }
    bool number_float(json::number_float_t, const std::string&) override { return Value(); }
    bool string(std::string& value) override {
        if (Top(Field::Origin)) {
            origin = std::move(value);
            originText = true;
            return true;
        }
        if (Top(Field::Method)) {
            method = std::move(value);
            methodText = true;
            return true;
        }
        if (depth_ == 2 && field_ == Field::Params) {
            params.push_back(std::move(value));
            return true;
        }
        return Value();
    }
    bool binary(json::binary_t&) override { return Value(); }
    bool start_object(std::size_t) override {
        if (depth_ == 0) {
            ++depth_;
            return true;
        }
        Value();
        return Enter();
    }
    bool key(std::string& name) override {
        if (depth_ != 1) return true;
        field_ = name == "id"       ? Field::Id
                 : name == "origin" ? Field::Origin
                 : name == "method" ? Field::Method
                 : name == "params" ? Field::Params
                                    : Field::Other;
        // A repeated name counts as its last value, as in a document.
        switch (field_) {
        case Field::Id: idIsInteger = idInRange = false; break;
        case Field::Origin: hasOrigin = true; originText = false; break;
        case Field::Method: hasMethod = true; methodText = false; break;
        case Field::Params:
            hasParams = true;
            paramsArray = false;
            paramsTexts = true;
            params.clear();
            break;
        default: break;
        }
        return true;
    }
    bool end_object() override { return Leave(); }
    bool start_array(std::size_t) override {
        if (depth_ == 0) {
            notObject = true;
            return false;
        }
        if (Top(Field::Params)) {
            paramsArray = true;
            ++depth_;
            return true;
        }
        Value();
        return Enter();
    }
    bool end_array() override { return Leave(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        syntaxError = true;
        return false;
    }

private:
    // True for the value of `field` in the top object.
    bool Top(Field field) const { return depth_ == 1 && field_ == field; }
    // Any value: at the top level the document is not an object; inside
    // params, a value that is not a text spoils them.
    bool Value() {
        if (depth_ == 0) {
            notObject = true;
            return false;
        }
        if (depth_ >= 2 && field_ == Field::Params) paramsTexts = false;
        return true;
    }
    bool Enter() {
        if (++depth_ > kMaxDepth) {
            tooDeep = true;
            return false;
        }
        return true;
    }
    bool Leave() {
        --depth_;
        return true;
    }

    int depth_ = 0;
    Field field_ = Field::None;
};

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
    RequestReader reader;
    try {
        json::sax_parse(message.begin(), message.end(), &reader);
    } catch (const std::bad_alloc&) {
        return Fail(fault, L"The request is too large to read.");
    } catch (const json::exception&) {
        reader.syntaxError = true;
    }
    if (reader.tooDeep) return Fail(fault, L"The request is nested too deeply.");
    if (reader.notObject) return Fail(fault, L"The request is not a JSON object.");
    if (reader.syntaxError) return Fail(fault, L"The request is not JSON in UTF-8.");

    if (!reader.idIsInteger) return Fail(fault, L"The request has no integer \"id\".");
    if (!reader.idInRange) return Fail(fault, L"The request's \"id\" is not within 1 to 2147483647.");
    request.id = reader.id;
    fault.id = request.id;

    if (!reader.hasMethod || !reader.methodText)
        return Fail(fault, L"The request has no \"method\" text.");
    if (!reader.hasOrigin || !reader.originText)
        return Fail(fault, L"The request has no \"origin\" text.");
    request.method = std::move(reader.method);
    std::optional<std::wstring> originText = Utf8ToUtf16(reader.origin);
    if (!originText) return Fail(fault, L"The request's \"origin\" is not well-formed UTF-8.");
    request.origin = std::move(*originText);

    request.params.clear();
    if (reader.hasParams) {
        if (!reader.paramsArray) return Fail(fault, L"The request's \"params\" is not an array.");
        if (!reader.paramsTexts) return Fail(fault, L"A parameter is not a text.");
        for (const std::string& param : reader.params) {
            std::optional<std::wstring> text = Utf8ToUtf16(param);
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
