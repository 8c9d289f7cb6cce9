#include "common/release.h"

#include "common/rig.h"
#include "common/updateserver.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace rig::release {
namespace {

std::wstring WorkDir();
std::wstring WorkFile(const wchar_t* name);
void WriteFile(const std::wstring& path, std::string_view bytes);

std::string EnvText(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? Utf8(value) : std::string();
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

int RunLinux(const std::string& command) {
    // Wine starts a Linux program but cannot wait for it or see its exit
    // status, so the script reports both through a file it renames into
    // place when it is done.
    static std::atomic<int> counter{0};
    const std::wstring name = L"run-" + std::to_wstring(++counter);
    const std::wstring script = WorkFile((name + L".sh").c_str());
    const std::wstring done = WorkFile((name + L".done").c_str());
    ::DeleteFileW(done.c_str());
    const std::string doneUnix = UnixPath(done);
    WriteFile(script, "(" + command + ") >\"" + doneUnix + ".out\" 2>&1\necho $? >\"" + doneUnix +
                          ".tmp\"\nmv \"" + doneUnix + ".tmp\" \"" + doneUnix + "\"\n");
    Run(Wide("/bin/sh \"" + UnixPath(script) + "\""), 60000);
    std::optional<std::string> status;
    if (!WaitFor([&] { return (status = ReadFileBytes(done)).has_value(); }, 120000, 20)) return -1;
    return std::atoi(status->c_str());
}

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
    WorkDir();
    const std::string path = UnixPath(BuildDir() + L"\\scratch\\unknown-release-key.pem");
    rig::updateserver::ReleaseJob("genkey " + path);
    return path;
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
    std::string hex = rig::updateserver::ReleaseJob("sha256", bytes);
    if (hex.size() != 64) throw std::runtime_error("no SHA-256 came back");
    return hex;
}

std::string Manifest(unsigned long release, std::string_view versionBytes,
                     std::string_view packageBytes) {
    return "release=" + std::to_string(release) + "\nversion=" + Hex(versionBytes) +
           "\nsize=" + std::to_string(packageBytes.size()) + "\nsha256=" +
           Sha256Hex(packageBytes) + "\n";
}

std::string Sign(std::string_view manifest, const std::string& key) {
    return rig::updateserver::ReleaseJob("sign " + key, manifest);
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
