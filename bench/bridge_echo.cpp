// The floor of the bridge host's benchmarks: a bare windows program, built
// as the host is, that writes every framed message it reads straight back,
// once, or twice with --twice (as many frames as the host's event and reply).
// It moves bytes as the host does, so that the floor is the pipes' own cost:
// each read takes whatever the pipe holds (a small request arrives whole,
// length and body, in one read), and the copies of a message go out in one
// write.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

class Input {
public:
    explicit Input(HANDLE in) : in_(in) {}

    // Copies the next `size` bytes to `data`; false at the input's end.
    bool Take(char* data, DWORD size) {
        while (size > 0) {
            if (start_ == end_) {
                DWORD got = 0;
                if (!::ReadFile(in_, buffer_, sizeof(buffer_), &got, nullptr) || got == 0)
                    return false;
                start_ = 0;
                end_ = got;
            }
            const DWORD part = size < end_ - start_ ? size : end_ - start_;
            std::memcpy(data, buffer_ + start_, part);
            start_ += part;
            data += part;
            size -= part;
        }
        return true;
    }

private:
    HANDLE in_;
    char buffer_[16 * 1024];
    DWORD start_ = 0, end_ = 0;
};

bool WriteAll(HANDLE out, const char* bytes, DWORD size) {
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(out, bytes, size, &written, nullptr) || written == 0) return false;
        bytes += written;
        size -= written;
    }
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    const int copies = commandLine && std::strstr(commandLine, "--twice") ? 2 : 1;
    Input in(::GetStdHandle(STD_INPUT_HANDLE));
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    std::string frames;
    for (;;) {
        std::uint32_t length = 0;
        if (!in.Take(reinterpret_cast<char*>(&length), sizeof(length)) || length == 0 ||
            length > (16u << 20))
            break;
        const size_t frame = sizeof(length) + length;
        frames.resize(frame * copies);
        std::memcpy(frames.data(), &length, sizeof(length));
        if (!in.Take(frames.data() + sizeof(length), length)) break;
        if (copies == 2) std::memcpy(frames.data() + frame, frames.data(), frame);
        if (!WriteAll(out, frames.data(), static_cast<DWORD>(frames.size()))) return 0;
    }
    return 0;
}
