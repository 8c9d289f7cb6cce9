// The bridge host's own parts without a process: the request parser, the
// UTF conversions, the origin check and the framing, row by row. What needs
// a real host (its threads, its answers, its exit) is in bridge_host_test.py.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/origin.h"
#include "bridge/protocol.h"
#include "bridge/utf.h"
#include "bridge/wire.h"
#include "common/rig.h"
#include "framework/handle.h"

using namespace zarn::bridge;

namespace {

const std::string kOrigin = R"("origin": "http://127.0.0.1:8080")";

std::string Message(std::string_view id, std::string_view rest = R"("method": "hello")") {
    return "{\"id\": " + std::string(id) + ", " + kOrigin + ", " + std::string(rest) + "}";
}

std::string SelectComplete(std::string_view id, std::string_view params) {
    return Message(id, R"("method": "SelectComplete", "params": )" + std::string(params));
}

// Messages that are no request: refused with the id once read, and a text
// with half of a character in the words the control uses for it.
TEST(BridgeParts, ParserRefusesWhatIsNoRequest) {
    const struct {
        std::string message;
        std::optional<long> id;
        bool halfCharacter = false;
    } rows[] = {
        {"{not json", std::nullopt},
        {"[1, 2]", std::nullopt},
        {"{" + kOrigin + R"(, "method": "hello"})", std::nullopt},
        {Message("\"7\""), std::nullopt},
        {Message("1.5"), std::nullopt},
        {Message("0"), std::nullopt},
        {Message("2147483648"), std::nullopt},
        {"{\"id\": 11, " + kOrigin + "}", 11},
        {R"({"id": 12, "method": "hello"})", 12},
        {SelectComplete("13", "[1]"), 13},
        {SelectComplete("14", R"("a")"), 14},
        {SelectComplete("15", "[\"\xff\"]"), 15},
        {SelectComplete("16", R"(["\ud800"])"), 16, true},
        {SelectComplete("17", "[]") + std::string(100000, '['), 17},
        {SelectComplete("20", R"(["\udc00"])"), 20, true},
        {SelectComplete("22", R"(["a\ud83d"])"), 22, true},
        {Message("23", R"("method": "hello", "x\udc00": 1)"), 23, true},
        {Message("21") + std::string("\0{", 2), 21},
        {"{\"id\": 19, " + kOrigin + ", \"params\": " + std::string(5000, '[') + "}", 19},
        {Message("24", R"("method": "hello", "x": {"y": {}})"), 24},
        {Message("25", R"("method": "hello", "x": [[]])"), 25},
        {SelectComplete("26", R"([["a"]])"), 26},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message.substr(0, 80));
        Request request;
        RequestFault fault;
        EXPECT_FALSE(ParseRequest(row.message, request, fault));
        EXPECT_EQ(ErrorCode::BadRequest, fault.code);
        EXPECT_EQ(row.id, fault.id);
        EXPECT_FALSE(fault.message.empty());
        EXPECT_EQ(row.halfCharacter, fault.message.find(L"half of a character") != std::wstring::npos);
    }
}

// An acknowledgement names its call and a count, and nothing else counts:
// a message with an id is a request, whose "ack" is whether it wants them.
TEST(BridgeParts, AcknowledgementsAndRequestsThatAskForThem) {
    const auto parse = [](const std::string& message, Request& request) {
        RequestFault fault;
        return ParseRequest(message, request, fault);
    };
    Request request;
    ASSERT_TRUE(parse(R"({"ack": 5, "count": 300})", request));
    EXPECT_EQ(5, request.id);
    EXPECT_EQ(300, request.ackCount);
    EXPECT_TRUE(request.method.empty());
    for (const char* refused : {R"({"ack": 5})", R"({"ack": 5, "count": 0})", R"({"ack": 0, "count": 1})",
                                R"({"ack": 5, "count": "1"})", R"({"ack": 5, "count": 2147483648})"}) {
        SCOPED_TRACE(refused);
        EXPECT_FALSE(parse(refused, request));
    }
    ASSERT_TRUE(parse(Message("6", R"("method": "ShowDlgFolder", "ack": true)"), request));
    EXPECT_EQ(0, request.ackCount);
    EXPECT_TRUE(request.wantsAcks);
    for (const char* notAsking : {R"("method": "ShowDlgFolder", "ack": 1, "count": 1)",
                                  R"("method": "ShowDlgFolder", "ack": "true")",
                                  R"("method": "ShowDlgFolder")"}) {
        SCOPED_TRACE(notAsking);
        ASSERT_TRUE(parse(Message("7", notAsking), request));
        EXPECT_EQ(7, request.id);
        EXPECT_EQ(0, request.ackCount);
        EXPECT_FALSE(request.wantsAcks);
    }
}

TEST(BridgeParts, ParserReadsARequestAndPassesOverOtherFields) {
    Request request;
    RequestFault fault;
    ASSERT_TRUE(ParseRequest(Message("36", R"("method": "AllowPopUp", "x": {"y": 1}, "z": [2], )"
                                           "\"params\": [\"\xec\x9e\x90\", \"\\ud83d\\ude00\"]"),
                             request, fault));
    EXPECT_EQ(36, request.id);
    EXPECT_EQ("AllowPopUp", request.method);
    EXPECT_EQ(L"http://127.0.0.1:8080", request.origin);
    ASSERT_EQ(2u, request.params.size());
    EXPECT_EQ(L"\uc790", request.params[0]);
    EXPECT_EQ(L"\U0001F600", request.params[1]);

    // Texts far longer than a small request's, the longest one escaped.
    const std::wstring korean(40000, L'\uc790');
    std::string bytes;
    for (int i = 0; i < 40000; ++i) bytes += "\xec\x9e\x90";
    ASSERT_TRUE(ParseRequest(SelectComplete("37", "[\"" + bytes + "\", \"" +
                                                      std::string(70000, 'a') + "\", \"\\\"\"]"),
                             request, fault));
    EXPECT_EQ(37, request.id);
    ASSERT_EQ(3u, request.params.size());
    EXPECT_TRUE(korean == request.params[0]);
    EXPECT_EQ(std::wstring(70000, L'a'), request.params[1]);
    EXPECT_EQ(L"\"", request.params[2]);
}

// The texts the host writes, byte for byte as an extension reads them: the
// shape of each message, escapes, UTF-8, U+FFFD for half of a character,
// and texts far larger than a small reply.
TEST(BridgeParts, RepliesAndEventsAreWrittenByteForByte) {
    const std::string big(100000, 'x');
    const std::wstring bigWide(big.begin(), big.end());
    const struct {
        const char* name;
        std::string written;
        std::string expected;
    } rows[] = {
        {"result", ResultReply(2, 0), R"({"id":2,"result":0})"},
        {"null result", ResultReply(2147483647, std::nullopt), R"({"id":2147483647,"result":null})"},
        {"negative result", ResultReply(7, -2147483647L - 1), R"({"id":7,"result":-2147483648})"},
        {"error without id", ErrorReply(std::nullopt, ErrorCode::BadFrame, L"a\"b\\c/\x7f"),
         R"({"id":null,"error":{"code":"bad-frame","message":"a\"b\\c/)" "\x7f" R"("}})"},
        {"control characters",
         ErrorReply(3, ErrorCode::Internal, std::wstring(L"\b\t\n\f\r\x01\x1f") + L'\0'),
         R"({"id":3,"error":{"code":"internal","message":"\b\t\n\f\r\u0001\u001F\u0000"}})"},
        {"every code word",
         ErrorReply(4, ErrorCode::BadRequest, L"") + ErrorReply(4, ErrorCode::UnknownMethod, L"") +
             ErrorReply(4, ErrorCode::RefusedSite, L"") + ErrorReply(4, ErrorCode::TooLarge, L"") +
             ErrorReply(4, ErrorCode::Busy, L""),
         R"({"id":4,"error":{"code":"bad-request","message":""}})"
         R"({"id":4,"error":{"code":"unknown-method","message":""}})"
         R"({"id":4,"error":{"code":"refused-site","message":""}})"
         R"({"id":4,"error":{"code":"too-large","message":""}})"
         R"({"id":4,"error":{"code":"busy","message":""}})"},
        {"hello", HelloReply(1, L"2.0.1.5", "x86"),
         R"({"id":1,"result":{"protocol":)" + std::to_string(kProtocolVersion) +
             R"(,"minProtocol":)" + std::to_string(kOldestProtocolVersion) +
             R"(,"version":"2.0.1.5","arch":"x86"}})"},
        {"event", SelectionEvent(34, L"C:\\\uc790\ub8cc\\\U0001F600.hwp", L"2048", L"-1"),
         "{\"event\":\"UpSelectComplete\",\"id\":34,\"params\":[\"C:\\\\\xec\x9e\x90\xeb\xa3\x8c"
         "\\\\\xf0\x9f\x98\x80.hwp\",\"2048\",\"-1\"]}"},
        {"half of a character", SelectionEvent(5, std::wstring(L"a") + L'\xd800', L"",
                                              std::wstring(1, L'\xdc00') + L"b"),
         "{\"event\":\"UpSelectComplete\",\"id\":5,\"params\":[\"a\xef\xbf\xbd\",\"\",\"\xef\xbf\xbd"
         "b\"]}"},
        {"large event, then a small one",
         SelectionEvent(6, bigWide, bigWide + L"\"", L"-1") + SelectionEvent(7, L"p", L"1", L"-1"),
         R"({"event":"UpSelectComplete","id":6,"params":[")" + big + R"(",")" + big +
             R"(\"","-1"]}{"event":"UpSelectComplete","id":7,"params":["p","1","-1"]})"},
        {"large error", ErrorReply(8, ErrorCode::TooLarge, bigWide),
         R"({"id":8,"error":{"code":"too-large","message":")" + big + R"("}})"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, row.written);
    }
}

TEST(BridgeParts, Utf8IsReadOnlyWhenWellFormed) {
    const struct {
        std::string_view bytes;
        std::optional<std::wstring> text;
    } rows[] = {
        {"a\xc3\xa9\xea\xb0\x80\xf0\x9f\x98\x80", L"a\u00e9\uac00\U0001F600"},
        {"\x80", std::nullopt},              // a stray continuation byte
        {"\xc3", std::nullopt},              // a missing one
        {"\xc0\xaf", std::nullopt},          // an overlong form
        {"\xed\xa0\x80", std::nullopt},      // a surrogate's code
        {"\xf4\x90\x80\x80", std::nullopt},  // above U+10FFFF
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.bytes));
        EXPECT_EQ(row.text, Utf8ToUtf16(row.bytes));
    }
    std::size_t replaced = 0;
    EXPECT_EQ("a\xef\xbf\xbd\xf0\x9f\x98\x80\xef\xbf\xbd",
              Utf16ToUtf8(std::wstring(L"a\xd800\U0001F600") + L'\xdc00', &replaced));
    EXPECT_EQ(2u, replaced);
}

TEST(BridgeParts, OnlyAnOriginAsBrowsersWriteItIsCanonical) {
    for (const wchar_t* origin : {L"http://127.0.0.1:8080", L"https://a.example", L"http://[::1]:81"})
        EXPECT_TRUE(IsCanonicalOrigin(origin)) << rig::Utf8(origin);
    for (const wchar_t* origin :
         {L"HTTP://a.example", L"http://a.example/", L"http://a.example:80", L"https://a.example:443",
          L"http://a.example:080", L"http://a.example.", L"http://user@a.example", L" http://a.example",
          L"http://a.example#x", L"http://[0:0::1]", L"null", L""})
        EXPECT_FALSE(IsCanonicalOrigin(origin)) << rig::Utf8(origin);
}

// Frames as a browser writes them into the host's pipe.
TEST(BridgeParts, FramesAreReadWholeAndALostFramingIsSeen) {
    const auto length = [](std::uint32_t size) {
        return std::string(reinterpret_cast<const char*>(&size), sizeof size);
    };
    const auto frame = [&](std::string_view body) {
        return length(static_cast<std::uint32_t>(body.size())) + std::string(body);
    };
    const struct {
        const char* name;
        std::string input;
        const char* messages;
        ReadOutcome last;
    } rows[] = {
        {"two in one write, then the end", frame("{}") + frame("[1]"), "{}|[1]|", ReadOutcome::End},
        {"a zero length", length(0), "", ReadOutcome::BadFrame},
        {"over the limit", length(kMaxIncomingBytes + 1) + "{}", "", ReadOutcome::BadFrame},
        {"ended inside a message", frame("{}") + length(100) + "{{", "{}|", ReadOutcome::BadFrame},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        HANDLE read = nullptr, write = nullptr;
        ASSERT_TRUE(::CreatePipe(&read, &write, nullptr, 1 << 16));
        const zfw::unique_handle reading(read);
        {
            const zfw::unique_handle writing(write);
            DWORD written = 0;
            ASSERT_TRUE(::WriteFile(write, row.input.data(), static_cast<DWORD>(row.input.size()),
                                    &written, nullptr));
        }
        FrameReader reader(read);
        std::string message, messages;
        ReadOutcome outcome;
        while ((outcome = reader.Next(message)) == ReadOutcome::Message) messages += message + "|";
        EXPECT_EQ(row.last, outcome);
        EXPECT_EQ(row.messages, messages);
    }
}

// Frames as the host writes them, read back as a browser reads them: a
// reply and the event before it go out whole whatever their sizes up to the
// limit, a pair with a frame over it not at all, and once the reader has
// gone every write says so.
TEST(BridgeParts, FramesAreWrittenWholeUpToTheLimit) {
    const std::string small = R"({"id":1,"result":0})", large(100000, 'l'),
                      limit(kMaxOutgoingBytes, 'm'), over(kMaxOutgoingBytes + 1, 'o');
    using Outcome = FrameWriter::Outcome;
    const struct {
        const char* name;
        std::string_view message, then;
        Outcome outcome;
    } rows[] = {
        {"one frame", small, {}, Outcome::Written},
        {"an event and its reply", "{}", small, Outcome::Written},
        {"a large event, then a small reply", large, small, Outcome::Written},
        {"a reply over the limit", small, over, Outcome::TooLarge},
        {"an event over the limit", over, small, Outcome::TooLarge},
        {"two at the limit", limit, limit, Outcome::Written},
        {"a small one after them", small, {}, Outcome::Written},
    };
    HANDLE read = nullptr, write = nullptr;
    ASSERT_TRUE(::CreatePipe(&read, &write, nullptr, 1 << 16));
    zfw::unique_handle reading(read), writing(write);
    std::vector<std::string> received;
    std::thread browser([&] {
        FrameReader reader(read);
        std::string message;
        while (reader.Next(message) == ReadOutcome::Message) received.push_back(message);
    });
    std::vector<std::string> sent;
    {
        FrameWriter writer(write);
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            EXPECT_EQ(row.outcome, writer.Write(row.message, row.then));
            if (row.outcome != Outcome::Written) continue;
            sent.emplace_back(row.message);
            if (!row.then.empty()) sent.emplace_back(row.then);
        }
    }
    writing.reset();
    browser.join();
    ASSERT_EQ(sent.size(), received.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(sent[i] == received[i]) << "frame " << i;

    ASSERT_TRUE(::CreatePipe(&read, &write, nullptr, 1 << 16));
    reading.reset(read);
    writing.reset(write);
    FrameWriter writer(write);
    reading.reset();
    EXPECT_EQ(Outcome::Lost, writer.Write(small));
    EXPECT_EQ(Outcome::Lost, writer.Write(small));
}

}  // namespace
