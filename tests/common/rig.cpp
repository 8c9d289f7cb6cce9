#include "common/rig.h"

#include "framework/handle.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace rig {

std::wstring BuildDir() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring SourceDir() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"ZARN_SOURCE_DIR", buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return BuildDir() + L"\\..\\..";
    return std::wstring(buffer, n);
}

std::wstring PrefixFolder(std::string_view name) {
    const auto text = ReadFileBytes(SourceDir() + L"\\tests\\fixtures\\prefix_folders.txt");
    if (!text) return {};
    wchar_t user[256] = {};
    DWORD size = static_cast<DWORD>(std::size(user));
    if (!::GetUserNameW(user, &size)) return {};
    for (const std::string& line : Lines(*text)) {
        if (line.size() <= name.size() || line.compare(0, name.size(), name) != 0 ||
            line[name.size()] != '=')
            continue;
        std::wstring folder = Wide(line.substr(name.size() + 1));
        const size_t mark = folder.find(L"%USER%");
        if (mark != std::wstring::npos) folder.replace(mark, 6, user);
        return folder;
    }
    return {};
}

std::wstring ModulePath() { return BuildDir() + L"\\ZarnCtrl2.ocx"; }

std::wstring ScratchDir(std::wstring_view name) {
    static std::atomic<int> counter{0};
    const std::wstring root = BuildDir() + L"\\scratch";
    ::CreateDirectoryW(root.c_str(), nullptr);
    // Wine hands out the same process IDs run after run: the clock keeps
    // folders of different runs apart.
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    const std::wstring dir = root + L"\\" + std::wstring(name) + L"-" +
                             std::to_wstring(::GetCurrentProcessId()) + L"-" +
                             std::to_wstring(now.QuadPart) + L"-" + std::to_wstring(counter++);
    ::CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                          nullptr, nullptr);
    return out;
}

std::wstring Wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                        nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

namespace {

// CreateProcessW for the suites' own programs, tried again (and logged) when
// the new process died before it started: under load Wine sometimes loses a
// process between its creation and its start, and reports
// ERROR_INTERNAL_ERROR. Nothing of the program ran then. False with the last
// error set when it cannot start.
bool CreateTestProcess(const std::wstring& commandLine, BOOL inheritHandles, STARTUPINFOW& si,
                       PROCESS_INFORMATION& pi) {
    for (int attempt = 1;; ++attempt) {
        std::wstring mutableLine = commandLine;
        if (::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, inheritHandles, 0,
                             nullptr, nullptr, &si, &pi))
            return true;
        const DWORD error = ::GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
            ::SetLastError(error);
            return false;
        }
        std::fprintf(stderr, "rig: %s did not start (error %lu), starting it again\n",
                     Utf8(commandLine).c_str(), error);
        ::Sleep(100);
    }
}

}  // namespace

zfw::unique_handle Start(const std::wstring& commandLine) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateTestProcess(commandLine, FALSE, si, pi)) return {};
    zfw::unique_handle thread(pi.hThread);
    return zfw::unique_handle(pi.hProcess);
}

ProcessResult Run(const std::wstring& commandLine, DWORD timeoutMs) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    zfw::unique_handle readEnd, writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &sa, 0))
        throw std::runtime_error("CreatePipe failed");
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateTestProcess(commandLine, TRUE, si, pi))
        throw std::runtime_error("CreateProcess failed (error " + std::to_string(::GetLastError()) +
                                 "): " + Utf8(commandLine));
    zfw::unique_handle process(pi.hProcess), thread(pi.hThread);
    writeEnd.reset();

    ProcessResult result;
    const DWORD start = ::GetTickCount();
    char chunk[4096];
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr)) break;
        if (available > 0) {
            DWORD got = 0;
            if (!::ReadFile(readEnd.get(), chunk, sizeof(chunk), &got, nullptr) || got == 0) break;
            result.output.append(chunk, got);
            continue;
        }
        if (::WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0) {
            // Drain what is left once the process has gone.
            DWORD got = 0;
            while (::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) &&
                   available > 0 &&
                   ::ReadFile(readEnd.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
                result.output.append(chunk, got);
            break;
        }
        if (::GetTickCount() - start > timeoutMs) {
            result.timedOut = true;
            ::TerminateProcess(process.get(), 0xdead);
            ::WaitForSingleObject(process.get(), 5000);
            break;
        }
    }
    ::WaitForSingleObject(process.get(), 5000);
    ::GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

ProcessResult RunPage(const std::wstring& script, const std::vector<std::wstring>& args,
                      DWORD timeoutMs) {
    std::wstring path = script;
    if (path.size() < 2 || path[1] != L':') path = SourceDir() + L"\\" + script;
    std::wstring line = L"\"" + BuildDir() + L"\\pagehost.exe\" \"" + path + L"\"";
    for (const auto& arg : args) line += L" \"" + arg + L"\"";
    return Run(line, timeoutMs);
}

std::wstring WriteScratchFile(std::wstring_view name, std::string_view text) {
    const std::wstring path = ScratchDir(L"files") + L"\\" + std::wstring(name);
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("cannot write " + Utf8(path));
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return path;
}

std::optional<std::string> ReadFileBytes(const std::wstring& path) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return bytes;
}

std::vector<std::string> Lines(const std::string& output) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

}  // namespace rig
