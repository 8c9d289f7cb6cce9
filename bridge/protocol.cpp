#include "bridge/protocol.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bridge/utf.h"
#include "support/log.h"
#include "support/text.h"

namespace zarn::bridge {

namespace {

// A request is an object holding one array: anything deeper is refused
// while it is read.
constexpr int kMaxDepth = 2;

// Texts kept from one message to the next up to this size: a round trip
// then allocates almost nothing (under Wine an allocation costs about as
// much as writing a small frame, and a round trip does little else).
constexpr std::size_t kKeptBytes = 64 * 1024;

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
using Buffer = rapidjson::GenericStringBuffer<Utf8, Memory>;
using Writer = rapidjson::Writer<Buffer, Utf8, Utf8, Memory>;

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

// Reads a request as the parser meets it, without building a document:
// the fields it knows are kept, anything else is only checked for depth.
class RequestReader final : public rapidjson::BaseReaderHandler<Utf8, RequestReader> {
public:
    enum class Field { None, Id, Origin, Method, Params, Other };

    bool tooDeep = false;
    bool notObject = false;
    bool syntaxError = false;
    bool loneSurrogate = false;
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
        tooDeep = notObject = syntaxError = loneSurrogate = idIsInteger = idInRange = false;
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

    bool Null() { return Value(); }
    bool Bool(bool) { return Value(); }
    bool Int(int value) { return Integer(value); }
    bool Uint(unsigned value) { return Integer(value); }
    bool Int64(std::int64_t value) { return Integer(value); }
    bool Uint64(std::uint64_t value) {
        // Above every id: out of range as -1 is.
        const bool above = value > static_cast<std::uint64_t>(kHighestId);
        return Integer(above ? -1 : static_cast<std::int64_t>(value));
    }
    bool Double(double) { return Value(); }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        if (HoldsSurrogate(text, length)) return HalfCharacter();
        if (Top(Field::Origin)) {
            origin.assign(text, length);
            originText = true;
            return true;
        }
        if (Top(Field::Method)) {
            method.assign(text, length);
            methodText = true;
            return true;
        }
        if (depth_ == 2 && field_ == Field::Params) {
            if (paramCount < params.size())
                params[paramCount].assign(text, length);
            else
                params.emplace_back(text, length);
            ++paramCount;
            return true;
        }
        return Value();
    }
    bool StartObject() {
        if (depth_ == 0) {
            ++depth_;
            return true;
        }
        Value();
        return Enter();
    }
    bool Key(const char* name, rapidjson::SizeType length, bool) {
        if (HoldsSurrogate(name, length)) return HalfCharacter();
        if (depth_ != 1) return true;
        const std::string_view key(name, length);
        field_ = key == "id"       ? Field::Id
                 : key == "origin" ? Field::Origin
                 : key == "method" ? Field::Method
                 : key == "params" ? Field::Params
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
    bool EndObject(rapidjson::SizeType) { return Leave(); }
    bool StartArray() {
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
    bool EndArray(rapidjson::SizeType) { return Leave(); }

private:
    // True for the value of `field` in the top object.
    bool Top(Field field) const { return depth_ == 1 && field_ == field; }
    bool Integer(std::int64_t value) {
        if (Top(Field::Id)) {
            idIsInteger = true;
            idInRange = value >= 1 && value <= kHighestId;
            id = idInRange ? static_cast<long>(value) : 0;
        }
        return Value();
    }
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
    bool HalfCharacter() {
        loneSurrogate = true;
        return false;
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

bool Fail(RequestFault& fault, std::wstring message) {
    fault.code = ErrorCode::BadRequest;
    fault.message = std::move(message);
    return false;
}

// Writes documents, one at a time, into a buffer kept from one to the next.
class DocumentWriter {
public:
    DocumentWriter() : writer_(buffer_) {}
    DocumentWriter(const DocumentWriter&) = delete;
    DocumentWriter& operator=(const DocumentWriter&) = delete;

    // Starts the next document; the text of the last one ends here.
    Writer& Begin() {
        buffer_.Clear();
        // A large item's memory is not kept for the next one.
        if (lastSize_ > kKeptBytes) buffer_.ShrinkToFit();
        writer_.Reset(buffer_);
        return writer_;
    }

    // A text, as UTF-8 (an unpaired surrogate as U+FFFD).
    void Text(std::wstring_view text) {
        std::size_t replaced = 0;
        Utf16ToUtf8(text, scratch_, &replaced);
        LogReplaced(replaced);
        writer_.String(scratch_.data(), static_cast<rapidjson::SizeType>(scratch_.size()));
        if (scratch_.capacity() > kKeptBytes) std::string().swap(scratch_);
    }

    void Id(std::optional<long> id) {
        writer_.Key("id");
        if (id)
            writer_.Int(*id);
        else
            writer_.Null();
    }

    // The document's text, valid until the next Begin.
    std::string_view Done() {
        lastSize_ = buffer_.GetSize();
        return std::string_view(buffer_.GetString(), buffer_.GetSize());
    }

private:
    Buffer buffer_;
    Writer writer_;
    std::string scratch_;
    std::size_t lastSize_ = 0;
};

std::string_view WriteResult(DocumentWriter& out, long id, std::optional<long> result) {
    Writer& w = out.Begin();
    w.StartObject();
    out.Id(id);
    w.Key("result");
    if (result)
        w.Int(*result);
    else
        w.Null();
    w.EndObject();
    return out.Done();
}

std::string_view WriteSelection(DocumentWriter& out, long id, std::wstring_view path,
                                std::wstring_view size, std::wstring_view mode) {
    Writer& w = out.Begin();
    w.StartObject();
    w.Key("event");
    w.String("UpSelectComplete");
    out.Id(id);
    w.Key("params");
    w.StartArray();
    out.Text(path);
    out.Text(size);
    out.Text(mode);
    w.EndArray();
    w.EndObject();
    return out.Done();
}

}  // namespace

// The reading thread's memory (see KeptMemory). A call's event and its
// reply are written by two writers, as both go out together.
struct KeptMemory::Parts {
    // Made again after a large message (see ParseRequest).
    std::optional<Parser> parser;
    RequestReader reader;
    DocumentWriter result, event;

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
    case ErrorCode::Busy: return "busy";
    case ErrorCode::Internal: break;
    }
    return "internal";
}

bool ParseRequest(std::string_view message, Request& request, RequestFault& fault,
                  KeptMemory& kept) {
    fault = RequestFault{};
    KeptMemory::Parts& parts = kept.parts();
    RequestReader& reader = parts.reader;
    reader.Reset();
    struct Drop {
        KeptMemory::Parts& parts;
        const std::size_t read;
        ~Drop() {
            parts.reader.DropLarge();
            // The parser keeps the memory of the longest text it has read,
            // which is no longer than the message.
            if (read > kKeptBytes) parts.parser.reset();
        }
    } drop{parts, message.size()};
    // A NUL byte reads as the end of the input: after the object, such an
    // end that is not the message's own is text the parser left unread.
    rapidjson::MemoryStream input(message.data(), message.size());
    try {
        if (!parts.parser) parts.parser.emplace();
        const rapidjson::ParseResult parsed =
            parts.parser->Parse<rapidjson::kParseValidateEncodingFlag>(input, reader);
        // A lone \uD800..\uDBFF escape stops the parser itself.
        if (!parsed && parsed.Code() == rapidjson::kParseErrorStringUnicodeSurrogateInvalid)
            reader.loneSurrogate = true;
        else if ((!parsed && parsed.Code() != rapidjson::kParseErrorTermination) ||
                 (parsed && input.Tell() != message.size()))
            reader.syntaxError = true;
    } catch (const std::bad_alloc&) {
        if (reader.idIsInteger && reader.idInRange) fault.id = reader.id;
        return Fail(fault, L"The request is too large to read.");
    }
    // The id goes with every refusal once read, so the page's call gets the
    // refusal, wherever in the message the fault comes.
    if (reader.idIsInteger && reader.idInRange) fault.id = reader.id;
    if (reader.tooDeep) return Fail(fault, L"The request is nested too deeply.");
    if (reader.notObject) return Fail(fault, L"The request is not a JSON object.");
    if (reader.loneSurrogate) return Fail(fault, kLoneSurrogateText);
    if (reader.syntaxError) return Fail(fault, L"The request is not JSON in UTF-8.");

    if (!reader.idIsInteger) return Fail(fault, L"The request has no integer \"id\".");
    if (!reader.idInRange) return Fail(fault, L"The request's \"id\" is not within 1 to 2147483647.");
    request.id = reader.id;

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
    DocumentWriter out;
    return std::string(WriteResult(out, id, result));
}

std::string_view ResultReply(long id, std::optional<long> result, KeptMemory& kept) {
    return WriteResult(kept.parts().result, id, result);
}

std::string ErrorReply(std::optional<long> id, ErrorCode code, std::wstring_view message) {
    DocumentWriter out;
    Writer& w = out.Begin();
    w.StartObject();
    out.Id(id);
    w.Key("error");
    w.StartObject();
    w.Key("code");
    w.String(CodeWord(code));
    w.Key("message");
    out.Text(message);
    w.EndObject();
    w.EndObject();
    return std::string(out.Done());
}

std::string HelloReply(long id, std::wstring_view version, const char* arch) {
    DocumentWriter out;
    Writer& w = out.Begin();
    w.StartObject();
    out.Id(id);
    w.Key("result");
    w.StartObject();
    w.Key("protocol");
    w.Int(kProtocolVersion);
    w.Key("minProtocol");
    w.Int(kOldestProtocolVersion);
    w.Key("version");
    out.Text(version);
    w.Key("arch");
    w.String(arch);
    w.EndObject();
    w.EndObject();
    return std::string(out.Done());
}

std::string SelectionEvent(long id, std::wstring_view path, std::wstring_view size,
                           std::wstring_view mode) {
    DocumentWriter out;
    return std::string(WriteSelection(out, id, path, size, mode));
}

std::string_view SelectionEvent(long id, std::wstring_view path, std::wstring_view size,
                                std::wstring_view mode, KeptMemory& kept) {
    return WriteSelection(kept.parts().event, id, path, size, mode);
}

}  // namespace zarn::bridge
