// The installer stand-in. Installs the two transfer programs it carries into
// the install folder and reports to the update dialog (a top-level dialog
// window captioned "Zarn") with WM_USER + 100.
//
// What it does is chosen by the environment it inherits from the control's
// process, so a test can script it:
//   ZARN_SETUP_MODE   report2 (default)  install, report 2 (completed)
//                     report1            report 1 (stopped), install nothing
//                     delay:<ms>         install, wait, then report 2
//                     silent:<ms>        install, stay without reporting, then exit
//                     exit               exit at once without installing or reporting
//                     handover:<ms>      start a copy of itself that waits and
//                                        reports 2, then exit at once
//                     twice              install, report 2, then report 1
//   ZARN_SETUP_LOG    a file that gets one line per run, in UTF-8:
//                     "<pid> <mode> <path of this program>"
#include "support/install_folder.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

using namespace zarn;

namespace {

constexpr UINT WM_SETUP_REPORT = WM_USER + 100;
constexpr DWORD kFindDialogMs = 10000;

std::wstring Environment(const wchar_t* name) {
    const DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (n == 0) return {};
    std::wstring value(n, L'\0');
    const DWORD written = ::GetEnvironmentVariableW(name, value.data(), n);
    value.resize(written < n ? written : 0);
    return value;
}

void AppendLog(const std::wstring& mode) {
    const std::wstring path = Environment(L"ZARN_SETUP_LOG");
    if (path.empty()) return;
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring line =
        std::to_wstring(::GetCurrentProcessId()) + L" " + mode + L" " + self + L"\r\n";
    std::string bytes(static_cast<size_t>(::WideCharToMultiByte(
                          CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0,
                          nullptr, nullptr)),
                      '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(),
                          static_cast<int>(bytes.size()), nullptr, nullptr);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

bool WriteResource(int id, const std::wstring& path) {
    HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), RT_RCDATA);
    if (!found) return false;
    HGLOBAL loaded = ::LoadResource(nullptr, found);
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    const DWORD size = ::SizeofResource(nullptr, found);
    if (!bytes) return false;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(file, bytes, size, &written, nullptr) && written == size;
    ::CloseHandle(file);
    return ok;
}

bool Install() {
    const std::wstring folder = ResolveInstallFolder();
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return WriteResource(1, folder + L"Zarn_download.exe") &&
           WriteResource(2, folder + L"Zarn_upload.exe");
}

void Report(WPARAM result) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (HWND dialog = ::FindWindowW(L"#32770", L"Zarn")) {
            ::PostMessageW(dialog, WM_SETUP_REPORT, result, 0);
            return;
        }
        if (::GetTickCount() - start > kFindDialogMs) return;
        ::Sleep(50);
    }
}

DWORD Milliseconds(const std::wstring& mode) {
    const size_t colon = mode.find(L':');
    return colon == std::wstring::npos ? 0 : std::wcstoul(mode.c_str() + colon + 1, nullptr, 10);
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Starts this program again with the mode "delay:<ms>" for the copy.
void HandOver(DWORD ms) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring childMode = L"delay:" + std::to_wstring(ms);
    ::SetEnvironmentVariableW(L"ZARN_SETUP_MODE", childMode.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring line = L"\"" + std::wstring(self) + L"\"";
    if (::CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &process)) {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Like any installer with a window, become idle for input at once: the
    // shell waits for that before its launch call returns.
    MSG message;
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    std::wstring mode = Environment(L"ZARN_SETUP_MODE");
    if (mode.empty()) mode = L"report2";
    AppendLog(mode);

    if (mode == L"exit") return 0;
    if (mode == L"report1") {
        Report(1);
        return 1;
    }
    if (StartsWith(mode, L"handover:")) {
        HandOver(Milliseconds(mode));
        return 0;
    }
    if (!Install()) {
        Report(1);
        return 1;
    }
    if (StartsWith(mode, L"silent:")) {
        ::Sleep(Milliseconds(mode));
        return 0;
    }
    if (StartsWith(mode, L"delay:")) ::Sleep(Milliseconds(mode));
    Report(2);
    if (mode == L"twice") Report(1);
    return 0;
}
