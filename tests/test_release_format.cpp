// The release manifest and the DER signature as the control reads them: what
// is accepted, and the malformed forms that must never be (each case is one
// a careless parser lets through or reads out of bounds on).
#include "update/program_release.h"
#include "update/release_check.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

using namespace zarn;

namespace {

const std::string kHash(64, 'a');

std::string Manifest(const std::string& release = "12", const std::string& version = "312e30",
                     const std::string& size = "1024", const std::string& sha = kHash) {
    return "release=" + release + "\nversion=" + version + "\nsize=" + size + "\nsha256=" + sha +
           "\n";
}

TEST(ReleaseManifest, ReadsTheFourKeys) {
    const auto m = ParseReleaseManifest(Manifest());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->release, 12u);
    EXPECT_EQ(m->version, "1.0");
    EXPECT_EQ(m->size, 1024u);
    EXPECT_EQ(m->sha256[0], 0xaa);
    EXPECT_EQ(m->sha256[31], 0xaa);

    // CR LF, no final line end, unknown keys, keys in another order.
    const auto crlf = ParseReleaseManifest(
        "sha256=" + kHash + "\r\nchannel=beta\r\nsize=0\r\nversion=\r\nrelease=2147483647");
    ASSERT_TRUE(crlf);
    EXPECT_EQ(crlf->release, 2147483647u);
    EXPECT_EQ(crlf->version, "");
    EXPECT_EQ(crlf->size, 0u);

    // Exactly 4 KiB is allowed, one byte more is not.
    std::string padded = Manifest() + "note=";
    padded += std::string(4096 - padded.size(), 'x');
    EXPECT_TRUE(ParseReleaseManifest(padded));
    EXPECT_FALSE(ParseReleaseManifest(padded + "x"));
}

TEST(ReleaseManifest, RefusesWhatIsNotExactlyTheFormat) {
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"release 0", Manifest("0")},
        {"release above 2^31-1", Manifest("2147483648")},
        {"release with a sign", Manifest("+5")},
        {"release with a space", Manifest("5 ")},
        {"release empty", Manifest("")},
        {"release far too long", Manifest("99999999999999999999999")},
        {"version in upper case", Manifest("1", "312E30")},
        {"version of odd length", Manifest("1", "312")},
        {"version not hex", Manifest("1", "zz")},
        {"size not decimal", Manifest("1", "31", "0x10")},
        {"size beyond 64 bits", Manifest("1", "31", "18446744073709551616")},
        {"sha256 short", Manifest("1", "31", "1", std::string(62, 'a'))},
        {"sha256 long", Manifest("1", "31", "1", std::string(66, 'a'))},
        {"sha256 upper case", Manifest("1", "31", "1", std::string(64, 'A'))},
        {"missing release", Manifest().substr(Manifest().find('\n') + 1)},
        {"repeated key", Manifest() + "size=1024\n"},
        {"repeated key, same value", Manifest() + "release=12\n"},
        {"line without =", Manifest() + "garbage\n"},
        {"empty", ""},
    };
    for (const auto& [name, text] : bad) EXPECT_FALSE(ParseReleaseManifest(text)) << name;
}

std::string ProgramText(const std::string& kind = "program", const std::string& release = "3",
                        const std::string& version = "1.0.0.7",
                        const std::string& x64 = "ZarnCtrl2-x64.msi 4096 " + kHash) {
    return "kind=" + kind + "\nrelease=" + release + "\nversion=" + version + "\nx64=" + x64 + "\n";
}

TEST(ProgramRelease, ReadsTheProgramsOwnReleaseAndNotTheOtherKind) {
    const auto m = ParseProgramRelease(ProgramText() + "x86=ZarnCtrl2-x86.msi 1 " + kHash + "\r\n");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->release, 3u);
    EXPECT_EQ(m->version, (FileVersion{1, 0, 0, 7}));
    EXPECT_EQ(m->versionText, "1.0.0.7");
    ASSERT_TRUE(m->x64 && m->x86);
    EXPECT_EQ(m->x64->file, "ZarnCtrl2-x64.msi");
    EXPECT_EQ(m->x64->size, 4096u);
    EXPECT_EQ(m->x86->size, 1u);
    EXPECT_EQ(m->For(false)->file, "ZarnCtrl2-x86.msi");

    // Neither check takes the other's text; a transfer release may name its
    // kind, or (as those published before) not.
    EXPECT_FALSE(ParseReleaseManifest(ProgramText() + "size=1\nsha256=" + kHash + "\n"));
    EXPECT_FALSE(ParseProgramRelease(Manifest()));
    EXPECT_FALSE(ParseProgramRelease(Manifest() + "kind=program\n"));
    EXPECT_TRUE(ParseReleaseManifest(Manifest() + "kind=transfer\n"));
    EXPECT_FALSE(ParseReleaseManifest(Manifest() + "kind=program\n"));

    const std::vector<std::pair<const char*, std::string>> bad = {
        {"kind missing", ProgramText().substr(ProgramText().find('\n') + 1)},
        {"kind transfer", ProgramText("transfer")},
        {"release 0", ProgramText("program", "0")},
        {"version of three fields", ProgramText("program", "3", "1.0.7")},
        {"version field over 65535", ProgramText("program", "3", "1.0.0.65536")},
        {"version with a letter", ProgramText("program", "3", "1.0.0.7a")},
        {"version with an empty field", ProgramText("program", "3", "1..0.7")},
        {"no package", "kind=program\nrelease=3\nversion=1.0.0.7\n"},
        {"a folder in the file name", ProgramText("program", "3", "1.0.0.7", "..\\x.msi 1 " + kHash)},
        {"a slash in the file name", ProgramText("program", "3", "1.0.0.7", "a/x.msi 1 " + kHash)},
        {"not an MSI", ProgramText("program", "3", "1.0.0.7", "x.exe 1 " + kHash)},
        {"size 0", ProgramText("program", "3", "1.0.0.7", "x.msi 0 " + kHash)},
        {"hash short", ProgramText("program", "3", "1.0.0.7", "x.msi 1 " + kHash.substr(1))},
        {"no hash", ProgramText("program", "3", "1.0.0.7", "x.msi 1")},
        {"repeated package", ProgramText() + "x64=ZarnCtrl2-x64.msi 4096 " + kHash + "\n"},
    };
    for (const auto& [name, text] : bad) EXPECT_FALSE(ParseProgramRelease(text)) << name;

    EXPECT_EQ(ParseFileVersion(std::wstring_view(L"65535.0.10.6")), (FileVersion{65535, 0, 10, 6}));
    EXPECT_FALSE(ParseFileVersion(std::wstring_view(L"1.0.0.6.1")));
    EXPECT_FALSE(ParseFileVersion(std::wstring_view(L"")));
}

using Bytes = std::vector<std::uint8_t>;

Bytes Join(std::initializer_list<const Bytes*> parts) {
    Bytes out;
    for (const Bytes* part : parts)
        for (const std::uint8_t b : *part) out.push_back(b);
    return out;
}

// SEQUENCE { INTEGER r, INTEGER s } with short-form lengths.
Bytes Der(const Bytes& r, const Bytes& s) {
    const Bytes rHead = {0x02, static_cast<std::uint8_t>(r.size())};
    const Bytes sHead = {0x02, static_cast<std::uint8_t>(s.size())};
    const Bytes head = {0x30, static_cast<std::uint8_t>(4 + r.size() + s.size())};
    return Join({&head, &rHead, &r, &sHead, &s});
}

TEST(ReleaseSignature, DerBecomesRThenS) {
    Bytes r(32, 0x11), s(32, 0x22);
    r[0] = 0x91;  // high bit: needs a leading zero
    const Bytes zero = {0};
    const auto sig = SignatureFromDer(Der(Join({&zero, &r}), {0x05}));  // short s
    ASSERT_TRUE(sig);
    EXPECT_EQ((*sig)[0], 0x91);
    EXPECT_EQ((*sig)[31], 0x11);
    EXPECT_EQ((*sig)[32], 0x00);
    EXPECT_EQ((*sig)[63], 0x05);
    EXPECT_TRUE(SignatureFromDer(Der(s, s)));
}

TEST(ReleaseSignature, RefusesMalformedDer) {
    const Bytes v(32, 0x22), zero = {0};
    const Bytes padded = Join({&zero, &v});  // needless leading zero
    const Bytes tooLong(33, 0x12);
    Bytes trailing = Der(v, v);
    trailing.push_back(0);
    Bytes lengthLies = Der(v, v);
    lengthLies[1] += 1;
    Bytes innerTooLong = Der(v, v);
    innerTooLong[3] = 0x7f;  // r claims more than there is
    const Bytes longHead = {0x30, 0x81, 0x44};
    const Bytes body = Der(v, v);
    const Bytes bodyTail(body.begin() + 2, body.end());
    const Bytes longForm = Join({&longHead, &bodyTail});
    Bytes wrongTag = Der(v, v);
    wrongTag[2] = 0x03;

    const std::vector<std::pair<const char*, Bytes>> bad = {
        {"empty", {}},
        {"one byte", {0x30}},
        {"empty sequence", {0x30, 0x00}},
        {"one integer", {0x30, 0x03, 0x02, 0x01, 0x01}},
        {"needless leading zero", Der(padded, v)},
        {"negative", Der({0x80}, v)},
        {"zero", Der({0x00}, v)},
        {"33 bytes of value", Der(tooLong, v)},
        {"trailing byte", trailing},
        {"outer length past the end", lengthLies},
        {"inner length past the end", innerTooLong},
        {"long-form length", longForm},
        {"not an INTEGER", wrongTag},
        {"raw r and s", Bytes(64, 0x30)},
    };
    for (const auto& [name, der] : bad) EXPECT_FALSE(SignatureFromDer(der)) << name;
}

TEST(ReleaseCheck, Sha256OfKnownText) {
    const auto cng = Cng::Load();
    ASSERT_TRUE(cng);
    Sha256Digest digest{};
    const std::string abc = "abc";
    ASSERT_TRUE(cng->Digest(std::span(reinterpret_cast<const std::uint8_t*>(abc.data()), 3), digest));
    EXPECT_EQ(digest[0], 0xba);
    EXPECT_EQ(digest[1], 0x78);
    EXPECT_EQ(digest[31], 0xad);
    // Built with at least one key, and a signature by none of them fails.
    ASSERT_FALSE(ReleaseKeys().empty());
    std::array<std::uint8_t, 64> forged{};
    forged.fill(0x42);
    EXPECT_FALSE(cng->Verify(ReleaseKeys()[0].point, digest, forged));
}

// Where CNG is missing (or is not what it should be) the check fails closed.
// Through the module this cannot be shown under Wine: its WinINet pulls in
// crypt32, which imports bcrypt.dll, so a disabled bcrypt.dll keeps the module
// itself from loading.
TEST(ReleaseCheck, WithoutCngEveryReleaseIsRefused) {
    EXPECT_FALSE(Cng::Load(L"zarn-no-such-library.dll"));
    EXPECT_FALSE(Cng::Load(L"kernel32.dll")) << "a library without the CNG entry points";
    ReleaseManifest m;
    m.release = 0xdeadbeef;
    EXPECT_EQ(CheckRelease(nullptr, ReleaseKeys(), Manifest(), "", "1.0", 0, m),
              ReleaseFault::CngMissing);
    EXPECT_EQ(m.release, 0xdeadbeefu) << "a refused manifest must not be handed out";
}

// A program release is judged by the same signature check: unsigned, forged
// or without CNG it is nothing, whatever it offers.
TEST(ProgramRelease, OnlyASignedReleaseCounts) {
    ProgramRelease release;
    const FileVersion running{1, 0, 0, 6};
    EXPECT_EQ(CheckProgramRelease(nullptr, ReleaseKeys(), ProgramText(), "", 0, running, true, release),
              ProgramReleaseVerdict::CngMissing);
    const auto cng = Cng::Load();
    ASSERT_TRUE(cng);
    const Bytes forged = Der(Bytes(32, 0x42), Bytes(32, 0x24));
    const std::string der(forged.begin(), forged.end());
    EXPECT_EQ(CheckProgramRelease(cng.get(), ReleaseKeys(), ProgramText(), der, 0, running, true, release),
              ProgramReleaseVerdict::NotSigned);
    EXPECT_EQ(CheckProgramRelease(cng.get(), ReleaseKeys(), ProgramText(), "", 0, running, true, release),
              ProgramReleaseVerdict::NotSigned);
    EXPECT_EQ(release.release, 0u) << "a refused release must not be handed out";
}

}  // namespace
