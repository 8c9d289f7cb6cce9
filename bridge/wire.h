// The frames of native messaging on the host's standard handles: a 32-bit
// little-endian length, then that many bytes of UTF-8 JSON.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace zarn::bridge {

// The largest message a browser sends to a host; a longer length means the
// framing is lost.
inline constexpr std::uint32_t kMaxIncomingBytes = 16u << 20;
// The largest message browsers accept from a host.
inline constexpr std::uint32_t kMaxOutgoingBytes = 1u << 20;

enum class ReadOutcome {
    Message,   // `message` holds the next message
    End,       // the input ended between two messages
    BadFrame,  // a zero or oversized length, or the input ended inside a message
};

// Reads the next message from `input`, looping until every byte is there.
ReadOutcome ReadMessage(HANDLE input, std::string& message);

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

    // Writes one frame.
    Outcome Write(std::string_view message);

private:
    bool WriteAll(const void* data, DWORD size);

    HANDLE output_;
    std::mutex lock_;
    bool failed_ = false;
};

}  // namespace zarn::bridge
