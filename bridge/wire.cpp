#include "bridge/wire.h"

#include <algorithm>
#include <cstring>

namespace zarn::bridge {

FrameReader::Fill FrameReader::Take(char* data, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        if (start_ == end_) {
            // A broken pipe is the end of input, as is a read of zero bytes.
            DWORD got = 0;
            const DWORD rest = size - done;
            if (rest >= sizeof(buffer_)) {
                if (!::ReadFile(input_, data + done, rest, &got, nullptr) || got == 0)
                    return done == 0 ? Fill::EndAtStart : Fill::EndInside;
                done += got;
                continue;
            }
            if (!::ReadFile(input_, buffer_, sizeof(buffer_), &got, nullptr) || got == 0)
                return done == 0 ? Fill::EndAtStart : Fill::EndInside;
            start_ = 0;
            end_ = got;
        }
        const DWORD part = std::min(size - done, end_ - start_);
        std::memcpy(data + done, buffer_ + start_, part);
        start_ += part;
        done += part;
    }
    return Fill::Full;
}

ReadOutcome FrameReader::Next(std::string& message) {
    unsigned char head[4];
    switch (Take(reinterpret_cast<char*>(head), sizeof(head))) {
    case Fill::EndAtStart:
        return ReadOutcome::End;
    case Fill::EndInside:
        return ReadOutcome::BadFrame;
    case Fill::Full:
        break;
    }
    const std::uint32_t length = head[0] | (head[1] << 8) | (head[2] << 16) |
                                 (static_cast<std::uint32_t>(head[3]) << 24);
    if (length == 0 || length > kMaxIncomingBytes) return ReadOutcome::BadFrame;
    message.resize(length);
    return Take(message.data(), length) == Fill::Full ? ReadOutcome::Message
                                                      : ReadOutcome::BadFrame;
}

bool FrameWriter::WriteAll(const void* data, DWORD size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(output_, bytes, size, &written, nullptr) || written == 0) return false;
        bytes += written;
        size -= written;
    }
    return true;
}

FrameWriter::Outcome FrameWriter::Write(std::string_view message, std::string_view then) {
    if (message.size() > kMaxOutgoingBytes || then.size() > kMaxOutgoingBytes)
        return Outcome::TooLarge;
    // Lengths and bodies in one buffer: one write for the usual small frames.
    std::string frames;
    frames.reserve(message.size() + then.size() + 8);
    for (const std::string_view body : {message, then}) {
        if (body.empty()) continue;
        const auto length = static_cast<std::uint32_t>(body.size());
        for (int shift = 0; shift < 32; shift += 8)
            frames += static_cast<char>((length >> shift) & 0xFF);
        frames.append(body);
    }
    const std::lock_guard<std::mutex> hold(lock_);
    if (failed_) return Outcome::Lost;
    if (!WriteAll(frames.data(), static_cast<DWORD>(frames.size()))) failed_ = true;
    return failed_ ? Outcome::Lost : Outcome::Written;
}

}  // namespace zarn::bridge
