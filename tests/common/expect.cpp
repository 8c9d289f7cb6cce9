#include "common/expect.h"

#include <cstdio>
#include <cstdlib>

namespace rig {

std::string HexCode(HRESULT hr) {
    char text[16] = {};
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

void PrintTo(HResult hr, std::ostream* out) { *out << HexCode(hr.value); }

bool OnWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool ExpectWineGap(const char* gap, bool windowsBehaviour, const char* expression,
                   const char* file, int line) {
    if (!OnWine()) {
        if (!windowsBehaviour)
            ADD_FAILURE_AT(file, line) << "expected " << expression << " (Windows behaviour)";
        return false;
    }
    if (windowsBehaviour) {
        ADD_FAILURE_AT(file, line)
            << "Wine gap closed: \"" << gap << "\" (" << expression
            << " now holds under Wine): drop the bend for it and expect Windows behaviour";
        return false;
    }
    ::testing::Test::RecordProperty("wine_gap", gap);
    return true;
}

std::uint32_t TestSeed() {
    std::uint32_t seed = 0;
    char text[32] = {};
    const DWORD n = ::GetEnvironmentVariableA("ZARN_TEST_SEED", text, sizeof(text));
    if (n > 0 && n < sizeof(text)) {
        seed = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0));
    } else {
        LARGE_INTEGER now{};
        ::QueryPerformanceCounter(&now);
        seed = static_cast<std::uint32_t>(now.QuadPart ^ (now.QuadPart >> 32) ^
                                          (::GetCurrentProcessId() << 16));
    }
    std::printf("random seed %lu (replay with ZARN_TEST_SEED=%lu)\n",
                static_cast<unsigned long>(seed), static_cast<unsigned long>(seed));
    std::fflush(stdout);
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    return seed;
}

}  // namespace rig
