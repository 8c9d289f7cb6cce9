#include "common/release.h"

#include "common/rig.h"
#include "common/updateserver.h"

#include <cstdio>
#include <stdexcept>

namespace rig::release {
namespace {

std::string EnvText(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? Utf8(value) : std::string();
}

// Runs a Linux command line; throws with its output when it fails.
void RunUnix(const std::string& line, const std::wstring& expectFile) {
    ::DeleteFileW(expectFile.c_str());
    const ProcessResult result = Run(Wide(line), 60000);
    if (result.timedOut || ::GetFileAttributesW(expectFile.c_str()) == INVALID_FILE_ATTRIBUTES)
        throw std::runtime_error("failed: " + line + "\n" + result.output);
}

std::wstring WorkDir() {
    const std::wstring dir = BuildDir() + L"\\scratch\\release";
    ::CreateDirectoryW((BuildDir() + L"\\scratch").c_str(), nullptr);
    ::CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

std::wstring WorkFile(const wchar_t* name) {
    return WorkDir() + L"\\" + std::to_wstring(::GetCurrentProcessId()) + L"-" + name;
}

void WriteFile(const std::wstring& path, std::string_view bytes) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) throw std::runtime_error("cannot write " + Utf8(path));
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

}  // namespace

std::string UnixPath(const std::wstring& windowsPath) {
    std::string path = Utf8(windowsPath);
    if (path.size() >= 2 && (path[0] == 'Z' || path[0] == 'z') && path[1] == ':') path.erase(0, 2);
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

std::string TrustedKey() {
    const std::string key = EnvText(L"ZARN_RELEASE_KEY");
    if (key.empty()) throw std::runtime_error("ZARN_RELEASE_KEY is not set");
    return key;
}

std::string UnknownKey() {
    const std::wstring path = BuildDir() + L"\\scratch\\unknown-release-key.pem";
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        WorkDir();
        RunUnix("/usr/bin/openssl ecparam -name prime256v1 -genkey -noout -out \"" +
                    UnixPath(path) + "\"",
                path);
    }
    return UnixPath(path);
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

std::string Sha256Hex(std::string_view bytes) {
    const std::wstring in = WorkFile(L"hash.in"), out = WorkFile(L"hash.out");
    WriteFile(in, bytes);
    RunUnix("/usr/bin/openssl dgst -sha256 -r -out \"" + UnixPath(out) + "\" \"" + UnixPath(in) +
                "\"",
            out);
    const std::string line = ReadFileBytes(out).value_or("");
    if (line.size() < 64) throw std::runtime_error("openssl gave no digest");
    return line.substr(0, 64);
}

std::string Manifest(unsigned long release, std::string_view versionBytes,
                     std::string_view packageBytes) {
    return "release=" + std::to_string(release) + "\nversion=" + Hex(versionBytes) +
           "\nsize=" + std::to_string(packageBytes.size()) + "\nsha256=" +
           Sha256Hex(packageBytes) + "\n";
}

std::string Sign(std::string_view manifest, const std::string& key) {
    const std::wstring in = WorkFile(L"sign.in"), out = WorkFile(L"sign.out");
    WriteFile(in, manifest);
    RunUnix("/usr/bin/openssl dgst -sha256 -sign \"" + key + "\" -out \"" + UnixPath(out) +
                "\" \"" + UnixPath(in) + "\"",
            out);
    return ReadFileBytes(out).value_or("");
}

void Publish(std::string_view versionBytes, std::string_view packageBytes, unsigned long release,
             const std::string& key) {
    namespace server = rig::updateserver;
    const std::string manifest = Manifest(release, versionBytes, packageBytes);
    for (const wchar_t* name : {L"release.txt", L"release.sig"}) server::ClearFault(name);
    server::PutFile(L"version.ini", versionBytes);
    server::PutFile(L"install.zip", packageBytes);
    server::PutFile(L"release.txt", manifest);
    server::PutFile(L"release.sig", Sign(manifest, key));
}

}  // namespace rig::release
