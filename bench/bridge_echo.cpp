// The floor of the bridge host's benchmarks: a bare windows program, built
// as the host is, that writes every framed message it reads straight back,
// once, or twice with --twice (as many frames as the host's event and reply).
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool ReadAll(HANDLE in, void* data, DWORD size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        DWORD got = 0;
        if (!::ReadFile(in, bytes, size, &got, nullptr) || got == 0) return false;
        bytes += got;
        size -= got;
    }
    return true;
}

bool WriteAll(HANDLE out, const void* data, DWORD size) {
    const auto* bytes = static_cast<const char*>(data);
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
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    std::string frame;
    for (;;) {
        std::uint32_t length = 0;
        if (!ReadAll(in, &length, sizeof(length)) || length == 0 || length > (16u << 20)) break;
        frame.resize(sizeof(length) + length);
        std::memcpy(frame.data(), &length, sizeof(length));
        if (!ReadAll(in, frame.data() + sizeof(length), length)) break;
        for (int copy = 0; copy < copies; ++copy)
            if (!WriteAll(out, frame.data(), static_cast<DWORD>(frame.size()))) return 0;
    }
    return 0;
}
