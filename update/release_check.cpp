#include "update/release_check.h"

#include <algorithm>
#include <cstring>

namespace zarn {

namespace {

constexpr DWORD kHighestRelease = 2147483647;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case is not the manifest's form
}

// Lowercase hex of an even length into bytes.
std::optional<std::string> FromHex(std::string_view hex) {
    if (hex.size() % 2) return std::nullopt;
    std::string bytes(hex.size() / 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexDigit(hex[2 * i]), low = HexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[i] = static_cast<char>(high * 16 + low);
    }
    return bytes;
}

// Decimal digits only, at most `max`.
std::optional<std::uint64_t> FromDecimal(std::string_view text, std::uint64_t max) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// One DER INTEGER at `der[pos]` as 32 big-endian bytes into `out`; moves `pos`
// past it. Positive, minimal, non-zero and at most 32 bytes of value.
bool ReadInteger(std::span<const std::uint8_t> der, size_t& pos, std::uint8_t* out) {
    if (der.size() - pos < 2 || der[pos] != 0x02) return false;
    const size_t length = der[pos + 1];
    pos += 2;
    // Short-form lengths only: a P-256 integer has at most 33 bytes.
    if (length == 0 || length > 33 || der.size() - pos < length) return false;
    const std::uint8_t* value = der.data() + pos;
    size_t size = length;
    if (value[0] & 0x80) return false;  // negative
    if (value[0] == 0) {
        // A leading zero only where the next byte would read as negative.
        if (size == 1 || !(value[1] & 0x80)) return false;
        ++value;
        --size;
    }
    if (size > 32) return false;
    std::memset(out, 0, 32);
    std::memcpy(out + 32 - size, value, size);
    pos += length;
    return std::any_of(out, out + 32, [](std::uint8_t b) { return b != 0; });
}

}  // namespace

bool ReadManifestLines(std::string_view text, std::span<const std::string_view> keys,
                       std::span<std::optional<std::string_view>> values) {
    if (text.size() > kManifestMaxBytes || values.size() < keys.size()) return false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) return false;
        const std::string_view key = line.substr(0, equals);
        const auto known = std::find(keys.begin(), keys.end(), key);
        if (known == keys.end()) continue;  // a key of a later format
        std::optional<std::string_view>& slot = values[known - keys.begin()];
        if (slot) return false;
        slot = line.substr(equals + 1);
    }
    return true;
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::uint64_t max) {
    return FromDecimal(text, max);
}

std::optional<std::string> ParseHex(std::string_view hex) { return FromHex(hex); }

std::optional<Sha256Digest> ParseSha256Hex(std::string_view hex) {
    const auto bytes = hex.size() == 64 ? FromHex(hex) : std::nullopt;
    if (!bytes) return std::nullopt;
    Sha256Digest digest{};
    std::memcpy(digest.data(), bytes->data(), digest.size());
    return digest;
}

std::optional<ReleaseManifest> ParseReleaseManifest(std::string_view text) {
    static constexpr std::string_view kKeys[] = {"release", "version", "size", "sha256", "kind"};
    std::optional<std::string_view> values[std::size(kKeys)];
    if (!ReadManifestLines(text, kKeys, values)) return std::nullopt;
    const auto& [release, version, size, sha256, kind] = values;
    if (!release || !version || !size || !sha256) return std::nullopt;
    if (kind && *kind != "transfer") return std::nullopt;

    ReleaseManifest manifest;
    const auto number = FromDecimal(*release, kHighestRelease);
    if (!number || *number == 0) return std::nullopt;
    manifest.release = static_cast<DWORD>(*number);
    auto versionBytes = FromHex(*version);
    if (!versionBytes) return std::nullopt;
    manifest.version = std::move(*versionBytes);
    const auto bytes = FromDecimal(*size, UINT64_MAX);
    if (!bytes) return std::nullopt;
    manifest.size = *bytes;
    const auto digest = ParseSha256Hex(*sha256);
    if (!digest) return std::nullopt;
    manifest.sha256 = *digest;
    return manifest;
}

std::optional<std::array<std::uint8_t, 64>> SignatureFromDer(std::span<const std::uint8_t> der) {
    // SEQUENCE { INTEGER r, INTEGER s }, nothing before or after it.
    if (der.size() < 2 || der[0] != 0x30 || der[1] >= 0x80 || der[1] != der.size() - 2)
        return std::nullopt;
    std::array<std::uint8_t, 64> signature{};
    size_t pos = 2;
    if (!ReadInteger(der, pos, signature.data()) || !ReadInteger(der, pos, signature.data() + 32) ||
        pos != der.size())
        return std::nullopt;
    return signature;
}

const wchar_t* ReleaseFaultReason(ReleaseFault fault) {
    switch (fault) {
        case ReleaseFault::None: return L"release verified";
        case ReleaseFault::ManifestNotFetched:
            return L"release.txt could not be fetched (no answer in time, not found, or over 4 KiB)";
        case ReleaseFault::SignatureNotFetched:
            return L"release.sig could not be fetched (no answer in time, not found, or too long)";
        case ReleaseFault::CngMissing: return L"bcrypt.dll could not be loaded";
        case ReleaseFault::SignatureMalformed: return L"release.sig is not a DER signature";
        case ReleaseFault::SignatureRejected: return L"release.txt is not signed by a known key";
        case ReleaseFault::ManifestInvalid: return L"release.txt is malformed";
        case ReleaseFault::VersionMismatch: return L"release.txt names another version file";
        case ReleaseFault::SizeMismatch: return L"release.txt names another package size";
        case ReleaseFault::OlderRelease: return L"release is older than the one installed";
        case ReleaseFault::PackageUnreadable: return L"the package could not be read";
        case ReleaseFault::HashMismatch: return L"the package's SHA-256 differs from release.txt";
    }
    return L"release refused";
}

ReleaseFault VerifyReleaseSignature(const Cng* cng, std::span<const ReleaseKey> keys,
                                    std::string_view text, std::string_view signatureBytes) {
    if (!cng) return ReleaseFault::CngMissing;
    if (text.size() > kManifestMaxBytes) return ReleaseFault::ManifestInvalid;
    const auto signature = SignatureFromDer(std::span(
        reinterpret_cast<const std::uint8_t*>(signatureBytes.data()), signatureBytes.size()));
    if (!signature) return ReleaseFault::SignatureMalformed;
    Sha256Digest digest{};
    if (!cng->Digest(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                     digest))
        return ReleaseFault::CngMissing;
    const bool signedByUs = std::any_of(keys.begin(), keys.end(), [&](const ReleaseKey& key) {
        return cng->Verify(key.point, digest, *signature);
    });
    return signedByUs ? ReleaseFault::None : ReleaseFault::SignatureRejected;
}

ReleaseFault CheckRelease(const Cng* cng, std::span<const ReleaseKey> keys,
                          std::string_view manifestBytes, std::string_view signatureBytes,
                          std::string_view versionFileBytes, DWORD installedRelease,
                          ReleaseManifest& manifest) {
    // The signature first: nothing of an unsigned manifest is worth reading.
    const ReleaseFault signature = VerifyReleaseSignature(cng, keys, manifestBytes, signatureBytes);
    if (signature != ReleaseFault::None) return signature;

    auto parsed = ParseReleaseManifest(manifestBytes);
    if (!parsed) return ReleaseFault::ManifestInvalid;
    if (parsed->version != versionFileBytes) return ReleaseFault::VersionMismatch;
    // The same release again is a repair and is allowed; an older one could
    // bring back a fault that a later release fixed.
    if (parsed->release < installedRelease) return ReleaseFault::OlderRelease;
    manifest = std::move(*parsed);
    return ReleaseFault::None;
}

}  // namespace zarn
