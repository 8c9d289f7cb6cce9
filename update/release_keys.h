// The public keys fixed at build time (the ZARN_UPDATE_KEYS setting) that a
// release's signature is checked against: the current key and, during a
// change of keys, the next one.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace zarn {

// An EC P-256 public point: X then Y, 32 bytes each, big-endian.
struct ReleaseKey {
    std::array<std::uint8_t, 64> point;
};

std::span<const ReleaseKey> ReleaseKeys();

}  // namespace zarn
