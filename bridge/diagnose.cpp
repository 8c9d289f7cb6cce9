#include "bridge/diagnose.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <string_view>
#include <vector>

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
const wchar_t* PackageName() { return sizeof(void*) == 8 ? L"ZarnCtrl2-x64.msi" : L"ZarnCtrl2-x86.msi"; }

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
        const DWORD written = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
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
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileRead::Missing
                                                                              : FileRead::Unreadable;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return FileRead::Unreadable;
    if (size.QuadPart > kMostManifestBytes) return FileRead::TooLarge;
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read,
                        nullptr) || read == 0)
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
    zfw::unique_hmodule wintrust(::LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    const auto verify = wintrust ? reinterpret_cast<VerifyFn>(
                                       reinterpret_cast<void*>(::GetProcAddress(wintrust.get(), "WinVerifyTrust")))
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
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

// ---------------------------------------------------------------- the registry

enum class View { Shared, Bits32, Bits64 };

struct Place {
    HKEY root;
    View view;
};

std::wstring PlaceName(const Place& place, const std::wstring& key) {
    std::wstring name = (place.root == HKEY_CURRENT_USER ? L"HKCU\\" : L"HKLM\\") + key;
    if (place.view == View::Bits32) name += L" (32-bit view)";
    if (place.view == View::Bits64) name += L" (64-bit view)";
    return name;
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
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view), key.put()) != ERROR_SUCCESS)
        return out;
    DWORD type = REG_NONE, bytes = 0;
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return out;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes > kMostValueBytes) {
        out.state = RegText::State::NotText;
        return out;
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS)
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
        if (::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
            continue;
        DWORD value = 0, type = REG_NONE, size = sizeof(value);
        if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                ERROR_SUCCESS &&
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

    void Line(const std::wstring& text) { out_ += text + L"\n"; }
    void Problem(const std::wstring& text) {
        ++problems_;
        out_ += L"Problem: " + text + L"\n";
    }

    void InstallFolder();
    void Browse(const Browser& browser);

private:
    // What a manifest at `manifestPath` holds, judged for the browser; lines
    // go out indented, and each fault is a problem that names `where` (the
    // registry place that names the manifest) and `remedy`.
    bool JudgeManifest(const Browser& browser, const std::wstring& manifestPath, const std::wstring& where,
                       const std::wstring& remedy);

    std::wstring& out_;
    int problems_ = 0;
};

void Diagnosis::InstallFolder() {
    const std::wstring own = OwnPath();
    Line(L"Host: " + own);
    const std::wstring folder = ResolveInstallFolder();
    Line(L"Install folder of the transfer programs: " + folder);
    for (const TransferProgram* program : {&kDownloadProgram, &kUploadProgram}) {
        const bool found = IsFile(folder + program->fileName);
        Line(std::wstring(L"  ") + program->fileName + (found ? L": found" : L": not there yet (the first download or upload installs it)"));
    }
    Line(L"Extension IDs built in:");
    std::wstring chromium, firefox;
    for (const std::wstring& id : SplitIds(settings::kChromiumExtensionIds)) chromium += L" " + id;
    for (const std::wstring& id : SplitIds(settings::kFirefoxExtensionIds)) firefox += L" " + id;
    Line(L"  Chrome and Edge:" + chromium);
    Line(L"  Firefox:" + firefox);
}

bool Diagnosis::JudgeManifest(const Browser& browser, const std::wstring& manifestPath, const std::wstring& where,
                              const std::wstring& remedy) {
    const int before = problems_;
    const std::wstring subject = std::wstring(browser.name) + L": " + where + L" names the manifest " + manifestPath;
    std::string bytes;
    switch (ReadSmallFile(manifestPath, bytes)) {
    case FileRead::Ok:
        break;
    case FileRead::Missing:
        Problem(subject + L", which does not exist: " + remedy);
        return false;
    case FileRead::Unreadable:
        Problem(subject + L", which cannot be read (" + Hex(static_cast<LONG>(::GetLastError())) + L"): " + remedy);
        return false;
    case FileRead::TooLarge:
        Problem(subject + L", which is too large to be a host manifest: " + remedy);
        return false;
    }
    std::string_view text = bytes;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    rapidjson::Document manifest;
    manifest.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (manifest.HasParseError() || !manifest.IsObject()) {
        Problem(subject + L", which is not a JSON object: " + remedy);
        return false;
    }
    const auto textOf = [&manifest](const char* name) -> std::optional<std::wstring> {
        const auto member = manifest.FindMember(name);
        if (member == manifest.MemberEnd() || !member->value.IsString()) return std::nullopt;
        return Utf8ToUtf16(std::string_view(member->value.GetString(), member->value.GetStringLength()));
    };

    const std::optional<std::wstring> name = textOf("name");
    if (!name || *name != kHostName)
        Problem(subject + L", whose \"name\" is " + (name ? L"\"" + *name + L"\"" : L"missing") + L", not " +
                kHostName + L": " + remedy);

    const std::optional<std::wstring> path = textOf("path");
    if (!path || path->empty()) {
        Problem(subject + L", which names no host (\"path\"): " + remedy);
    } else {
        const std::wstring folder = FolderOf(manifestPath);
        const std::wstring host = FullPath(IsAbsolute(*path) ? *path : folder + L"\\" + *path);
        if (!SamePath(FolderOf(host), FullPath(folder))) {
            Problem(subject + L", whose host " + host + L" is not beside it, in " + folder + L": " + remedy);
        } else if (!IsFile(host)) {
            Problem(subject + L", whose host " + host + L" does not exist: " + remedy);
        } else {
            const SignatureVerdict signature = CheckSignature(host);
            switch (signature.state) {
            case Signed::Yes:
                Line(L"     host: " + host + L" (signed)");
                break;
            case Signed::No:
                Problem(subject + L", whose host " + host + L" carries no signature: " + remedy);
                break;
            case Signed::NotTrusted:
                Problem(subject + L", whose host " + host + L" has a signature this machine does not trust (" +
                        Hex(signature.code) + L"): " + remedy);
                break;
            case Signed::CannotTell:
                Line(L"     host: " + host + L" (its signature could not be checked here)");
                break;
            }
        }
    }

    // Every extension ID built in must be allowed, or the browser refuses
    // to start the host for that extension.
    const char* list = browser.firefox ? "allowed_extensions" : "allowed_origins";
    const wchar_t* listName = browser.firefox ? L"allowed_extensions" : L"allowed_origins";
    const auto member = manifest.FindMember(list);
    std::vector<std::wstring> allowed;
    if (member != manifest.MemberEnd() && member->value.IsArray())
        for (const auto& item : member->value.GetArray())
            if (item.IsString())
                if (auto id = Utf8ToUtf16(std::string_view(item.GetString(), item.GetStringLength())))
                    allowed.push_back(std::move(*id));
    std::wstring lacking;
    for (const std::wstring& id :
         SplitIds(browser.firefox ? settings::kFirefoxExtensionIds : settings::kChromiumExtensionIds)) {
        const std::wstring wanted = browser.firefox ? id : L"chrome-extension://" + id + L"/";
        bool found = false;
        for (const std::wstring& item : allowed) found = found || item == wanted;
        if (!found) lacking += (lacking.empty() ? L"" : L", ") + wanted;
    }
    if (!lacking.empty())
        Problem(subject + L", whose \"" + listName +
                L"\" does not name the extension " + lacking + L": " + remedy);
    else
        Line(L"     allows every extension ID built in");
    return problems_ == before;
}

void Diagnosis::Browse(const Browser& browser) {
    const std::wstring key = std::wstring(L"Software\\") + browser.vendorKey + L"\\NativeMessagingHosts\\" + kHostName;
    const View own = sizeof(void*) == 8 ? View::Bits64 : View::Bits32;
    // The user's key is one key in both registry views; the machine's has
    // two on 64-bit Windows, searched 32-bit first.
    std::vector<Place> places{{HKEY_CURRENT_USER, View::Shared}};
    if (IsWindows64())
        places.insert(places.end(), {{HKEY_LOCAL_MACHINE, View::Bits32}, {HKEY_LOCAL_MACHINE, View::Bits64}});
    else
        places.push_back({HKEY_LOCAL_MACHINE, View::Shared});

    // Chrome and Edge skip the user's hosts when policy says so; Firefox has
    // no such policy.
    const std::wstring policyKey = std::wstring(L"Software\\Policies\\") + browser.vendorKey;
    const std::optional<DWORD> userHosts =
        browser.firefox ? std::nullopt : PolicyNumber(policyKey.c_str(), L"NativeMessagingUserLevelHosts");
    const bool userSearched = !userHosts || *userHosts != 0;

    std::vector<RegText> found;
    for (const Place& place : places) found.push_back(ReadDefault(place.root, key, place.view));
    // The per-machine registration: the one in this host's view, else the
    // other architecture's.
    std::optional<size_t> machine;
    for (size_t i = 0; i < places.size(); ++i) {
        if (places[i].root != HKEY_LOCAL_MACHINE || found[i].state != RegText::State::Text) continue;
        if (!machine || places[i].view == own) machine = i;
    }

    Line(L"");
    Line(std::wstring(browser.name) + L" searches, in this order:");
    std::optional<size_t> started;
    for (size_t i = 0; i < places.size(); ++i) {
        const Place& place = places[i];
        const std::wstring where = PlaceName(place, key);
        const bool user = place.root == HKEY_CURRENT_USER;
        std::wstring line = L"  " + std::to_wstring(i + 1) + L". " + where + L": ";
        if (user && !userSearched) {
            Line(line + L"not searched (policy NativeMessagingUserLevelHosts is 0)" +
                 (found[i].state == RegText::State::Nothing ? L"" : L"; an entry is there"));
            continue;
        }
        if (found[i].state == RegText::State::Nothing) {
            Line(line + L"nothing");
            continue;
        }
        if (found[i].state == RegText::State::NotText) {
            Line(line + L"a value that is not a path");
            Problem(std::wstring(browser.name) + L": " + where + L" holds no manifest path: " +
                    (user ? L"delete that key" : L"repair or reinstall the Zarn program"));
            continue;
        }
        const bool first = !started;
        if (first) started = i;
        Line(line + found[i].text + (first ? L"  <- " + std::wstring(browser.name) + L" starts this one" : L""));

        const std::wstring remove = L"delete that key (reg delete \"" +
                                    std::wstring(user ? L"HKCU\\" : L"HKLM\\") + key + L"\" /f" +
                                    (place.view == View::Bits32 ? L" /reg:32" : L"") + L")";
        const bool sameAsMachine = machine && SamePath(FullPath(found[i].text), FullPath(found[machine.value()].text));
        const std::wstring remedy = user && !sameAsMachine ? remove
                                    : std::wstring(L"repair or reinstall the Zarn program (") + PackageName() + L")";
        const bool sound = JudgeManifest(browser, found[i].text, where, remedy);
        if (!first || sameAsMachine || !machine) continue;
        // An entry found before the per-machine one shadows it: one of the
        // user's always (any program the user runs may write it), the other
        // architecture's package only when it does not hold a sound host.
        if (user) {
            Problem(std::wstring(browser.name) + L" starts the host registered for this user at " + where +
                    L", not the one the Zarn program installed: " + remove +
                    (browser.firefox ? L"" : L"; on managed machines set the policy NativeMessagingUserLevelHosts to 0"));
        } else if (!sound) {
            Problem(std::wstring(browser.name) + L" starts the host registered at " + where +
                    L" before the Zarn program's at " + PlaceName(places[machine.value()], key) + L": " + remove);
        } else {
            Line(L"     (the other architecture's Zarn program: it serves as well)");
        }
    }
    if (!machine)
        Problem(std::wstring(browser.name) + L" finds no per-machine registration of " + kHostName +
                L": install the Zarn program (" + PackageName() + L") as an administrator");
}

std::wstring ProtocolRange() {
    // Read back from the hello answer itself, so the two never disagree; an
    // answer without minProtocol speaks its one protocol.
    const std::string hello = HelloReply(1, L"", "");
    rapidjson::Document reply;
    reply.Parse(hello.data(), hello.size());
    if (reply.HasParseError() || !reply.IsObject() || !reply.HasMember("result") || !reply["result"].IsObject())
        return L"?";
    const auto& result = reply["result"];
    const int newest = result.HasMember("protocol") && result["protocol"].IsInt() ? result["protocol"].GetInt() : 0;
    const int oldest =
        result.HasMember("minProtocol") && result["minProtocol"].IsInt() ? result["minProtocol"].GetInt() : newest;
    return oldest == newest ? std::to_wstring(newest) : std::to_wstring(oldest) + L" to " + std::to_wstring(newest);
}

// Shows `text` to whoever started the host: into its output when that is
// redirected or a console, else into the console of the command prompt it
// was started from, else in a message box (a host started from Explorer).
void Show(const std::wstring& text, bool problem) {
    const auto write = [&text](HANDLE handle) {
        DWORD mode = 0;
        if (::GetConsoleMode(handle, &mode)) {
            DWORD written = 0;
            return ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0;
        }
        const std::string bytes = Utf16ToUtf8(text);
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD written = 0;
            if (!::WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                             nullptr) || written == 0)
                return false;
            done += written;
        }
        return true;
    };
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output && output != INVALID_HANDLE_VALUE && write(output)) return;
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        zfw::unique_file console(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
        if (console && write(console.get())) return;
    }
    ::MessageBoxW(nullptr, text.c_str(), L"zarn-bridge.exe", MB_OK | (problem ? MB_ICONWARNING : MB_ICONINFORMATION));
}

}  // namespace

std::wstring VersionText() {
    const std::wstring version = ModuleFileVersion();
    return L"zarn-bridge.exe " + (version.empty() ? std::wstring(L"(no version)") : version) + L", protocol " +
           ProtocolRange() + L", " + Arch() + L"\n";
}

int DiagnosisText(std::wstring& out) {
    out = VersionText();
    Diagnosis diagnosis(out);
    diagnosis.InstallFolder();
    for (const Browser& browser : kBrowsers) diagnosis.Browse(browser);
    diagnosis.Line(L"");
    diagnosis.Line(diagnosis.problems() == 0 ? L"No problems found."
                                             : std::to_wstring(diagnosis.problems()) + L" problem(s) found.");
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
