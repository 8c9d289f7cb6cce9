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

// Texts kept from one message to the next up to this size: a round trip
// then allocates almost nothing (under Wine an allocation costs about as
// much as writing a small frame, and a round trip does little else).
constexpr std::size_t kKeptBytes = 64 * 1024;

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
    // The first paramCount hold this request's (the rest keep their memory
    // for the next request).
    std::vector<std::string> params;
    std::size_t paramCount = 0;

    // Ready for the next request, keeping the memory of its texts.
    void Reset() {
        tooDeep = notObject = syntaxError = idIsInteger = idInRange = false;
        id = 0;
        hasOrigin = hasMethod = hasParams = false;
        originText = methodText = paramsArray = paramsTexts = true;
        origin.clear();
        method.clear();
        paramCount = 0;
        depth_ = 0;
        field_ = Field::None;
    }

    // Gives back the memory of large texts.
    void DropLarge() {
        std::size_t kept = origin.capacity() + method.capacity();
        for (const std::string& param : params) kept += param.capacity();
        if (kept > kKeptBytes) *this = RequestReader{};
    }

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
        // Copied, not moved: the parser's buffer and these texts both keep
        // their memory.
        if (Top(Field::Origin)) {
            origin.assign(value);
            originText = true;
            return true;
        }
        if (Top(Field::Method)) {
            method.assign(value);
            methodText = true;
            return true;
        }
        if (depth_ == 2 && field_ == Field::Params) {
            if (paramCount < params.size())
                params[paramCount].assign(value);
            else
                params.push_back(value);
            ++paramCount;
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
            paramCount = 0;
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

void LogReplaced(std::size_t replaced) {
    if (replaced > 0)
        ZARN_LOG(L"bridge: %d unpaired surrogate(s) sent as U+FFFD", static_cast<int>(replaced));
}

std::string Utf8(std::wstring_view text) {
    std::size_t replaced = 0;
    std::string bytes = Utf16ToUtf8(text, &replaced);
    LogReplaced(replaced);
    return bytes;
}

// Into a text already in a document, keeping its memory.
void Utf8Into(std::wstring_view text, json& value) {
    std::size_t replaced = 0;
    Utf16ToUtf8(text, value.get_ref<std::string&>(), &replaced);
    LogReplaced(replaced);
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

// Writes documents into one kept text with a serializer set up once: each
// set-up takes the locale's separators and allocates an indent buffer.
class KeptWriter {
public:
    KeptWriter() = default;
    KeptWriter(const KeptWriter&) = delete;
    KeptWriter& operator=(const KeptWriter&) = delete;

    // The text of `value`, valid until the next call.
    std::string_view Write(const json& value) {
        // A large item's memory is not kept for the next one.
        if (text_.capacity() > kKeptBytes) std::string().swap(text_);
        text_.clear();
        out_.dump(value, false, false, 0);
        return text_;
    }

private:
    std::string text_;
    nlohmann::detail::serializer<json> out_{
        std::make_shared<nlohmann::detail::output_string_adapter<char, std::string>>(text_), ' ',
        json::error_handler_t::strict};
};

}  // namespace

// The reading thread's memory (see KeptMemory).
struct KeptMemory::Parts {
    RequestReader reader;
    json result = {{"id", 0}, {"result", nullptr}};
    json event = {{"event", "UpSelectComplete"}, {"id", 0}, {"params", {"", "", ""}}};
    KeptWriter resultText, eventText;

    Parts() = default;
    Parts(const Parts&) = delete;
    Parts& operator=(const Parts&) = delete;
};

KeptMemory::KeptMemory() : parts_(std::make_unique<Parts>()) {}

KeptMemory::~KeptMemory() = default;

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

bool ParseRequest(std::string_view message, Request& request, RequestFault& fault,
                  KeptMemory& kept) {
    fault = RequestFault{};
    RequestReader& reader = kept.parts().reader;
    reader.Reset();
    struct Drop {
        RequestReader& reader;
        ~Drop() { reader.DropLarge(); }
    } drop{reader};
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
    request.method.assign(reader.method);
    if (!Utf8ToUtf16(reader.origin, request.origin))
        return Fail(fault, L"The request's \"origin\" is not well-formed UTF-8.");

    if (!reader.hasParams) {
        request.params.clear();
        return true;
    }
    if (!reader.paramsArray) return Fail(fault, L"The request's \"params\" is not an array.");
    if (!reader.paramsTexts) return Fail(fault, L"A parameter is not a text.");
    request.params.resize(reader.paramCount);
    for (std::size_t i = 0; i < reader.paramCount; ++i)
        if (!Utf8ToUtf16(reader.params[i], request.params[i]))
            return Fail(fault, L"A parameter is not well-formed UTF-8.");
    return true;
}

std::string ResultReply(long id, std::optional<long> result) {
    json reply = json::object();
    reply["id"] = id;
    reply["result"] = result ? json(*result) : json(nullptr);
    return Dump(reply);
}

std::string_view ResultReply(long id, std::optional<long> result, KeptMemory& kept) {
    KeptMemory::Parts& parts = kept.parts();
    json& reply = parts.result;
    reply["id"] = id;
    reply["result"] = result ? json(*result) : json(nullptr);
    return parts.resultText.Write(reply);
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

std::string_view SelectionEvent(long id, std::wstring_view path, std::wstring_view size,
                                std::wstring_view mode, KeptMemory& kept) {
    KeptMemory::Parts& parts = kept.parts();
    json& event = parts.event;
    event["id"] = id;
    json& params = event["params"];
    Utf8Into(path, params[0]);
    Utf8Into(size, params[1]);
    Utf8Into(mode, params[2]);
    const std::string_view text = parts.eventText.Write(event);
    // A large item's memory is not kept.
    if (text.size() > kKeptBytes) event["params"] = {"", "", ""};
    return text;
}

}  // namespace zarn::bridge
