#include "update/internet_file.h"

#include <algorithm>
#include <cstring>

namespace {

// How much of the body one network read asks for.
constexpr size_t kChunkBytes = 64 * 1024;

constexpr DWORD_PTR kContext = 1;

[[noreturn]] void ThrowLastError(const char* what) {
    throw InternetError(what, ::GetLastError());
}

// The body's length as the reply announces it, for telling a complete body
// from one whose connection broke: none when the reply has no usable
// Content-Length or is sent in chunks (the header then does not bound it).
std::optional<unsigned long long> AnnouncedLength(HINTERNET request) {
    wchar_t encoding[64] = {};
    DWORD encodingBytes = sizeof(encoding);
    if (::HttpQueryInfoW(request, HTTP_QUERY_TRANSFER_ENCODING, encoding, &encodingBytes,
                         nullptr))
        return std::nullopt;
    DWORD length = 0;
    DWORD lengthBytes = sizeof(length);
    if (!::HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                          &lengthBytes, nullptr))
        return std::nullopt;
    return length;
}

}  // namespace

InternetError::InternetError(const char* what, DWORD error)
    : std::runtime_error(what), error_(error) {}

InternetSession::InternetSession()
    : session_(::InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)) {
    if (!session_) ThrowLastError("InternetOpen");
}

HttpFile InternetSession::OpenUrl(const std::wstring& url, const std::wstring& headers,
                                  DWORD flags) {
    zfw::unique_hinternet request(::InternetOpenUrlW(session_.get(), url.c_str(),
                                                     headers.c_str(),
                                                     static_cast<DWORD>(headers.size()), flags,
                                                     kContext));
    if (!request) ThrowLastError("InternetOpenUrl");
    return HttpFile(std::move(request));
}

HttpFile::HttpFile(zfw::unique_hinternet request) : request_(std::move(request)) {}

std::optional<DWORD> HttpFile::ContentLength() {
    if (!request_) return std::nullopt;
    DWORD length = 0;
    DWORD bytes = sizeof(length);
    if (!::HttpQueryInfoW(request_.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                          &length, &bytes, nullptr))
        return std::nullopt;
    return length;
}

bool HttpFile::Fill() {
    if (!request_) return false;
    if (chunk_.empty()) chunk_.resize(kChunkBytes);
    DWORD got = 0;
    if (!::InternetReadFile(request_.get(), chunk_.data(), static_cast<DWORD>(chunk_.size()),
                            &got))
        ThrowLastError("InternetReadFile");
    chunkUsed_ = 0;
    chunkFilled_ = got;
    bodyRead_ += got;
    if (got > 0) return true;

    // WinINet ends a body quietly when the server closes early; a body
    // shorter than announced is a broken connection, not a complete file.
    const std::optional<unsigned long long> announced = AnnouncedLength(request_.get());
    if (announced && bodyRead_ < *announced)
        throw InternetError("connection closed before the end of the body",
                            ERROR_INTERNET_CONNECTION_RESET);
    return false;
}

size_t HttpFile::Read(void* buffer, size_t size) {
    if (size == 0) return 0;
    if (chunkUsed_ == chunkFilled_ && !Fill()) return 0;
    const size_t n = std::min(size, chunkFilled_ - chunkUsed_);
    std::memcpy(buffer, chunk_.data() + chunkUsed_, n);
    chunkUsed_ += n;
    return n;
}

void HttpFile::Close() {
    request_.reset();
    chunkUsed_ = chunkFilled_ = 0;
}
