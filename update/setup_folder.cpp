#include "update/setup_folder.h"

#include "framework/handle.h"
#include "support/log.h"

#include <aclapi.h>
#include <ntsecapi.h>
#include <winternl.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <functional>
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

// ---------------------------------------------------------------- removal
//
// Whoever can write to the parent folder can swap a listed folder, or a file
// in it, for a link between the listing and the removal, and a removal by
// name would then delete what the link leads to. So every step goes through
// a handle: each folder and file is opened relative to the handle of the
// folder it was listed in, as the entry itself (a link is opened as the
// link, not followed), checked through that handle to be the entry listed,
// and deleted through it.

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                        PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                        ULONG, PVOID, ULONG);

// ntdll is in every process; looked up rather than imported, so that the
// bridge host starts with the DLLs it has always started with.
NtCreateFileFn NtCreateFileEntry() {
    static const NtCreateFileFn entry =
        reinterpret_cast<NtCreateFileFn>(reinterpret_cast<void (*)()>(
            ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
    return entry;
}

// The entry `name` of the folder open as `folder`, itself (a link as the
// link), opened for synchronous use; an empty owner when it cannot be.
zfw::unique_file OpenInside(HANDLE folder, std::wstring_view name, ACCESS_MASK access,
                            ULONG options) {
    const NtCreateFileFn create = NtCreateFileEntry();
    if (!create || name.empty() || name.size() * sizeof(wchar_t) > 0xFFFE) return {};
    UNICODE_STRING text{};
    text.Buffer = const_cast<PWSTR>(name.data());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE opened = nullptr;
    const NTSTATUS result =
        create(&opened, access | SYNCHRONIZE, &attributes, &status, nullptr, 0,
               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
               options | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                   FILE_SYNCHRONOUS_IO_NONALERT,
               nullptr, 0);
    if (result < 0 || !opened) return {};
    return zfw::unique_file(opened);
}

// One entry of a folder as its listing gave it.
struct Listed {
    std::wstring name;
    DWORD attributes = 0;
    LONGLONG id = 0;
};

// The entries of the folder open as `folder`, without "." and "..".
std::vector<Listed> ListFolder(HANDLE folder) {
    std::vector<Listed> entries;
    alignas(LONGLONG) BYTE buffer[16 * 1024];
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
         ::GetFileInformationByHandleEx(folder, kind, buffer, sizeof(buffer));
         kind = FileIdBothDirectoryInfo) {
        for (size_t at = 0; at + sizeof(FILE_ID_BOTH_DIR_INFO) <= sizeof(buffer);) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + at);
            const size_t nameBytes = entry->FileNameLength;
            if (at + offsetof(FILE_ID_BOTH_DIR_INFO, FileName) + nameBytes > sizeof(buffer)) break;
            const std::wstring_view name(entry->FileName, nameBytes / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                entries.push_back(
                    {std::wstring(name), entry->FileAttributes, entry->FileId.QuadPart});
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    return entries;
}

// The path the system resolves the open `file` to; empty when it cannot.
std::wstring FinalPath(HANDLE file) {
    const DWORD needed = ::GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED);
    if (needed == 0) return {};
    std::wstring path(needed, L'\0');
    const DWORD written =
        ::GetFinalPathNameByHandleW(file, path.data(), needed, FILE_NAME_NORMALIZED);
    if (written == 0 || written >= needed) return {};
    path.resize(written);
    return path;
}

// The file ID of the open `file`; 0 when it cannot be read (no file has 0).
LONGLONG FileId(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return 0;
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) |
                                 info.nFileIndexLow);
}

bool IsLink(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return !::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag)) ||
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Whether the open `file` is the entry `listed` of the folder at
// `folderPath` (a final path): not a link (Windows opens the entry itself,
// and a link shows as one), the same file ID and the same final path (Wine
// opens what a Unix link leads to, which is another file at another path).
bool IsListedEntry(HANDLE file, const std::wstring& folderPath, const Listed& listed) {
    if (IsLink(file) || FileId(file) != listed.id) return false;
    const std::wstring path = FinalPath(file);
    const std::wstring expected = folderPath + L"\\" + listed.name;
    return ::CompareStringOrdinal(path.c_str(), static_cast<int>(path.size()), expected.c_str(),
                                  static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

bool DeleteThrough(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                        sizeof(disposition)) != FALSE;
}

// The files directly inside the folder open as `folder`, then the folder
// itself. Subfolders and links are left where they are, and the folder with
// them.
void RemoveFilesAndFolder(HANDLE folder) {
    const std::wstring folderPath = FinalPath(folder);
    if (folderPath.empty()) return;
    for (const Listed& entry : ListFolder(folder)) {
        if (entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        const zfw::unique_file file =
            OpenInside(folder, entry.name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                       FILE_NON_DIRECTORY_FILE);
        if (!file || !IsListedEntry(file.get(), folderPath, entry)) {
            ZARN_LOG(L"setup folder file left (not the file listed): %s\\%s", folderPath.c_str(),
                     entry.name.c_str());
            continue;
        }
        if (entry.attributes & FILE_ATTRIBUTE_READONLY) {
            FILE_BASIC_INFO basic{};  // times of 0 stay as they are
            basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
            ::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic));
        }
        if (!DeleteThrough(file.get()))
            ZARN_LOG(L"setup folder file not removed (error %lu): %s\\%s", ::GetLastError(),
                     folderPath.c_str(), entry.name.c_str());
    }
    if (!DeleteThrough(folder))
        ZARN_LOG(L"setup folder not removed (error %lu): %s", ::GetLastError(),
                 folderPath.c_str());
}

// The access a folder is opened with for its removal.
constexpr ACCESS_MASK kFolderAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;

// True for a name RandomName gives: the prefix and 16 lower-case hex digits.
bool IsSetupFolderName(std::wstring_view name) {
    const std::wstring_view prefix = kSetupFolderPrefix;
    if (name.size() != prefix.size() + 16 || name.substr(0, prefix.size()) != prefix) return false;
    for (const wchar_t c : name.substr(prefix.size()))
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    return true;
}

}  // namespace

void RemoveLeftSetupFolders(const std::wstring& parent, const std::wstring& keep,
                            const std::function<void()>& listed) {
    const zfw::unique_file folder(
        ::CreateFileW(parent.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return;
    const std::wstring parentPath = FinalPath(folder.get());
    if (parentPath.empty()) return;
    std::vector<Listed> left;
    for (Listed& entry : ListFolder(folder.get())) {
        if (!(entry.attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsSetupFolderName(entry.name))
            continue;
        const std::wstring path = parent + entry.name;
        if (::lstrcmpiW(path.c_str(), keep.c_str()) != 0) left.push_back(std::move(entry));
    }
    if (listed) listed();
    for (const Listed& entry : left) {
        const zfw::unique_file found =
            OpenInside(folder.get(), entry.name, kFolderAccess, FILE_DIRECTORY_FILE);
        if (!found || !IsListedEntry(found.get(), parentPath, entry)) {
            ZARN_LOG(L"setup folder left (not the folder listed): %s%s", parent.c_str(),
                     entry.name.c_str());
            continue;
        }
        RemoveFilesAndFolder(found.get());
    }
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
        if (::CreateDirectoryW(path.c_str(), &attributes)) {
            // Its file ID, so that the removal finds this folder and no other.
            const zfw::unique_file made(::CreateFileW(
                path.c_str(), FILE_READ_ATTRIBUTES,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            const LONGLONG id = made ? FileId(made.get()) : 0;
            if (id == 0) {
                ::RemoveDirectoryW(path.c_str());
                return std::nullopt;
            }
            return SetupFolder(std::move(path), id);
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return std::nullopt;
    }
    return std::nullopt;
}

SetupFolder::SetupFolder(SetupFolder&& other) noexcept
    : path_(std::move(other.path_)), id_(other.id_) {
    other.path_.clear();
}

SetupFolder::~SetupFolder() {
    // Only what this run put there (the package or the installer), or what
    // the installer left beside itself; never anything below a subfolder,
    // and nothing at all when the path no longer leads to the folder made.
    if (path_.empty()) return;
    const zfw::unique_file folder(::CreateFileW(
        path_.c_str(), kFolderAccess | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        ZARN_LOG(L"setup folder not removed (error %lu): %s", ::GetLastError(), path_.c_str());
        return;
    }
    if (IsLink(folder.get()) || FileId(folder.get()) != id_) {
        ZARN_LOG(L"setup folder left (no longer the folder made): %s", path_.c_str());
        return;
    }
    RemoveFilesAndFolder(folder.get());
}

}  // namespace zarn
