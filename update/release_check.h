// The release check: a downloaded package runs only when the update server's
// release manifest is signed by a built-in key, names the version file and
// the package this run fetched, and is not older than what was installed.
//
// The manifest (release.txt, at most 4 KiB of UTF-8) holds lines key=value,
// ended by LF or CR LF; unknown keys are ignored, a missing or repeated key
// makes it invalid:
//   kind     "transfer", or absent (releases published before it was
//            written); any other kind (the program's own release,
//            update/program_release.h) is not a release of the transfer
//            programs
//   release  decimal, 1 to 2147483647, grows from release to release
//   version  lowercase hex of the exact bytes of the version file
//   size     the package's byte count, decimal
//   sha256   lowercase hex of the package's SHA-256
// Its signature (release.sig) is ECDSA P-256 over SHA-256 of the manifest's
// exact bytes, DER-encoded.
#pragma once

#include "update/cng.h"
#include "update/release_keys.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zarn {

inline constexpr size_t kManifestMaxBytes = 4096;
// A DER ECDSA P-256 signature is at most 72 bytes; more is never one.
inline constexpr size_t kSignatureMaxBytes = 256;

inline constexpr wchar_t kManifestUrlPath[] = L"/append/application/release.txt";
inline constexpr wchar_t kSignatureUrlPath[] = L"/append/application/release.sig";

// The settings value (REG_DWORD) with the highest release installed.

struct ReleaseManifest {
    DWORD release = 0;
    std::string version;  // the version file's bytes
    std::uint64_t size = 0;
    Sha256Digest sha256{};
};

// What both release texts share. ReadManifestLines fills `values[i]` with
// the value of `keys[i]` from `text` (lines key=value, LF or CR LF, empty
// lines passed over, other keys ignored); false when the text is over
// kManifestMaxBytes, a line has no '=', or a known key comes twice (which
// of them was signed for?). ParseDecimal takes digits only, at most `max`;
// ParseSha256Hex 64 lowercase hex digits.
bool ReadManifestLines(std::string_view text, std::span<const std::string_view> keys,
                       std::span<std::optional<std::string_view>> values);
std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::uint64_t max);
// Lowercase hex of an even length as the bytes it spells.
std::optional<std::string> ParseHex(std::string_view hex);
std::optional<Sha256Digest> ParseSha256Hex(std::string_view hex);

// The manifest in `text`, or none when it is invalid or too long.
std::optional<ReleaseManifest> ParseReleaseManifest(std::string_view text);

// The signature r then s (32 bytes each) from its DER form, or none when
// `der` is not exactly one well-formed SEQUENCE of two positive INTEGERs that
// fit 32 bytes.
std::optional<std::array<std::uint8_t, 64>> SignatureFromDer(std::span<const std::uint8_t> der);

// Why a release was refused; each is logged with its reason.
enum class ReleaseFault {
    None,
    ManifestNotFetched,
    SignatureNotFetched,
    CngMissing,
    SignatureMalformed,
    SignatureRejected,  // no built-in key signed this manifest
    ManifestInvalid,
    VersionMismatch,
    SizeMismatch,
    OlderRelease,
    PackageUnreadable,
    HashMismatch,
};
const wchar_t* ReleaseFaultReason(ReleaseFault fault);

// Checks the signed manifest before the package is fetched: its signature by
// one of `keys`, the version file's bytes this run fetched and the release
// number against `installedRelease`. On success `manifest` holds it; the
// package is then read to at most its size, and its length and hash are
// checked on the file the installer runs.
// The signature check both releases share: `signatureBytes` (DER) over
// SHA-256 of `text` by one of `keys`. None, CngMissing, SignatureMalformed,
// SignatureRejected or ManifestInvalid (a text over kManifestMaxBytes).
ReleaseFault VerifyReleaseSignature(const Cng* cng, std::span<const ReleaseKey> keys,
                                    std::string_view text, std::string_view signatureBytes);

ReleaseFault CheckRelease(const Cng* cng, std::span<const ReleaseKey> keys,
                          std::string_view manifestBytes, std::string_view signatureBytes,
                          std::string_view versionFileBytes, DWORD installedRelease,
                          ReleaseManifest& manifest);

}  // namespace zarn
