// The frames of native messaging on the host's standard handles: a 32-bit
// little-endian length, then that many bytes of UTF-8 JSON.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "bridge/protocol_table.h"

namespace zarn::bridge {

// The largest message a browser sends to a host (a longer length means the
// framing is lost), and the largest browsers accept from a host.
inline constexpr std::uint32_t kMaxIncomingBytes = kMaxRequestBytes;
inline constexpr std::uint32_t kMaxOutgoingBytes = kMaxReplyBytes;

enum class ReadOutcome {
    Message,   // `message` holds the next message
    End,       // the input ended between two messages
    BadFrame,  // a zero or oversized length, or the input ended inside a message
};

// Reads messages from `input`. Each read takes whatever the pipe holds (up
// to a buffer's worth), so a small request usually arrives whole in one
// read, length and body together.
class FrameReader {
public:
    explicit FrameReader(HANDLE input) noexcept : input_(input) {}
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Reads the next message, looping until every byte is there.
    ReadOutcome Next(std::string& message);

private:
    enum class Fill { Full, EndAtStart, EndInside };
    // Copies `size` bytes to `data`: first what the buffer holds, then reads
    // a longer rest straight into `data` and a shorter one through the buffer.
    Fill Take(char* data, DWORD size);

    HANDLE input_;
    char buffer_[16 * 1024];
    DWORD start_ = 0, end_ = 0;  // the bytes read but not taken
};

// The one way out: replies come from the reading thread and from calls'
// threads, events from calls' threads, and a frame is always written whole
// before the next one starts.
class FrameWriter {
public:
    explicit FrameWriter(HANDLE output) noexcept : output_(output) {}
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    enum class Outcome {
        Written,
        TooLarge,  // over kMaxOutgoingBytes: nothing was written
        Lost,      // the output failed (the reader has gone); later writes are skipped
    };

    // Writes one frame, or two in one write (`then` follows `message` when
    // not empty). TooLarge when either is over: then neither is written.
    Outcome Write(std::string_view message, std::string_view then = {});

private:
    bool WriteAll(const void* data, DWORD size);

    HANDLE output_;
    std::mutex lock_;
    bool failed_ = false;
};

}  // namespace zarn::bridge
