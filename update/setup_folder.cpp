#include "update/setup_folder.h"

#include "framework/handle.h"
#include "support/log.h"

#include <aclapi.h>
#include <ntsecapi.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

namespace zarn {

namespace {

// A name already taken (made by someone else, who would own it) is never
// used; a few fresh random names are tried instead.
constexpr int kNameAttempts = 8;

// The SID of the user the process runs as.
std::vector<BYTE> UserSid() {
    zfw::unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<BYTE> buffer(size);
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    std::vector<BYTE> copy(::GetLengthSid(sid));
    if (!::CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)) return {};
    return copy;
}

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

// The folder's DACL: full access for the user, SYSTEM and the
// Administrators, each inherited by the files and folders made inside.
std::vector<BYTE> PrivateAcl() {
    const std::vector<BYTE> sids[] = {UserSid(), WellKnownSid(WinLocalSystemSid),
                                      WellKnownSid(WinBuiltinAdministratorsSid)};
    DWORD size = sizeof(ACL);
    for (const auto& sid : sids) {
        if (sid.empty()) return {};
        size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid.size());
    }
    std::vector<BYTE> acl((size + 3) & ~3u);
    const auto dacl = reinterpret_cast<PACL>(acl.data());
    if (!::InitializeAcl(dacl, static_cast<DWORD>(acl.size()), ACL_REVISION)) return {};
    for (const auto& sid : sids) {
        if (!::AddAccessAllowedAceEx(dacl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                     FILE_ALL_ACCESS,
                                     const_cast<PSID>(static_cast<const void*>(sid.data()))))
            return {};
    }
    return acl;
}

std::wstring RandomName() {
    std::array<BYTE, 8> bytes{};
    if (!::RtlGenRandom(bytes.data(), static_cast<ULONG>(bytes.size()))) return {};
    std::wstring name = kSetupFolderPrefix;
    for (const BYTE b : bytes) {
        wchar_t hex[3] = {};
        std::swprintf(hex, 3, L"%02x", b);
        name += hex;
    }
    return name;
}

// The files directly inside `path`, then the folder itself.
void RemoveFolderAndFiles(const std::wstring& path) {
    WIN32_FIND_DATAW found{};
    zfw::unique_find search(::FindFirstFileW((path + L"\\*").c_str(), &found));
    if (search) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            const std::wstring file = path + L"\\" + found.cFileName;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(file.c_str());
        } while (::FindNextFileW(search.get(), &found));
    }
    if (!::RemoveDirectoryW(path.c_str()))
        ZARN_LOG(L"setup folder not removed (error %lu): %s", ::GetLastError(), path.c_str());
}

// True for a name RandomName gives: the prefix and 16 lower-case hex digits.
bool IsSetupFolderName(std::wstring_view name) {
    const std::wstring_view prefix = kSetupFolderPrefix;
    if (name.size() != prefix.size() + 16 || name.substr(0, prefix.size()) != prefix) return false;
    for (const wchar_t c : name.substr(prefix.size()))
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    return true;
}

}  // namespace

void RemoveLeftSetupFolders(const std::wstring& parent, const std::wstring& keep) {
    WIN32_FIND_DATAW found{};
    zfw::unique_find search(
        ::FindFirstFileW((parent + kSetupFolderPrefix + L"*").c_str(), &found));
    if (!search) return;
    std::vector<std::wstring> left;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !IsSetupFolderName(found.cFileName))
            continue;
        std::wstring path = parent + found.cFileName;
        if (::lstrcmpiW(path.c_str(), keep.c_str()) != 0) left.push_back(std::move(path));
    } while (::FindNextFileW(search.get(), &found));
    search.reset();
    for (const std::wstring& path : left) RemoveFolderAndFiles(path);
}

std::vector<BYTE> SetupFolderSecurity() {
    std::vector<BYTE> acl = PrivateAcl();
    if (acl.empty()) return {};
    SECURITY_DESCRIPTOR descriptor{};
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE) ||
        !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return {};
    DWORD size = 0;
    ::MakeSelfRelativeSD(&descriptor, nullptr, &size);
    if (size == 0) return {};
    std::vector<BYTE> relative(size);
    if (!::MakeSelfRelativeSD(&descriptor, relative.data(), &size)) return {};
    return relative;
}

std::optional<SetupFolder> SetupFolder::Create(const std::wstring& parent) {
    std::vector<BYTE> descriptor = SetupFolderSecurity();
    if (descriptor.empty()) return std::nullopt;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.data(), FALSE};
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring name = RandomName();
        if (name.empty()) return std::nullopt;
        std::wstring path = parent + name;
        // Fails when anything of that name exists: the folder is always new.
        if (::CreateDirectoryW(path.c_str(), &attributes)) return SetupFolder(std::move(path));
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return std::nullopt;
    }
    return std::nullopt;
}

SetupFolder::SetupFolder(SetupFolder&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
}

SetupFolder::~SetupFolder() {
    // Only what this run put there (the package or the installer), or what
    // the installer left beside itself; never anything below a subfolder.
    if (!path_.empty()) RemoveFolderAndFiles(path_);
}

}  // namespace zarn
