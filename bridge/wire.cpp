#include "bridge/wire.h"

namespace zarn::bridge {

namespace {

enum class Fill { Full, EndAtStart, EndInside };

// Reads exactly `size` bytes. A broken pipe is the end of input, as is a
// read of zero bytes.
Fill ReadAll(HANDLE input, char* data, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!::ReadFile(input, data + done, size - done, &got, nullptr) || got == 0)
            return done == 0 ? Fill::EndAtStart : Fill::EndInside;
        done += got;
    }
    return Fill::Full;
}

}  // namespace

ReadOutcome ReadMessage(HANDLE input, std::string& message) {
    unsigned char head[4];
    switch (ReadAll(input, reinterpret_cast<char*>(head), sizeof(head))) {
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
    return ReadAll(input, message.data(), length) == Fill::Full ? ReadOutcome::Message
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

FrameWriter::Outcome FrameWriter::Write(std::string_view message) {
    if (message.size() > kMaxOutgoingBytes) return Outcome::TooLarge;
    const auto length = static_cast<std::uint32_t>(message.size());
    // Header and body in one buffer: one write for the usual small frame.
    std::string frame;
    frame.reserve(sizeof(length) + message.size());
    for (int shift = 0; shift < 32; shift += 8) frame += static_cast<char>((length >> shift) & 0xFF);
    frame.append(message);
    const std::lock_guard<std::mutex> hold(lock_);
    if (!failed_ && !WriteAll(frame.data(), static_cast<DWORD>(frame.size()))) failed_ = true;
    return failed_ ? Outcome::Lost : Outcome::Written;
}

}  // namespace zarn::bridge
