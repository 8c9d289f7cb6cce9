#include "update/program_release.h"

namespace zarn {

namespace {

constexpr DWORD kHighestRelease = 2147483647;
// A bare file name the MSI is saved under: no folder, no drive, no stream.
constexpr size_t kMostFileNameChars = 100;

template <typename Char>
std::optional<FileVersion> ParseVersion(std::basic_string_view<Char> text) {
    FileVersion version{};
    for (size_t field = 0; field < version.size(); ++field) {
        const size_t dot = text.find(Char('.'));
        const bool last = field + 1 == version.size();
        if (last != (dot == text.npos)) return std::nullopt;
        const std::basic_string_view<Char> digits = text.substr(0, dot);
        if (digits.empty() || digits.size() > 5) return std::nullopt;
        unsigned value = 0;
        for (const Char c : digits) {
            if (c < Char('0') || c > Char('9')) return std::nullopt;
            value = value * 10 + static_cast<unsigned>(c - Char('0'));
        }
        if (value > 65535) return std::nullopt;
        version[field] = static_cast<std::uint16_t>(value);
        text = last ? text : text.substr(dot + 1);
    }
    return version;
}

bool SafeFileName(std::string_view name) {
    if (name.size() < 5 || name.size() > kMostFileNameChars) return false;
    if (name.substr(name.size() - 4) != ".msi" || name.front() == '.') return false;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_';
        if (!plain) return false;
    }
    return true;
}

// "<file> <size> <sha256>".
std::optional<ProgramPackage> ParsePackage(std::string_view text) {
    const size_t first = text.find(' ');
    const size_t second = first == text.npos ? text.npos : text.find(' ', first + 1);
    if (second == text.npos) return std::nullopt;
    ProgramPackage package;
    package.file = std::string(text.substr(0, first));
    const auto size = ParseDecimal(text.substr(first + 1, second - first - 1), UINT64_MAX);
    const auto digest = ParseSha256Hex(text.substr(second + 1));
    if (!SafeFileName(package.file) || !size || *size == 0 || !digest) return std::nullopt;
    package.size = *size;
    package.sha256 = *digest;
    return package;
}

}  // namespace

std::optional<FileVersion> ParseFileVersion(std::wstring_view text) { return ParseVersion(text); }
std::optional<FileVersion> ParseFileVersion(std::string_view text) { return ParseVersion(text); }

std::optional<ProgramRelease> ParseProgramRelease(std::string_view text) {
    static constexpr std::string_view kKeys[] = {"kind", "release", "version", "x64", "x86"};
    std::optional<std::string_view> values[std::size(kKeys)];
    if (!ReadManifestLines(text, kKeys, values)) return std::nullopt;
    const auto& [kind, number, version, x64, x86] = values;
    if (!kind || *kind != "program" || !number || !version || (!x64 && !x86)) return std::nullopt;

    ProgramRelease release;
    const auto parsed = ParseDecimal(*number, kHighestRelease);
    const auto fileVersion = ParseFileVersion(*version);
    if (!parsed || *parsed == 0 || !fileVersion) return std::nullopt;
    release.release = static_cast<DWORD>(*parsed);
    release.version = *fileVersion;
    release.versionText = std::string(*version);
    if (x64 && !(release.x64 = ParsePackage(*x64))) return std::nullopt;
    if (x86 && !(release.x86 = ParsePackage(*x86))) return std::nullopt;
    return release;
}

const wchar_t* ProgramReleaseVerdictText(ProgramReleaseVerdict verdict) {
    switch (verdict) {
    case ProgramReleaseVerdict::Newer: return L"a newer program is published";
    case ProgramReleaseVerdict::NotNewer: return L"the published program is not newer than this one";
    case ProgramReleaseVerdict::NoPackage: return L"the newer program has no package for this architecture";
    case ProgramReleaseVerdict::Older: return L"the program release is older than one seen before";
    case ProgramReleaseVerdict::Invalid: return L"program-release.txt is malformed or of another kind";
    case ProgramReleaseVerdict::NotSigned: return L"program-release.txt is not signed by a known key";
    case ProgramReleaseVerdict::CngMissing: return L"bcrypt.dll could not be loaded";
    }
    return L"program release refused";
}

ProgramReleaseVerdict CheckProgramRelease(const Cng* cng, std::span<const ReleaseKey> keys,
                                          std::string_view text, std::string_view signature,
                                          DWORD highestSeen, const FileVersion& running,
                                          bool x64Host, ProgramRelease& release) {
    switch (VerifyReleaseSignature(cng, keys, text, signature)) {
    case ReleaseFault::None: break;
    case ReleaseFault::CngMissing: return ProgramReleaseVerdict::CngMissing;
    case ReleaseFault::ManifestInvalid: return ProgramReleaseVerdict::Invalid;
    default: return ProgramReleaseVerdict::NotSigned;
    }
    auto parsed = ParseProgramRelease(text);
    if (!parsed) return ProgramReleaseVerdict::Invalid;
    release = std::move(*parsed);
    // A replayed older release could offer a version a later one withdrew.
    if (release.release < highestSeen) return ProgramReleaseVerdict::Older;
    if (release.version <= running) return ProgramReleaseVerdict::NotNewer;
    if (!release.For(x64Host)) return ProgramReleaseVerdict::NoPackage;
    return ProgramReleaseVerdict::Newer;
}

}  // namespace zarn
