// zarn-end-hosts.exe: the MSIs' custom action EndHosts. It ends every
// running copy of the bridge host installed at the path it is given, and
// waits until each is gone:
//   zarn-end-hosts.exe "C:\Program Files\Zarn\zarn-bridge.exe"
// Windows Installer cannot replace or remove a program that runs: it
// replaces it at the next restart instead (exit 3010), while the module
// beside it is replaced at once, so until that restart the two would be of
// different versions. Ending a host is safe at any moment: a browser kills
// its host about 2 s after the page's port closes, so the host never leaves
// anything half-written, and the page's next call starts the new one.
// Copies of the host elsewhere (the other architecture's package, a tester's
// own) are left running.
// Exit code: 0 when no host of that path is left running (none ran, or
// each ended); 2 when one could not be ended within the wait, which fails
// the install before it has changed anything; 1 without a path.
#include "framework/handle.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

// A host that was told to end is gone within this; one that is not is stuck
// in the kernel (a driver, a debugger), and the install must not go on.
constexpr DWORD kEndWaitMs = 10'000;
// Each host ends with this code, which its logs can tell from a crash.
constexpr UINT kEndedByInstaller = 0x5A11;

// The path as the file system names it: full, long names, for comparing
// two spellings of one file without regard to case.
std::wstring Canonical(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()),
                                           full.data(), nullptr);
        if (n == 0) return path;
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);
    }
    std::wstring longer(full.size() + 1, L'\0');
    for (;;) {
        const DWORD n = ::GetLongPathNameW(full.c_str(), longer.data(),
                                           static_cast<DWORD>(longer.size()));
        if (n == 0) return full;  // gone, or a folder it may not read: as given
        if (n < longer.size()) {
            longer.resize(n);
            return longer;
        }
        longer.resize(n);
    }
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring FileName(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The image a process runs, or empty when it may not be asked (another
// user's process for a caller that is not elevated).
std::wstring ImageOf(HANDLE process) {
    std::wstring image(MAX_PATH, L'\0');
    for (int tries = 0; tries < 4; ++tries) {
        DWORD size = static_cast<DWORD>(image.size());
        if (::QueryFullProcessImageNameW(process, 0, image.data(), &size)) {
            image.resize(size);
            return image;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
        image.resize(image.size() * 4);
    }
    return {};
}

void Say(const std::wstring& line) {
    // Seen in a verbose installer log when one is kept; nothing reads it.
    ::OutputDebugStringW((L"zarn-end-hosts: " + line + L"\n").c_str());
}

int EndHosts(const std::wstring& host) {
    const std::wstring target = Canonical(host);
    const std::wstring name = FileName(target);
    zfw::unique_file snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        Say(L"cannot list the processes: error " + std::to_wstring(::GetLastError()));
        return 2;
    }
    std::vector<zfw::unique_handle> ending;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == ::GetCurrentProcessId() ||
            !SamePath(entry.szExeFile, name)) {
            continue;
        }
        const std::wstring pid = std::to_wstring(entry.th32ProcessID);
        zfw::unique_handle process(::OpenProcess(
            PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
            entry.th32ProcessID));
        if (!process) {
            // Not ours to judge: it may be any program of that name. Were it
            // our host, the installer replaces it at the next restart.
            Say(L"process " + pid + L" cannot be opened: error " +
                std::to_wstring(::GetLastError()));
            continue;
        }
        const std::wstring image = ImageOf(process.get());
        if (image.empty() || !SamePath(Canonical(image), target)) continue;
        if (!::TerminateProcess(process.get(), kEndedByInstaller) &&
            ::WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) {
            Say(L"host " + pid + L" cannot be ended: error " + std::to_wstring(::GetLastError()));
            return 2;
        }
        Say(L"ending host " + pid);
        ending.push_back(std::move(process));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEndWaitMs);
    for (const auto& process : ending) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const DWORD wait = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
        if (::WaitForSingleObject(process.get(), wait) != WAIT_OBJECT_0) {
            Say(L"a host did not end within " + std::to_wstring(kEndWaitMs / 1000) + L" s");
            return 2;
        }
    }
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    zfw::unique_localmem args(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!args || count != 2) return 1;
    const auto* argv = static_cast<PWSTR*>(args.get());
    return EndHosts(argv[1]);
}
