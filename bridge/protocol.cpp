#include "bridge/protocol.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <variant>

#include "bridge/utf.h"
#include "support/log.h"
#include "support/text.h"

namespace zarn::bridge {

namespace {

// A request is an object holding one array: anything deeper is refused
// while it is read.
constexpr int kMaxDepth = 2;

// The JSON library's memory, from the C runtime as its own allocator takes
// it, but a failed allocation throws std::bad_alloc (which the callers
// answer) where the library's own would go on with a null pointer.
struct Memory {
    static const bool kNeedFree = true;
    void* Malloc(std::size_t size) {
        if (size == 0) return nullptr;
        void* block = std::malloc(size);
        if (!block) throw std::bad_alloc();
        return block;
    }
    void* Realloc(void* block, std::size_t, std::size_t size) {
        if (size == 0) {
            std::free(block);
            return nullptr;
        }
        void* moved = std::realloc(block, size);
        if (!moved) throw std::bad_alloc();
        return moved;
    }
    static void Free(void* block) { std::free(block); }
};

using Utf8 = rapidjson::UTF8<>;
using Parser = rapidjson::GenericReader<Utf8, Utf8, Memory>;

// Strings are checked byte for byte against UTF-8 as they are read, so a
// surrogate's code (ED A0..ED BF) in a text can only come from a lone
// \uDC00..\uDFFF escape, which the parser passes on: such a text is not
// JSON in UTF-8 either.
bool HoldsSurrogate(const char* text, std::size_t length) {
    const char* end = text + length;
    for (const char* at = text; (at = static_cast<const char*>(std::memchr(at, '\xED', end - at)));
         ++at)
        if (at + 1 < end && static_cast<unsigned char>(at[1]) >= 0xA0) return true;
    return false;
}

// A field's value as read: Absent until its name comes, Other for a value
// of no kind a request uses, and an array as its items, each a text or not.
struct Absent {};
struct Other {};
using Items = std::vector<std::optional<std::string>>;
using FieldValue = std::variant<Absent, Other, bool, std::int64_t, std::string, Items>;

// The fields of a request, filled by name as the message is read; other
// names are passed over. A repeated name counts as its last value, as in a
// document.
struct Fields {
    FieldValue id, origin, method, params, ack, count;
};

struct FieldName {
    std::string_view name;
    FieldValue Fields::*field;
};

constexpr FieldName kFieldNames[] = {
    {"id", &Fields::id},
    {"origin", &Fields::origin},
    {"method", &Fields::method},
    {"params", &Fields::params},
    {"ack", &Fields::ack},
    {"count", &Fields::count},
};

// Why the reading stopped before the message's end.
enum class Stop { None, TooDeep, NotObject, HalfCharacter, NotJson };

// Reads a request as the parser meets it, without building a document:
// the values of the top object's fields are kept, anything else is only
// checked for depth.
class RequestReader final : public rapidjson::BaseReaderHandler<Utf8, RequestReader> {
public:
    Fields fields;
    Stop stop = Stop::None;

    bool Null() { return Put(Other{}); }
    bool Bool(bool value) { return Put(value); }
    bool Int(int value) { return Put(std::int64_t{value}); }
    bool Uint(unsigned value) { return Put(std::int64_t{value}); }
    bool Int64(std::int64_t value) { return Put(value); }
    bool Uint64(std::uint64_t value) {
        // Above every id: out of range as -1 is.
        const bool above = value > static_cast<std::uint64_t>(kHighestId);
        return Put(above ? std::int64_t{-1} : static_cast<std::int64_t>(value));
    }
    bool Double(double) { return Put(Other{}); }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        if (HoldsSurrogate(text, length)) return Halt(Stop::HalfCharacter);
        return Put(Kept() ? FieldValue(std::string(text, length)) : FieldValue(Other{}));
    }
    bool StartObject() {
        if (depth_ == 0) {
            ++depth_;
            return true;
        }
        Put(Other{});
        return Enter();
    }
    bool Key(const char* name, rapidjson::SizeType length, bool) {
        if (HoldsSurrogate(name, length)) return Halt(Stop::HalfCharacter);
        if (depth_ != 1) return true;
        field_ = nullptr;
        for (const FieldName& known : kFieldNames)
            if (known.name == std::string_view(name, length)) field_ = &(fields.*known.field);
        // Named, the field is there, whatever its value turns out to be.
        if (field_) *field_ = Other{};
        return true;
    }
    bool EndObject(rapidjson::SizeType) { return Leave(); }
    bool StartArray() {
        if (depth_ == 0) return Halt(Stop::NotObject);
        Put(depth_ == 1 ? FieldValue(Items{}) : FieldValue(Other{}));
        return Enter();
    }
    bool EndArray(rapidjson::SizeType) { return Leave(); }

private:
    // Whether a value here is a field's value or an item of its array.
    bool Kept() const {
        return field_ && (depth_ == 1 || std::holds_alternative<Items>(*field_));
    }
    // Any value: at the top level the message is not an object.
    bool Put(FieldValue value) {
        if (depth_ == 0) return Halt(Stop::NotObject);
        if (!Kept()) return true;
        if (depth_ == 1) {
            *field_ = std::move(value);
            return true;
        }
        std::string* text = std::get_if<std::string>(&value);
        std::get<Items>(*field_).push_back(text ? std::optional(std::move(*text)) : std::nullopt);
        return true;
    }
    bool Halt(Stop why) {
        stop = why;
        return false;
    }
    bool Enter() { return ++depth_ <= kMaxDepth || Halt(Stop::TooDeep); }
    bool Leave() {
        --depth_;
        return true;
    }

    int depth_ = 0;
    FieldValue* field_ = nullptr;  // the top object's field being read
};

bool Fail(RequestFault& fault, std::wstring message) {
    fault.code = ErrorCode::BadRequest;
    fault.message = std::move(message);
    return false;
}

// The JSON library's writer puts a message's text here.
struct Output {
    using Ch = char;
    std::string text;
    void Put(char c) { text.push_back(c); }
    void Flush() {}
};

// Writes one message into a text of its own, which Done hands over.
class Message {
    // What the writer is made on, so made before it.
    Memory memory_;
    Output output_;

public:
    rapidjson::Writer<Output, Utf8, Utf8, Memory> json;

    // Enough for a reply or an event of short texts in one allocation.
    Message() : json(output_, &memory_, kMaxDepth) { output_.text.reserve(128); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    void Id(std::optional<long> id) {
        json.Key("id");
        if (id)
            json.Int(*id);
        else
            json.Null();
    }

    // A text, as UTF-8 (an unpaired surrogate as U+FFFD).
    void Text(std::wstring_view text) {
        std::size_t replaced = 0;
        const std::string bytes = Utf16ToUtf8(text, &replaced);
        if (replaced > 0)
            ZARN_LOG(L"bridge: %d unpaired surrogate(s) sent as U+FFFD", static_cast<int>(replaced));
        json.String(bytes.data(), static_cast<rapidjson::SizeType>(bytes.size()));
    }

    std::string Done() { return std::move(output_.text); }
};

}  // namespace

std::string_view CodeWord(ErrorCode code) { return kErrorWords.at(static_cast<std::size_t>(code)); }

bool ParseRequest(std::string_view message, Request& request, RequestFault& fault) {
    fault = RequestFault{};
    RequestReader reader;
    Fields& fields = reader.fields;
    // A NUL byte reads as the end of the input: after the object, such an
    // end that is not the message's own is text the parser left unread.
    rapidjson::MemoryStream input(message.data(), message.size());
    bool tooLarge = false;
    try {
        Memory memory;
        Parser parser(&memory);
        const rapidjson::ParseResult parsed =
            parser.Parse<rapidjson::kParseValidateEncodingFlag>(input, reader);
        // A lone \uD800..\uDBFF escape stops the parser itself.
        if (!parsed && parsed.Code() == rapidjson::kParseErrorStringUnicodeSurrogateInvalid)
            reader.stop = Stop::HalfCharacter;
        else if ((!parsed && parsed.Code() != rapidjson::kParseErrorTermination) ||
                 (parsed && input.Tell() != message.size()))
            reader.stop = Stop::NotJson;
    } catch (const std::bad_alloc&) {
        tooLarge = true;
    }
    // The id goes with every refusal once read, so the page's call gets the
    // refusal, wherever in the message the fault comes.
    const std::int64_t* id = std::get_if<std::int64_t>(&fields.id);
    const bool idInRange = id && *id >= 1 && *id <= kHighestId;
    if (idInRange) fault.id = static_cast<long>(*id);
    if (tooLarge) return Fail(fault, L"The request is too large to read.");
    switch (reader.stop) {
    case Stop::TooDeep: return Fail(fault, L"The request is nested too deeply.");
    case Stop::NotObject: return Fail(fault, L"The request is not a JSON object.");
    case Stop::HalfCharacter: return Fail(fault, kLoneSurrogateText);
    case Stop::NotJson: return Fail(fault, L"The request is not JSON in UTF-8.");
    case Stop::None: break;
    }

    // An acknowledgement names its call in "ack" and has no method.
    const std::int64_t* acked = std::get_if<std::int64_t>(&fields.ack);
    if (acked && std::holds_alternative<Absent>(fields.method) &&
        std::holds_alternative<Absent>(fields.id)) {
        const std::int64_t* count = std::get_if<std::int64_t>(&fields.count);
        if (*acked < 1 || *acked > kHighestId || !count || *count < 1 || *count > kHighestId)
            return Fail(fault, L"An acknowledgement needs a call's \"ack\" and a \"count\" of 1 or more.");
        request = Request{};
        request.id = static_cast<long>(*acked);
        request.ackCount = static_cast<long>(*count);
        return true;
    }
    if (!id) return Fail(fault, L"The request has no integer \"id\".");
    if (!idInRange)
        return Fail(fault, L"The request's \"id\" is not within 1 to " + std::to_wstring(kHighestId) + L".");
    std::string* method = std::get_if<std::string>(&fields.method);
    if (!method) return Fail(fault, L"The request has no \"method\" text.");
    const std::string* origin = std::get_if<std::string>(&fields.origin);
    if (!origin) return Fail(fault, L"The request has no \"origin\" text.");
    std::optional<std::wstring> wideOrigin = Utf8ToUtf16(*origin);
    if (!wideOrigin) return Fail(fault, L"The request's \"origin\" is not well-formed UTF-8.");

    std::vector<std::wstring> params;
    if (!std::holds_alternative<Absent>(fields.params)) {
        const Items* items = std::get_if<Items>(&fields.params);
        if (!items) return Fail(fault, L"The request's \"params\" is not an array.");
        for (const std::optional<std::string>& item : *items)
            if (!item) return Fail(fault, L"A parameter is not a text.");
        params.reserve(items->size());
        for (const std::optional<std::string>& item : *items) {
            std::optional<std::wstring> text = Utf8ToUtf16(*item);
            if (!text) return Fail(fault, L"A parameter is not well-formed UTF-8.");
            params.push_back(std::move(*text));
        }
    }
    request.id = static_cast<long>(*id);
    request.origin = std::move(*wideOrigin);
    request.method = std::move(*method);
    request.params = std::move(params);
    const bool* ack = std::get_if<bool>(&fields.ack);
    request.wantsAcks = ack && *ack;
    request.ackCount = 0;
    return true;
}

std::string ResultReply(long id, std::optional<long> result) {
    Message out;
    out.json.StartObject();
    out.Id(id);
    out.json.Key("result");
    if (result)
        out.json.Int(*result);
    else
        out.json.Null();
    out.json.EndObject();
    return out.Done();
}

std::string ErrorReply(std::optional<long> id, ErrorCode code, std::wstring_view message) {
    Message out;
    out.json.StartObject();
    out.Id(id);
    out.json.Key("error");
    out.json.StartObject();
    out.json.Key("code");
    const std::string_view word = CodeWord(code);
    out.json.String(word.data(), static_cast<rapidjson::SizeType>(word.size()));
    out.json.Key("message");
    out.Text(message);
    out.json.EndObject();
    out.json.EndObject();
    return out.Done();
}

std::string HelloReply(long id, std::wstring_view version, const char* arch,
                       const std::optional<std::string>& update) {
    Message out;
    out.json.StartObject();
    out.Id(id);
    out.json.Key("result");
    out.json.StartObject();
    out.json.Key("protocol");
    out.json.Int(kProtocolVersion);
    out.json.Key("minProtocol");
    out.json.Int(kOldestProtocolVersion);
    out.json.Key("version");
    out.Text(version);
    out.json.Key("arch");
    out.json.String(arch);
    if (update) {
        out.json.Key("update");
        out.json.StartObject();
        out.json.Key("version");
        out.json.String(update->data(), static_cast<rapidjson::SizeType>(update->size()));
        out.json.EndObject();
    }
    out.json.EndObject();
    out.json.EndObject();
    return out.Done();
}

std::string SelectionEvent(long id, std::wstring_view path, std::wstring_view size,
                           std::wstring_view mode) {
    Message out;
    out.json.StartObject();
    out.json.Key("event");
    out.json.String("UpSelectComplete");
    out.Id(id);
    out.json.Key("params");
    out.json.StartArray();
    out.Text(path);
    out.Text(size);
    out.Text(mode);
    out.json.EndArray();
    out.json.EndObject();
    return out.Done();
}

}  // namespace zarn::bridge
