// The program's own release: which version of the program (the control and
// its bridge host) the update server offers, and for each architecture its
// MSI's file name, size and SHA-256. It is trusted exactly as the transfer
// programs' release is: signed by a built-in release key, with a release
// number never below the highest this user has seen.
//
// The text (program-release.txt, at most 4 KiB of UTF-8) holds lines
// key=value, ended by LF or CR LF; unknown keys are ignored, a missing or
// repeated key makes it invalid:
//   kind     "program": the transfer programs' release says "transfer" (or
//            nothing), so neither check takes the other's text
//   release  decimal, 1 to 2147483647, grows from release to release
//   version  the program's file version, four dotted numbers of 0..65535
//   x64, x86 "<msi file name> <size> <sha256>" for that architecture (at
//            least one); the name is a bare *.msi file name
// Its signature (program-release.sig) is ECDSA P-256 over SHA-256 of the
// text's exact bytes, DER-encoded, as release.sig is.
#pragma once

#include "update/cng.h"
#include "update/release_check.h"
#include "update/release_keys.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zarn {

inline constexpr wchar_t kProgramReleaseUrlPath[] = L"/append/application/program-release.txt";
inline constexpr wchar_t kProgramSignatureUrlPath[] = L"/append/application/program-release.sig";

// A four-field file version, comparable.
using FileVersion = std::array<std::uint16_t, 4>;

// "1.0.0.6" as numbers, or none unless it is four dotted decimals of 0..65535.
std::optional<FileVersion> ParseFileVersion(std::wstring_view text);
std::optional<FileVersion> ParseFileVersion(std::string_view text);

struct ProgramPackage {
    std::string file;  // a bare file name ending in .msi
    std::uint64_t size = 0;
    Sha256Digest sha256{};
};

struct ProgramRelease {
    DWORD release = 0;
    FileVersion version{};
    std::string versionText;  // as the release says it
    std::optional<ProgramPackage> x64, x86;

    const std::optional<ProgramPackage>& For(bool x64Host) const { return x64Host ? x64 : x86; }
};

// The release in `text`, or none when it is invalid, too long or of the
// other kind.
std::optional<ProgramRelease> ParseProgramRelease(std::string_view text);

enum class ProgramReleaseVerdict {
    Newer,           // signed, not replayed, above the running version, with this architecture's MSI
    NotNewer,        // signed and valid, but not above the running version
    NoPackage,       // signed, newer, but without an MSI for this architecture
    Older,           // a release number below the highest this user has seen
    Invalid,         // malformed, or of the transfer programs' kind
    NotSigned,       // no built-in key signed it (or no signature)
    CngMissing,
};
const wchar_t* ProgramReleaseVerdictText(ProgramReleaseVerdict verdict);

// Judges a fetched program release: its signature by one of `keys`, its
// release number against `highestSeen`, its version against `running`, and
// its MSI for the host's architecture. `release` holds it when it was read.
ProgramReleaseVerdict CheckProgramRelease(const Cng* cng, std::span<const ReleaseKey> keys,
                                          std::string_view text, std::string_view signature,
                                          DWORD highestSeen, const FileVersion& running,
                                          bool x64Host, ProgramRelease& release);

}  // namespace zarn
