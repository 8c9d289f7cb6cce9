#include "bridge/diagnose.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <vector>

#include "bridge/program_update.h"
#include "bridge/protocol.h"
#include "bridge/utf.h"
#include "bridge/version.h"
#include "framework/handle.h"
#include "rapidjson/document.h"
#include "settings/build_settings.h"  // generated: the extension IDs built in
#include "support/install_folder.h"
#include "support/transfer_program.h"

namespace zarn::bridge {

namespace {

constexpr wchar_t kHostName[] = L"com.zarn.bridge";
// A host manifest is a few hundred bytes; a file beyond this is not one, and
// the diagnosis never holds more of it.
constexpr LONGLONG kMostManifestBytes = 1 << 20;
// The longest manifest path a registry value may give before it is judged
// not to be one (the longest path Windows opens is 32,767 units).
constexpr DWORD kMostValueBytes = 32768 * sizeof(wchar_t);

const wchar_t* Arch() { return sizeof(void*) == 8 ? L"x64" : L"x86"; }
const wchar_t* PackageName() {
    return sizeof(void*) == 8 ? L"ZarnCtrl2-x64.msi" : L"ZarnCtrl2-x86.msi";
}

// ---------------------------------------------------------------- what is said

// Every text the diagnosis shows. A line goes out as it is, a problem after
// "Problem: " (the scripts that read the diagnosis look for that word), and a
// part is built into other texts. {1} to {9} are where the arguments go.
enum class Kind { Line, Problem, Part };

enum class Say {
    Version,
    NoVersion,
    Host,
    InstallFolder,
    ProgramFound,
    ProgramMissing,
    IdsHeading,
    UpdateOn,
    UpdateOff,
    PublishedProgram,
    PublishedUnknown,
    ChromiumIds,
    FirefoxIds,
    Blank,
    SearchOrder,
    NotSearched,
    NotSearchedButThere,
    PlaceEmpty,
    PlaceNotPath,
    PlaceNames,
    PlaceNamesStarted,
    NoManifestPath,
    PlaceShared,
    Place32,
    Place64,
    DeleteKey,
    DeleteKey32,
    Reinstall,
    Subject,
    ManifestMissing,
    ManifestUnreadable,
    ManifestTooLarge,
    ManifestNotJson,
    ManifestNamedOther,
    ManifestUnnamed,
    ManifestNoHost,
    HostNotBeside,
    HostMissing,
    HostSigned,
    HostUnsigned,
    HostNotTrusted,
    HostUnchecked,
    ExtensionsMissing,
    ExtensionsAllowed,
    UserHostShadows,
    UserHostShadowsChromium,
    OtherHostShadows,
    OtherArchitectureServes,
    NoMachineRegistration,
    NoProblems,
    ProblemCount,
};

struct Message {
    Say say;
    Kind kind;
    const wchar_t* text;
};

constexpr Message kMessages[] = {
    {Say::Version, Kind::Part, L"zarn-bridge.exe {1}, protocol {2}, {3}"},
    {Say::NoVersion, Kind::Part, L"(no version)"},
    {Say::Host, Kind::Line, L"Host: {1}"},
    {Say::InstallFolder, Kind::Line, L"Install folder of the transfer programs: {1}"},
    {Say::ProgramFound, Kind::Line, L"  {1}: found"},
    {Say::ProgramMissing, Kind::Line,
     L"  {1}: not there yet (the first download or upload installs it)"},
    {Say::IdsHeading, Kind::Line, L"Extension IDs built in:"},
    {Say::UpdateOn, Kind::Line, L"The program updates itself (no machine policy ProgramUpdate is 0)"},
    {Say::UpdateOff, Kind::Line,
     L"The program does not update itself: machine policy ProgramUpdate is 0 (installed: {1})"},
    {Say::PublishedProgram, Kind::Line, L"  installed: {1}; published, as last looked at: {2}"},
    {Say::PublishedUnknown, Kind::Line, L"  installed: {1}; published: not looked at yet"},
    {Say::ChromiumIds, Kind::Line, L"  Chrome and Edge:{1}"},
    {Say::FirefoxIds, Kind::Line, L"  Firefox:{1}"},
    {Say::Blank, Kind::Line, L""},
    {Say::SearchOrder, Kind::Line, L"{1} searches, in this order:"},
    {Say::NotSearched, Kind::Line,
     L"  {1}. {2}: not searched (policy NativeMessagingUserLevelHosts is 0)"},
    {Say::NotSearchedButThere, Kind::Line,
     L"  {1}. {2}: not searched (policy NativeMessagingUserLevelHosts is 0); an entry is there"},
    {Say::PlaceEmpty, Kind::Line, L"  {1}. {2}: nothing"},
    {Say::PlaceNotPath, Kind::Line, L"  {1}. {2}: a value that is not a path"},
    {Say::PlaceNames, Kind::Line, L"  {1}. {2}: {3}"},
    {Say::PlaceNamesStarted, Kind::Line, L"  {1}. {2}: {3}  <- {4} starts this one"},
    {Say::NoManifestPath, Kind::Problem, L"{1}: {2} holds no manifest path: {3}"},
    {Say::PlaceShared, Kind::Part, L"{1}\\{2}"},
    {Say::Place32, Kind::Part, L"{1}\\{2} (32-bit view)"},
    {Say::Place64, Kind::Part, L"{1}\\{2} (64-bit view)"},
    {Say::DeleteKey, Kind::Part, L"delete that key (reg delete \"{1}\\{2}\" /f)"},
    {Say::DeleteKey32, Kind::Part, L"delete that key (reg delete \"{1}\\{2}\" /f /reg:32)"},
    {Say::Reinstall, Kind::Part, L"repair or reinstall the Zarn program ({1})"},
    {Say::Subject, Kind::Part, L"{1}: {2} names the manifest {3}"},
    {Say::ManifestMissing, Kind::Problem, L"{1}, which does not exist: {2}"},
    {Say::ManifestUnreadable, Kind::Problem, L"{1}, which cannot be read ({2}): {3}"},
    {Say::ManifestTooLarge, Kind::Problem, L"{1}, which is too large to be a host manifest: {2}"},
    {Say::ManifestNotJson, Kind::Problem, L"{1}, which is not a JSON object: {2}"},
    {Say::ManifestNamedOther, Kind::Problem, L"{1}, whose \"name\" is \"{2}\", not {3}: {4}"},
    {Say::ManifestUnnamed, Kind::Problem, L"{1}, whose \"name\" is missing, not {2}: {3}"},
    {Say::ManifestNoHost, Kind::Problem, L"{1}, which names no host (\"path\"): {2}"},
    {Say::HostNotBeside, Kind::Problem, L"{1}, whose host {2} is not beside it, in {3}: {4}"},
    {Say::HostMissing, Kind::Problem, L"{1}, whose host {2} does not exist: {3}"},
    {Say::HostSigned, Kind::Line, L"     host: {1} (signed)"},
    {Say::HostUnsigned, Kind::Problem, L"{1}, whose host {2} carries no signature: {3}"},
    {Say::HostNotTrusted, Kind::Problem,
     L"{1}, whose host {2} has a signature this machine does not trust ({3}): {4}"},
    {Say::HostUnchecked, Kind::Line, L"     host: {1} (its signature could not be checked here)"},
    {Say::ExtensionsMissing, Kind::Problem,
     L"{1}, whose \"{2}\" does not name the extension {3}: {4}"},
    {Say::ExtensionsAllowed, Kind::Line, L"     allows every extension ID built in"},
    {Say::UserHostShadows, Kind::Problem,
     L"{1} starts the host registered for this user at {2}, not the one the Zarn program "
     L"installed: {3}"},
    {Say::UserHostShadowsChromium, Kind::Problem,
     L"{1} starts the host registered for this user at {2}, not the one the Zarn program "
     L"installed: {3}; on managed machines set the policy NativeMessagingUserLevelHosts to 0"},
    {Say::OtherHostShadows, Kind::Problem,
     L"{1} starts the host registered at {2} before the Zarn program's at {3}: {4}"},
    {Say::OtherArchitectureServes, Kind::Line,
     L"     (the other architecture's Zarn program: it serves as well)"},
    {Say::NoMachineRegistration, Kind::Problem,
     L"{1} finds no per-machine registration of {2}: install the Zarn program ({3}) as an "
     L"administrator"},
    {Say::NoProblems, Kind::Line, L"No problems found."},
    {Say::ProblemCount, Kind::Line, L"{1} problem(s) found."},
};

constexpr bool InOrder() {
    for (size_t i = 0; i < std::size(kMessages); ++i)
        if (static_cast<size_t>(kMessages[i].say) != i) return false;
    return std::size(kMessages) == static_cast<size_t>(Say::ProblemCount) + 1;
}
static_assert(InOrder(), "kMessages holds one row per Say, in the enum's order");

const Message& MessageOf(Say say) { return kMessages[static_cast<size_t>(say)]; }

// Whether `c` could move or end a line on a console, a terminal or in a
// script that splits the output into lines, or turn the text around it: the
// C0 and C1 controls, DEL, the line and paragraph separators and the bidi
// controls.
bool IsControl(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// `text` with each control character shown as <U+XXXX>: what a registry
// value or a manifest holds is shown, but cannot start a line of its own
// (such as a forged "No problems found.").
std::wstring Escaped(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        if (!IsControl(c)) {
            out += c;
            continue;
        }
        wchar_t code[12];
        std::swprintf(code, std::size(code), L"<U+%04X>", static_cast<unsigned>(c));
        out += code;
    }
    return out;
}

// The message's text with its arguments, each escaped, in place of {1}..{9}.
std::wstring Text(Say say, std::initializer_list<std::wstring_view> arguments = {}) {
    const std::wstring_view text = MessageOf(say).text;
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t index = i + 2 < text.size() && text[i] == L'{' && text[i + 2] == L'}'
                                 ? static_cast<size_t>(text[i + 1] - L'1')
                                 : arguments.size();
        if (index < arguments.size()) {
            out += Escaped(arguments.begin()[index]);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// ---------------------------------------------------------------- files and paths

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// `path` made absolute and tidied (".." and "." resolved, "/" as "\"), as
// the browsers do before they start a host; `path` itself when it cannot be.
std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD written = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) return path;
    full.resize(written);
    return full;
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool IsAbsolute(const std::wstring& path) {
    return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
           path.starts_with(L"\\\\");
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring OwnPath() {
    std::wstring path(MAX_PATH, L'\0');
    while (path.size() <= 32768) {
        const DWORD written =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (written == 0) return {};
        if (written < path.size()) {
            path.resize(written);
            return path;
        }
        path.resize(path.size() * 2);
    }
    return {};
}

enum class FileRead { Ok, Missing, Unreadable, TooLarge };

FileRead ReadSmallFile(const std::wstring& path, std::string& bytes) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? FileRead::Missing
                   : FileRead::Unreadable;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return FileRead::Unreadable;
    if (size.QuadPart > kMostManifestBytes) return FileRead::TooLarge;
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                        &read, nullptr) ||
            read == 0)
            return FileRead::Unreadable;
        done += read;
    }
    return FileRead::Ok;
}

// ---------------------------------------------------------------- signatures

enum class Signed { Yes, No, NotTrusted, CannotTell };

struct SignatureVerdict {
    Signed state = Signed::CannotTell;
    LONG code = 0;
};

// The system's verdict on the file's Authenticode signature, without any
// window and without going online for revocation. wintrust.dll is loaded
// here, for the diagnosis alone, so that a browser's start of the host
// never waits for it.
SignatureVerdict CheckSignature(const std::wstring& path) {
    using VerifyFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
    zfw::unique_hmodule wintrust(
        ::LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    const auto verify = wintrust ? reinterpret_cast<VerifyFn>(reinterpret_cast<void*>(
                                       ::GetProcAddress(wintrust.get(), "WinVerifyTrust")))
                                 : nullptr;
    if (!verify) return {};

    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

    if (status == ERROR_SUCCESS) return {Signed::Yes, status};
    if (status == TRUST_E_NOSIGNATURE || status == TRUST_E_SUBJECT_FORM_UNKNOWN ||
        status == TRUST_E_PROVIDER_UNKNOWN)
        return {Signed::No, status};
    return {Signed::NotTrusted, status};
}

std::wstring Hex(LONG code) {
    wchar_t text[16];
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"0x%08lX",
                  static_cast<unsigned long>(code));
    return text;
}

// ---------------------------------------------------------------- the registry

enum class View { Shared, Bits32, Bits64 };

struct Place {
    HKEY root;
    View view;
};

const wchar_t* RootName(HKEY root) { return root == HKEY_CURRENT_USER ? L"HKCU" : L"HKLM"; }

std::wstring PlaceName(const Place& place, const std::wstring& key) {
    const Say say = place.view == View::Bits32   ? Say::Place32
                    : place.view == View::Bits64 ? Say::Place64
                                                 : Say::PlaceShared;
    return Text(say, {RootName(place.root), key});
}

REGSAM ViewFlag(View view) {
    return view == View::Bits32 ? KEY_WOW64_32KEY : view == View::Bits64 ? KEY_WOW64_64KEY : 0;
}

struct RegText {
    enum class State { Nothing, Text, NotText } state = State::Nothing;
    std::wstring text;
};

// The default value of root\path in `view`: a text (up to its first NUL),
// something else, or nothing (no key, or a key without a default value,
// which the browsers pass over as they pass over a missing key).
RegText ReadDefault(HKEY root, const std::wstring& path, View view) {
    RegText out;
    zfw::unique_hkey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view), key.put()) !=
        ERROR_SUCCESS)
        return out;
    DWORD type = REG_NONE, bytes = 0;
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
        return out;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes > kMostValueBytes) {
        out.state = RegText::State::NotText;
        return out;
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                           &size) != ERROR_SUCCESS)
        return out;
    text.resize(std::min<size_t>(size / sizeof(wchar_t), text.size()));
    if (const size_t end = text.find(L'\0'); end != std::wstring::npos) text.resize(end);
    out.state = RegText::State::Text;
    out.text = std::move(text);
    return out;
}

// A DWORD policy value, machine policy before user policy, as the browsers
// read them (policies are one key for both registry views).
std::optional<DWORD> PolicyNumber(const wchar_t* path, const wchar_t* name) {
    for (const HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        zfw::unique_hkey key;
        if (::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
            ERROR_SUCCESS)
            continue;
        DWORD value = 0, type = REG_NONE, size = sizeof(value);
        if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                               &size) == ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof(value))
            return value;
    }
    return std::nullopt;
}

bool IsWindows64() {
    if (sizeof(void*) == 8) return true;
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

// ---------------------------------------------------------------- the diagnosis

std::vector<std::wstring> SplitIds(std::wstring_view list) {
    std::vector<std::wstring> ids;
    while (!list.empty()) {
        const size_t end = list.find(L';');
        if (const std::wstring_view id = list.substr(0, end); !id.empty()) ids.emplace_back(id);
        list = end == std::wstring_view::npos ? std::wstring_view() : list.substr(end + 1);
    }
    return ids;
}

struct Browser {
    const wchar_t* name;
    const wchar_t* vendorKey;  // under Software\ (and Software\Policies\)
    bool firefox;
};

constexpr std::array<Browser, 3> kBrowsers{{
    {L"Chrome", L"Google\\Chrome", false},
    {L"Edge", L"Microsoft\\Edge", false},
    {L"Firefox", L"Mozilla", true},
}};

class Diagnosis {
public:
    explicit Diagnosis(std::wstring& out) : out_(out) {}

    int problems() const { return problems_; }

    // Shows a line or a problem of the table.
    void Say(enum Say say, std::initializer_list<std::wstring_view> arguments = {}) {
        if (MessageOf(say).kind == Kind::Problem) {
            ++problems_;
            out_ += L"Problem: ";
        }
        out_ += Text(say, arguments) + L"\n";
    }

    void InstallFolder();
    void Browse(const Browser& browser);

private:
    // What a manifest at `manifestPath` holds, judged for the browser; lines
    // go out indented, and each fault is a problem that names `where` (the
    // registry place that names the manifest) and `remedy`.
    bool JudgeManifest(const Browser& browser, const std::wstring& manifestPath,
                       const std::wstring& where, const std::wstring& remedy);
    void JudgeHost(const std::wstring& subject, const std::wstring& manifestPath,
                   const std::wstring& path, const std::wstring& remedy);

    std::wstring& out_;
    int problems_ = 0;
};

void Diagnosis::InstallFolder() {
    Say(Say::Host, {OwnPath()});
    const std::wstring folder = ResolveInstallFolder();
    Say(Say::InstallFolder, {folder});
    for (const TransferProgram* program : {&kDownloadProgram, &kUploadProgram}) {
        const bool found = IsFile(folder + program->fileName);
        Say(found ? Say::ProgramFound : Say::ProgramMissing, {program->fileName});
    }
    Say(Say::IdsHeading);
    std::wstring chromium, firefox;
    for (const std::wstring& id : SplitIds(settings::kChromiumExtensionIds)) chromium += L" " + id;
    for (const std::wstring& id : SplitIds(settings::kFirefoxExtensionIds)) firefox += L" " + id;
    Say(Say::ChromiumIds, {chromium});
    Say(Say::FirefoxIds, {firefox});
    // Self-update: the policy, the version installed (this host's) and the
    // version the update server published, as this user's last look kept it.
    const std::wstring installed = ModuleFileVersion();
    if (!ProgramUpdatePolicyOn()) {
        Say(Say::UpdateOff, {installed});
        return;
    }
    Say(Say::UpdateOn);
    const auto published = KeptProgramVersion();
    if (published)
        Say(Say::PublishedProgram, {installed, std::wstring(published->begin(), published->end())});
    else
        Say(Say::PublishedUnknown, {installed});
}

void Diagnosis::JudgeHost(const std::wstring& subject, const std::wstring& manifestPath,
                          const std::wstring& path, const std::wstring& remedy) {
    const std::wstring folder = FolderOf(manifestPath);
    const std::wstring host = FullPath(IsAbsolute(path) ? path : folder + L"\\" + path);
    if (!SamePath(FolderOf(host), FullPath(folder))) {
        Say(Say::HostNotBeside, {subject, host, folder, remedy});
        return;
    }
    if (!IsFile(host)) {
        Say(Say::HostMissing, {subject, host, remedy});
        return;
    }
    const SignatureVerdict signature = CheckSignature(host);
    switch (signature.state) {
        case Signed::Yes:
            Say(Say::HostSigned, {host});
            break;
        case Signed::No:
            Say(Say::HostUnsigned, {subject, host, remedy});
            break;
        case Signed::NotTrusted:
            Say(Say::HostNotTrusted, {subject, host, Hex(signature.code), remedy});
            break;
        case Signed::CannotTell:
            Say(Say::HostUnchecked, {host});
            break;
    }
}

bool Diagnosis::JudgeManifest(const Browser& browser, const std::wstring& manifestPath,
                              const std::wstring& where, const std::wstring& remedy) {
    const int before = problems_;
    const std::wstring subject = Text(Say::Subject, {browser.name, where, manifestPath});
    std::string bytes;
    switch (ReadSmallFile(manifestPath, bytes)) {
        case FileRead::Ok:
            break;
        case FileRead::Missing:
            Say(Say::ManifestMissing, {subject, remedy});
            return false;
        case FileRead::Unreadable:
            Say(Say::ManifestUnreadable,
                {subject, Hex(static_cast<LONG>(::GetLastError())), remedy});
            return false;
        case FileRead::TooLarge:
            Say(Say::ManifestTooLarge, {subject, remedy});
            return false;
    }
    std::string_view text = bytes;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    rapidjson::Document manifest;
    manifest.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (manifest.HasParseError() || !manifest.IsObject()) {
        Say(Say::ManifestNotJson, {subject, remedy});
        return false;
    }
    const auto textOf = [&manifest](const char* name) -> std::optional<std::wstring> {
        const auto member = manifest.FindMember(name);
        if (member == manifest.MemberEnd() || !member->value.IsString()) return std::nullopt;
        return Utf8ToUtf16(
            std::string_view(member->value.GetString(), member->value.GetStringLength()));
    };

    const std::optional<std::wstring> name = textOf("name");
    if (!name)
        Say(Say::ManifestUnnamed, {subject, kHostName, remedy});
    else if (*name != kHostName)
        Say(Say::ManifestNamedOther, {subject, *name, kHostName, remedy});

    const std::optional<std::wstring> path = textOf("path");
    if (!path || path->empty())
        Say(Say::ManifestNoHost, {subject, remedy});
    else
        JudgeHost(subject, manifestPath, *path, remedy);

    // Every extension ID built in must be allowed, or the browser refuses
    // to start the host for that extension.
    const char* list = browser.firefox ? "allowed_extensions" : "allowed_origins";
    const auto member = manifest.FindMember(list);
    std::vector<std::wstring> allowed;
    if (member != manifest.MemberEnd() && member->value.IsArray())
        for (const auto& item : member->value.GetArray())
            if (item.IsString())
                if (auto id =
                        Utf8ToUtf16(std::string_view(item.GetString(), item.GetStringLength())))
                    allowed.push_back(std::move(*id));
    std::wstring lacking;
    for (const std::wstring& id : SplitIds(browser.firefox ? settings::kFirefoxExtensionIds
                                                           : settings::kChromiumExtensionIds)) {
        const std::wstring wanted = browser.firefox ? id : L"chrome-extension://" + id + L"/";
        bool found = false;
        for (const std::wstring& item : allowed) found = found || item == wanted;
        if (!found) lacking += (lacking.empty() ? L"" : L", ") + wanted;
    }
    if (!lacking.empty())
        Say(Say::ExtensionsMissing,
            {subject, browser.firefox ? L"allowed_extensions" : L"allowed_origins", lacking,
             remedy});
    else
        Say(Say::ExtensionsAllowed);
    return problems_ == before;
}

void Diagnosis::Browse(const Browser& browser) {
    const std::wstring key =
        std::wstring(L"Software\\") + browser.vendorKey + L"\\NativeMessagingHosts\\" + kHostName;
    const View own = sizeof(void*) == 8 ? View::Bits64 : View::Bits32;
    // The user's key is one key in both registry views; the machine's has
    // two on 64-bit Windows, searched 32-bit first.
    std::vector<Place> places{{HKEY_CURRENT_USER, View::Shared}};
    if (IsWindows64())
        places.insert(places.end(),
                      {{HKEY_LOCAL_MACHINE, View::Bits32}, {HKEY_LOCAL_MACHINE, View::Bits64}});
    else
        places.push_back({HKEY_LOCAL_MACHINE, View::Shared});

    // Chrome and Edge skip the user's hosts when policy says so; Firefox has
    // no such policy.
    const std::wstring policyKey = std::wstring(L"Software\\Policies\\") + browser.vendorKey;
    const std::optional<DWORD> userHosts =
        browser.firefox ? std::nullopt
                        : PolicyNumber(policyKey.c_str(), L"NativeMessagingUserLevelHosts");
    const bool userSearched = !userHosts || *userHosts != 0;

    std::vector<RegText> found;
    for (const Place& place : places) found.push_back(ReadDefault(place.root, key, place.view));
    // The per-machine registration: the one in this host's view, else the
    // other architecture's.
    std::optional<size_t> machine;
    for (size_t i = 0; i < places.size(); ++i) {
        if (places[i].root != HKEY_LOCAL_MACHINE || found[i].state != RegText::State::Text)
            continue;
        if (!machine || places[i].view == own) machine = i;
    }

    Say(Say::Blank);
    Say(Say::SearchOrder, {browser.name});
    std::optional<size_t> started;
    for (size_t i = 0; i < places.size(); ++i) {
        const Place& place = places[i];
        const std::wstring where = PlaceName(place, key);
        const std::wstring number = std::to_wstring(i + 1);
        const bool user = place.root == HKEY_CURRENT_USER;
        if (user && !userSearched) {
            Say(found[i].state == RegText::State::Nothing ? Say::NotSearched
                                                          : Say::NotSearchedButThere,
                {number, where});
            continue;
        }
        if (found[i].state == RegText::State::Nothing) {
            Say(Say::PlaceEmpty, {number, where});
            continue;
        }
        if (found[i].state == RegText::State::NotText) {
            Say(Say::PlaceNotPath, {number, where});
            Say(Say::NoManifestPath, {browser.name, where,
                                      user ? Text(Say::DeleteKey, {RootName(place.root), key})
                                           : Text(Say::Reinstall, {PackageName()})});
            continue;
        }
        const bool first = !started;
        if (first) {
            started = i;
            Say(Say::PlaceNamesStarted, {number, where, found[i].text, browser.name});
        } else {
            Say(Say::PlaceNames, {number, where, found[i].text});
        }

        const std::wstring remove =
            Text(place.view == View::Bits32 ? Say::DeleteKey32 : Say::DeleteKey,
                 {RootName(place.root), key});
        const bool sameAsMachine =
            machine && SamePath(FullPath(found[i].text), FullPath(found[machine.value()].text));
        const std::wstring remedy =
            user && !sameAsMachine ? remove : Text(Say::Reinstall, {PackageName()});
        const bool sound = JudgeManifest(browser, found[i].text, where, remedy);
        if (!first || sameAsMachine || !machine) continue;
        // An entry found before the per-machine one shadows it: one of the
        // user's always (any program the user runs may write it), the other
        // architecture's package only when it does not hold a sound host.
        if (user)
            Say(browser.firefox ? Say::UserHostShadows : Say::UserHostShadowsChromium,
                {browser.name, where, remove});
        else if (!sound)
            Say(Say::OtherHostShadows,
                {browser.name, where, PlaceName(places[machine.value()], key), remove});
        else
            Say(Say::OtherArchitectureServes);
    }
    if (!machine) Say(Say::NoMachineRegistration, {browser.name, kHostName, PackageName()});
}

std::wstring ProtocolRange() {
    // Read back from the hello answer itself, so the two never disagree; an
    // answer without minProtocol speaks its one protocol.
    const std::string hello = HelloReply(1, L"", "");
    rapidjson::Document reply;
    reply.Parse(hello.data(), hello.size());
    if (reply.HasParseError() || !reply.IsObject() || !reply.HasMember("result") ||
        !reply["result"].IsObject())
        return L"?";
    const auto& result = reply["result"];
    const int newest = result.HasMember("protocol") && result["protocol"].IsInt()
                           ? result["protocol"].GetInt()
                           : 0;
    const int oldest = result.HasMember("minProtocol") && result["minProtocol"].IsInt()
                           ? result["minProtocol"].GetInt()
                           : newest;
    return oldest == newest ? std::to_wstring(newest)
                            : std::to_wstring(oldest) + L" to " + std::to_wstring(newest);
}

// Shows `text` to whoever started the host: into its output when that is
// redirected or a console, else into the console of the command prompt it
// was started from, else in a message box (a host started from Explorer).
void Show(const std::wstring& text, bool problem) {
    const auto write = [&text](HANDLE handle) {
        DWORD mode = 0;
        if (::GetConsoleMode(handle, &mode)) {
            DWORD written = 0;
            return ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written,
                                   nullptr) != 0;
        }
        const std::string bytes = Utf16ToUtf8(text);
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD written = 0;
            if (!::WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                             &written, nullptr) ||
                written == 0)
                return false;
            done += written;
        }
        return true;
    };
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output && output != INVALID_HANDLE_VALUE && write(output)) return;
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        zfw::unique_file console(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                               nullptr));
        if (console && write(console.get())) return;
    }
    ::MessageBoxW(nullptr, text.c_str(), L"zarn-bridge.exe",
                  MB_OK | (problem ? MB_ICONWARNING : MB_ICONINFORMATION));
}

}  // namespace

std::wstring VersionText() {
    const std::wstring version = ModuleFileVersion();
    return Text(Say::Version,
                {version.empty() ? Text(Say::NoVersion) : version, ProtocolRange(), Arch()}) +
           L"\n";
}

int DiagnosisText(std::wstring& out) {
    out = VersionText();
    Diagnosis diagnosis(out);
    diagnosis.InstallFolder();
    for (const Browser& browser : kBrowsers) diagnosis.Browse(browser);
    diagnosis.Say(Say::Blank);
    if (diagnosis.problems() == 0)
        diagnosis.Say(Say::NoProblems);
    else
        diagnosis.Say(Say::ProblemCount, {std::to_wstring(diagnosis.problems())});
    return diagnosis.problems();
}

std::optional<int> AnswerPerson(int argc, wchar_t** argv) {
    if (argc != 2 || !argv || !argv[1]) return std::nullopt;
    const std::wstring_view ask = argv[1];
    if (ask == L"--version") {
        Show(VersionText(), false);
        return 0;
    }
    if (ask == L"--diagnose") {
        std::wstring text;
        const int problems = DiagnosisText(text);
        Show(text, problems != 0);
        return problems == 0 ? 0 : 1;
    }
    return std::nullopt;
}

}  // namespace zarn::bridge
