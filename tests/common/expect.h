// What every suite shares on top of GoogleTest: HRESULTs printed as the
// hexadecimal codes people look up, the one marker for a known Wine gap, and
// the seed of a random sequence, printed so that a failure can be replayed.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace rig {

// An HRESULT that prints as 0x80004005. Result fields of the rig use it, and
// a test wraps a bare one: EXPECT_EQ(S_OK, rig::HResult(hr)). It converts to
// and from HRESULT, so FAILED() and the ASSERT_HRESULT_ macros take it as is.
struct HResult {
    HRESULT value;
    constexpr HResult(HRESULT v = static_cast<HRESULT>(0xdeadbeef)) : value(v) {}
    constexpr operator HRESULT() const { return value; }
};
void PrintTo(HResult hr, std::ostream* out);
std::string HexCode(HRESULT hr);  // "0x80004005"

// True when the suite runs under Wine.
bool OnWine();

// Marks a known Wine gap: a place where Wine does not do what Windows does
// and the test has to bend. `windowsBehaviour` says whether what Windows does
// happened. Under Wine the gap is expected (the behaviour absent), and the
// test fails loudly, naming the gap, once Wine starts to behave: then the
// bend can go. Elsewhere the Windows behaviour is expected. Returns true when
// the test runs under Wine with the gap open, so it can take the Wine branch.
//   if (EXPECT_WINE_GAP("the folder browser ignores its edit box", picked == typed)) ...
#define EXPECT_WINE_GAP(gap, windowsBehaviour) \
    ::rig::ExpectWineGap((gap), static_cast<bool>(windowsBehaviour), #windowsBehaviour, __FILE__, __LINE__)
bool ExpectWineGap(const char* gap, bool windowsBehaviour, const char* expression,
                   const char* file, int line);

// The seed of a test's random sequence: ZARN_TEST_SEED when set (to replay a
// failure), else a fresh one. Either way it is printed and recorded in the
// test's result, so a failing run shows how to repeat it.
std::uint32_t TestSeed();

}  // namespace rig
