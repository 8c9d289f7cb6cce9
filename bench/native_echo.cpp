// The floor of the browser round trip (bench/browser/bench_browser.js): a
// native messaging host that does nothing but send every message back as it
// came, through the same pipes and framing as the bridge host.
#include <windows.h>

#include <cstdint>
#include <vector>

namespace {

bool ReadAll(HANDLE in, void* data, DWORD size) {
    auto* at = static_cast<char*>(data);
    while (size > 0) {
        DWORD got = 0;
        if (!::ReadFile(in, at, size, &got, nullptr) || got == 0) return false;
        at += got;
        size -= got;
    }
    return true;
}

bool WriteAll(HANDLE out, const void* data, DWORD size) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        DWORD put = 0;
        if (!::WriteFile(out, at, size, &put, nullptr) || put == 0) return false;
        at += put;
        size -= put;
    }
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    std::vector<char> message;
    for (;;) {
        std::uint32_t length = 0;
        if (!ReadAll(in, &length, sizeof(length)) || length == 0 || length > (16u << 20)) return 0;
        message.resize(length);
        if (!ReadAll(in, message.data(), length)) return 0;
        if (!WriteAll(out, &length, sizeof(length)) || !WriteAll(out, message.data(), length))
            return 0;
    }
}
