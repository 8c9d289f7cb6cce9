#include "common/update.h"

#include "common/release.h"
#include "common/dialog_watcher.h"
#include "common/rig.h"
#include "common/updateserver.h"
#include "support/install_folder.h"
#include "framework/handle.h"

#include <aclapi.h>
#include <commctrl.h>
#include <psapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace rig::update {
namespace {

constexpr UINT kSetupReport = WM_USER + 100;
constexpr wchar_t kSettingsKey[] = L"Software\\Zarn";

std::wstring LogDir() { return rig::BuildDir() + L"\\updateserver\\requests"; }

std::vector<std::string> IndexLines() {
    std::vector<std::string> lines;
    for (auto& line : rig::Lines(rig::ReadFileBytes(LogDir() + L"\\index.txt").value_or("")))
        if (!line.empty()) lines.push_back(std::move(line));
    return lines;
}

std::wstring SetupLogPath() { return rig::BuildDir() + L"\\scratch\\setup-runs.txt"; }

// Read from the window itself, without a message: the send hook calls this
// for every message the test thread's windows receive, and WM_GETTEXT would
// run the hook again from inside itself. A watcher that sends to the dialog
// can also wait on a thread that is ending it.
std::wstring WindowText(HWND window) {
    wchar_t text[512] = {};
    ::InternalGetWindowText(window, text, 512);
    return text;
}

void NoteDistinct(std::vector<std::wstring>& seen, const std::wstring& text) {
    if (seen.empty() || seen.back() != text) seen.push_back(text);
}

std::atomic<Watcher*> g_watcher{nullptr};

}  // namespace

size_t RequestMark() { return IndexLines().size(); }

std::vector<Logged> RequestsSince(size_t mark) {
    std::vector<Logged> found;
    const auto lines = IndexLines();
    for (size_t i = mark; i < lines.size(); ++i) {
        const size_t tab1 = lines[i].find('\t');
        const size_t tab2 = lines[i].find('\t', tab1 + 1);
        if (tab2 == std::string::npos) continue;
        found.push_back({lines[i].substr(tab2 + 1),
                         rig::ReadFileBytes(LogDir() + L"\\" +
                                            rig::Wide(lines[i].substr(0, tab1)) + L".req")
                             .value_or("")});
    }
    return found;
}

size_t CountTarget(const std::vector<Logged>& requests, std::string_view path) {
    return std::count_if(requests.begin(), requests.end(),
                         [&](const Logged& r) { return r.target == path; });
}

const std::string& SetupBytes() {
    static const std::string bytes =
        rig::ReadFileBytes(rig::BuildDir() + L"\\Zarn_setup.exe").value_or("");
    return bytes;
}

void Publish(std::string_view versionText, unsigned long release) {
    namespace server = rig::updateserver;
    for (const wchar_t* name : {L"version.ini", L"install.zip", L"GetInstallFileSize.php",
                                L"install_statistic.php"})
        server::ClearFault(name);
    if (SetupBytes().empty()) throw std::runtime_error("Zarn_setup.exe is missing");
    rig::release::Publish(versionText, SetupBytes(), release);
}

std::optional<std::wstring> InstalledVersion() {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    if (::RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"version", RRF_RT_REG_SZ, nullptr, data,
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(data);
}

void SetInstalledVersion(const std::wstring& version) {
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"version", REG_SZ, version.c_str(),
                      static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
}

std::wstring InstallFolder() { return zarn::ResolveInstallFolder(); }

bool ProgramInstalled() {
    return ::GetFileAttributesW((InstallFolder() + L"Zarn_download.exe").c_str()) !=
           INVALID_FILE_ATTRIBUTES;
}

std::optional<DWORD> InstalledRelease() {
    DWORD value = 0xdeadbeef, size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"release", RRF_RT_REG_DWORD, nullptr,
                       &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

void SetInstalledRelease(DWORD release) {
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"release", REG_DWORD, &release,
                      sizeof(release));
}

void ForgetInstallation() {
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"version");
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"release");
    ::DeleteFileW((InstallFolder() + L"Zarn_download.exe").c_str());
    ::DeleteFileW((InstallFolder() + L"Zarn_upload.exe").c_str());
    // A run's folder stays when its installer, just reported, had not yet
    // let go of its file as the run ended; one of another suite sharing the
    // prefix would be taken for a folder this suite's runs left.
    for (const std::wstring& folder : SetupFolders()) {
        WIN32_FIND_DATAW found{};
        zfw::unique_find search(::FindFirstFileW((folder + L"\\*").c_str(), &found));
        if (search) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    ::DeleteFileW((folder + L"\\" + found.cFileName).c_str());
            } while (::FindNextFileW(search.get(), &found));
        }
        ::RemoveDirectoryW(folder.c_str());
    }
}

void SetSetupMode(const std::wstring& mode) {
    ::CreateDirectoryW((rig::BuildDir() + L"\\scratch").c_str(), nullptr);
    ::SetEnvironmentVariableW(L"ZARN_SETUP_MODE", mode.c_str());
    ::SetEnvironmentVariableW(L"ZARN_SETUP_LOG", SetupLogPath().c_str());
}

std::vector<std::string> SetupRuns() {
    std::vector<std::string> lines;
    for (auto& line : rig::Lines(rig::ReadFileBytes(SetupLogPath()).value_or("")))
        if (!line.empty()) lines.push_back(std::move(line));
    return lines;
}

std::wstring SetupRunPath(const std::string& line) {
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) return {};
    return rig::Wide(line.substr(second + 1));
}

std::vector<std::wstring> SetupFolders() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW found{};
    zfw::unique_find search(::FindFirstFileW((std::wstring(temp) + L"ZarnSetup-*").c_str(), &found));
    if (!search) return folders;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            folders.push_back(std::wstring(temp) + found.cFileName);
    } while (::FindNextFileW(search.get(), &found));
    return folders;
}

namespace {

std::wstring SidText(PSID sid) {
    zfw::unique_localmem text;
    LPWSTR raw = nullptr;
    if (!::ConvertSidToStringSidW(sid, &raw)) return {};
    text.reset(raw);
    return raw;
}

}  // namespace

Dacl DescribeDacl(PSECURITY_DESCRIPTOR descriptor) {
    Dacl result;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor || !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return result;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    result.present = present && dacl;
    result.isProtected = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; result.present && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        Dacl::Entry entry;
        entry.type = header->AceType;
        entry.flags = header->AceFlags;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            entry.mask = allowed->Mask;
            entry.sid = SidText(&allowed->SidStart);
        }
        result.entries.push_back(entry);
    }
    return result;
}

Dacl ReadDacl(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return {};
    const zfw::unique_localmem owned(descriptor);
    return DescribeDacl(descriptor);
}

bool IsPrivate(const Dacl& dacl) {
    if (!dacl.present || !dacl.isProtected) return false;
    std::vector<std::wstring> sids;
    for (const auto& entry : dacl.entries) {
        if (entry.type != ACCESS_ALLOWED_ACE_TYPE || (entry.flags & INHERITED_ACE)) return false;
        sids.push_back(entry.sid);
    }
    std::vector<std::wstring> expected = {UserSidText(), L"S-1-5-18", L"S-1-5-32-544"};
    std::sort(sids.begin(), sids.end());
    std::sort(expected.begin(), expected.end());
    return sids == expected;
}

std::wstring UserSidText() {
    zfw::unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    alignas(TOKEN_USER) BYTE buffer[256] = {};
    DWORD size = sizeof(buffer);
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, size, &size)) return {};
    return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

Watcher::Watcher(DWORD pollMs) : watcher_(pollMs) {
    g_watcher = this;
    hook_ = ::SetWindowsHookExW(WH_GETMESSAGE, &Watcher::GetMessageHook, nullptr,
                                ::GetCurrentThreadId());
    sendHook_ = ::SetWindowsHookExW(WH_CALLWNDPROC, &Watcher::CallWndHook, nullptr,
                                    ::GetCurrentThreadId());
    watcher_.On(L"알림", [this](HWND box) { AnswerBox(box); })
        .EachPoll([this] { TakeSample(); })
        .Start();
}

Watcher::~Watcher() { Stop(); }

void Watcher::PostOnShow(UINT message, WPARAM wParam) { onShow_.emplace_back(message, wParam); }

void Watcher::Stop() {
    watcher_.Stop();
    if (hook_) ::UnhookWindowsHookEx(hook_);
    if (sendHook_) ::UnhookWindowsHookEx(sendHook_);
    hook_ = sendHook_ = nullptr;
    g_watcher = nullptr;
}

LRESULT CALLBACK Watcher::GetMessageHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        const MSG* message = reinterpret_cast<const MSG*>(lParam);
        if (Watcher* self = g_watcher) {
            if (message->message == kSetupReport &&
                (message->wParam == 1 || message->wParam == 2) && self->reportTick == 0)
                self->reportTick = ::GetTickCount();
            if (message->message == WM_TIMER) ++self->timerMessages;
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK Watcher::CallWndHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPSTRUCT* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
        Watcher* self = g_watcher;
        if (self && message->message == WM_INITDIALOG) ++self->dialogsMade;
        if (self) self->NoteProgress(*message);
        if (self && WindowText(message->hwnd) == L"Zarn") {
            if (message->message == WM_SHOWWINDOW && message->wParam) self->showRequested = true;
            if (message->message == WM_WINDOWPOSCHANGING && self->endTick == 0 &&
                (reinterpret_cast<const WINDOWPOS*>(message->lParam)->flags & SWP_HIDEWINDOW)) {
                self->endTick = ::GetTickCount();
                // The last look at the dialog while it is still up: its final
                // progress would otherwise fall between two samples.
                if (::IsWindowVisible(message->hwnd)) self->Keep(self->Read(message->hwnd));
            }
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

void Watcher::NoteProgress(const CWPSTRUCT& message) {
    if (message.message != PBM_SETPOS && message.message != WM_SETTEXT) return;
    if (WindowText(::GetParent(message.hwnd)) != L"Zarn") return;
    if (message.message == PBM_SETPOS && message.wParam > 0 && !downloadFirstMoved &&
        ::GetDlgCtrlID(message.hwnd) == 205)
        downloadFirstMoved = std::chrono::steady_clock::now();
    if (message.message == PBM_SETPOS && message.wParam >= 100 && !downloadFull &&
        ::GetDlgCtrlID(message.hwnd) == 205)
        downloadFull = std::chrono::steady_clock::now();
    if (message.message == WM_SETTEXT && !downloadDoneShown && message.lParam &&
        ::GetDlgCtrlID(message.hwnd) == 206 &&
        std::wstring_view(reinterpret_cast<const wchar_t*>(message.lParam)) ==
            L"프로그램 다운로드 완료")
        downloadDoneShown = std::chrono::steady_clock::now();
}

void Watcher::AnswerBox(HWND box) {
    MessageBoxSeen seen;
    const auto texts = rig::StaticTexts(box);
    if (!texts.empty()) seen.text = texts.back();
    HWND owner = ::GetWindow(box, GW_OWNER);
    seen.ownerVisible = owner && ::IsWindowVisible(owner);
    boxes.push_back(seen);
    ::SendMessageW(box, WM_COMMAND, IDOK, 0);
}

void Watcher::TakeSample() {
    const DWORD self = ::GetCurrentProcessId();
    auto ours = [self](HWND window) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(window, &pid);
        return window && pid == self;
    };
    HWND dialog = ::FindWindowW(L"#32770", L"Zarn");
    if (!ours(dialog)) return;
    if (!::IsWindowVisible(dialog)) {
        if (!dialogShown) return;
        // Ended, not yet destroyed: the bar may still be moving.
        const int download =
            static_cast<int>(::SendMessageW(::GetDlgItem(dialog, 205), PBM_GETPOS, 0, 0));
        if (firstHiddenDownloadPos < 0) firstHiddenDownloadPos = download;
        maxDownloadPos = std::max(maxDownloadPos, download);
        return;
    }
    dialogShown = true;
    if (!posted_) {
        for (const auto& [message, wParam] : onShow_) ::PostMessageW(dialog, message, wParam, 0);
        posted_ = true;
    }
    // Read everything first, then keep the sample only if the dialog was
    // still up afterwards: one that ends in between reads as empty.
    const Reading reading = Read(dialog);
    if (!::IsWindowVisible(dialog)) return;
    Keep(reading);
}

Watcher::Reading Watcher::Read(HWND dialog) {
    Reading r;
    r.caption = WindowText(dialog);
    r.download = static_cast<int>(::SendMessageW(::GetDlgItem(dialog, 205), PBM_GETPOS, 0, 0));
    r.sizeText = WindowText(::GetDlgItem(dialog, 209));
    r.downloadCaption = WindowText(::GetDlgItem(dialog, 206));
    r.percent = WindowText(::GetDlgItem(dialog, 210));
    r.sample.tick = ::GetTickCount();
    r.sample.installPos =
        static_cast<int>(::SendMessageW(::GetDlgItem(dialog, 207), PBM_GETPOS, 0, 0));
    r.sample.reportedBefore = reportTick != 0;
    return r;
}

void Watcher::Keep(const Reading& r) {
    std::lock_guard<std::mutex> lock(samplesLock_);
    caption = r.caption;
    maxDownloadPos = std::max(maxDownloadPos, r.download);
    if (r.download > 0 && downloadFirstTick == 0) downloadFirstTick = r.sample.tick;
    NoteDistinct(sizeTexts, r.sizeText);
    NoteDistinct(downloadCaptions, r.downloadCaption);
    if (downloadCaptions.back() == L"프로그램 다운로드 완료" && downloadDoneTick == 0)
        downloadDoneTick = r.sample.tick;
    if (!r.percent.empty()) lastPercentText = r.percent;
    samples.push_back(r.sample);
}

namespace {

// Where the thread started, as the system recorded it; 0 when unknown.
ULONG_PTR ThreadStart(DWORD id) {
    using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    constexpr int kWin32StartAddress = 9;  // ThreadQuerySetWin32StartAddress
    zfw::unique_handle thread(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, id));
    ULONG_PTR start = 0;
    if (!query || !thread ||
        query(thread.get(), kWin32StartAddress, &start, sizeof(start), nullptr) != 0)
        return 0;
    return start;
}

bool StartsInNtdll(DWORD id) {
    static const auto range = [] {
        MODULEINFO info{};
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        ::K32GetModuleInformation(::GetCurrentProcess(), ntdll, &info, sizeof(info));
        const auto base = reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll);
        return std::pair<ULONG_PTR, ULONG_PTR>(base, base + info.SizeOfImage);
    }();
    const ULONG_PTR start = ThreadStart(id);
    return start >= range.first && start < range.second;
}

}  // namespace

std::vector<DWORD> ThreadIds() {
    std::vector<DWORD> ids;
    zfw::unique_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId() &&
            !StartsInNtdll(entry.th32ThreadID))
            ids.push_back(entry.th32ThreadID);
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace rig::update
