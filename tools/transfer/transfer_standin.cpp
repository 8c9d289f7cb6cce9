// Stand-in for a transfer program (download or upload, chosen at build time).
//
// It opens a top-level window of the program's class, records its command
// line and every WM_COPYDATA list it receives, answers each list from a
// scripted reply sequence and shows what it received in its window.
// Settings come from the environment, which the control's process passes on
// to the programs it starts:
//   ZARN_TRANSFER_RECORD    file that records are appended to (UTF-8 lines)
//   ZARN_TRANSFER_REPLIES   answers to the lists in turn, e.g. "0,0,0,1";
//                           the last one repeats (default "1")
//   ZARN_TRANSFER_MODE      "destroy-after-first": answer the first list,
//                           then destroy the window and exit (the window
//                           stays hidden in this mode);
//                           "hang": hang inside the handler of every list
//                           for ZARN_TRANSFER_HANG_MS (default 10 minutes),
//                           then answer (with a short time, a slow answer);
//                           "no-window": record the start, open no window
//   ZARN_TRANSFER_LIFETIME_MS  exit by itself after this long
//
// Record lines, each starting with the program's name:
//   <name> start pid=<pid> t=<tick ms> argc=<n> cmdline=<command line>
//   <name> arg <i> <argument>
//   <name> window t=<tick ms>
//   <name> destroyed t=<tick ms>
//   <name> list seq=<n> t=<tick ms> dwData=<n> wParam=<hex> cbData=<n> reply=<n> bytes=<hex> text=<list>
// where the list's text is decoded from the ANSI code page, CR and LF
// written as \r and \n.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "framework/handle.h"

namespace {

constexpr UINT kDestroyMessage = WM_APP + 1;
constexpr UINT_PTR kLifetimeTimer = 1;
constexpr UINT_PTR kShowTimer = 2;
constexpr int kTextId = 100;

struct Settings {
    std::wstring recordPath;
    std::vector<LRESULT> replies{1};
    std::wstring mode;
    DWORD hangMs = 10 * 60 * 1000;
    DWORD lifetimeMs = 0;
};

Settings g_settings;
int g_listsReceived = 0;

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, 32768);
    return (n == 0 || n >= 32768) ? std::wstring() : std::wstring(buffer, n);
}

Settings ReadSettings() {
    Settings s;
    s.recordPath = Env(L"ZARN_TRANSFER_RECORD");
    s.mode = Env(L"ZARN_TRANSFER_MODE");
    if (const std::wstring replies = Env(L"ZARN_TRANSFER_REPLIES"); !replies.empty()) {
        s.replies.clear();
        for (const wchar_t* p = replies.c_str(); *p;) {
            wchar_t* end = nullptr;
            s.replies.push_back(static_cast<LRESULT>(std::wcstoll(p, &end, 10)));
            p = (*end == L',') ? end + 1 : end + std::wcslen(end);
        }
        if (s.replies.empty()) s.replies.push_back(1);
    }
    if (const std::wstring hang = Env(L"ZARN_TRANSFER_HANG_MS"); !hang.empty())
        s.hangMs = static_cast<DWORD>(std::wcstoul(hang.c_str(), nullptr, 10));
    if (const std::wstring life = Env(L"ZARN_TRANSFER_LIFETIME_MS"); !life.empty())
        s.lifetimeMs = static_cast<DWORD>(std::wcstoul(life.c_str(), nullptr, 10));
    return s;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                          nullptr, nullptr);
    return out;
}

std::wstring FromAnsi(const char* bytes, size_t count) {
    if (count == 0) return {};
    const int n = ::MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), out.data(), n);
    return out;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

std::string Hex(const unsigned char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// Appends one line; every program and every run shares the file, so each
// line goes out in one write.
void Record(const std::string& line) {
    if (g_settings.recordPath.empty()) return;
    zfw::unique_file file(::CreateFileW(g_settings.recordPath.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string text = std::string(ZARN_STANDIN_NAME) + " " + line + "\n";
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string Tick() { return "t=" + std::to_string(::GetTickCount64()); }

// Shows the command line and the latest lists (a long run keeps the last
// few). The window is refreshed by a short timer, not inside the handler, so
// that drawing never delays the answer to a list.
std::vector<std::wstring> g_shown;
bool g_showPending = false;

void Show(HWND window, const std::wstring& line) {
    constexpr size_t kShownLines = 12;
    if (g_shown.size() == kShownLines) g_shown.erase(g_shown.begin() + 1);  // keep the command line
    g_shown.push_back(line);
    if (!g_showPending) g_showPending = ::SetTimer(window, kShowTimer, 100, nullptr) != 0;
}

void Refresh(HWND window) {
    ::KillTimer(window, kShowTimer);
    g_showPending = false;
    std::wstring text;
    for (const auto& l : g_shown) text += l + L"\r\n";
    ::SetDlgItemTextW(window, kTextId, text.c_str());
}

LRESULT OnCopyData(HWND window, WPARAM sender, const COPYDATASTRUCT& data) {
    const int seq = ++g_listsReceived;
    const size_t last = g_settings.replies.size() - 1;
    const LRESULT reply = g_settings.replies[std::min(static_cast<size_t>(seq - 1), last)];
    const auto* bytes = static_cast<const unsigned char*>(data.lpData);
    const size_t count = bytes ? data.cbData : 0;
    // The text stops at the first zero byte, as the program would read it.
    size_t textLength = 0;
    while (textLength < count && bytes[textLength] != 0) ++textLength;
    const std::wstring text = FromAnsi(reinterpret_cast<const char*>(bytes), textLength);

    char head[160];
    std::snprintf(head, sizeof(head), "list seq=%d %s dwData=%llu wParam=%llx cbData=%lu reply=%lld ",
                  seq, Tick().c_str(), static_cast<unsigned long long>(data.dwData),
                  static_cast<unsigned long long>(sender), static_cast<unsigned long>(data.cbData),
                  static_cast<long long>(reply));
    Record(head + ("bytes=" + Hex(bytes, count)) + " text=" + Escaped(Utf8(text)));
    Show(window, L"List " + std::to_wstring(seq) + L" (" + std::to_wstring(data.cbData) +
                     L" bytes, answered " + std::to_wstring(reply) + L"): " + text);

    if (g_settings.mode == L"hang") ::Sleep(g_settings.hangMs);
    if (g_settings.mode == L"destroy-after-first") ::PostMessageW(window, kDestroyMessage, 0, 0);
    return reply;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            ::CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | WS_VSCROLL,
                              0, 0, 600, 300, window, reinterpret_cast<HMENU>(kTextId), nullptr, nullptr);
            return 0;
        case WM_COPYDATA:
            return OnCopyData(window, wParam, *reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        case kDestroyMessage:
            ::DestroyWindow(window);
            return 0;
        case WM_TIMER:
            if (wParam == kLifetimeTimer) ::DestroyWindow(window);
            if (wParam == kShowTimer) Refresh(window);
            return 0;
        case WM_DESTROY:
            Record("destroyed " + Tick());
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

void RecordStart() {
    int argc = 0;
    zfw::unique_localmem owner(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    const auto* argv = static_cast<LPWSTR*>(owner.get());
    Record("start pid=" + std::to_string(::GetCurrentProcessId()) + " " + Tick() +
           " argc=" + std::to_string(argc) + " cmdline=" + Escaped(Utf8(::GetCommandLineW())));
    for (int i = 0; argv && i < argc; ++i)
        Record("arg " + std::to_string(i) + " " + Escaped(Utf8(argv[i])));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
    g_settings = ReadSettings();
    RecordStart();
    if (g_settings.mode == L"no-window") {
        ::Sleep(g_settings.lifetimeMs ? g_settings.lifetimeMs : 10000);
        return 0;
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = ZARN_STANDIN_CLASS;
    if (!::RegisterClassExW(&windowClass)) return 1;
    const std::wstring title = std::wstring(L"Zarn ") + ZARN_STANDIN_WNAME + L" (stand-in)";
    HWND window = ::CreateWindowExW(0, ZARN_STANDIN_CLASS, title.c_str(), WS_OVERLAPPEDWINDOW,
                                    CW_USEDEFAULT, CW_USEDEFAULT, 620, 340, nullptr, nullptr,
                                    instance, nullptr);
    if (!window) return 1;
    Record("window " + Tick());
    Show(window, L"Command line: " + std::wstring(::GetCommandLineW()));
    // A window that is to vanish stays unmapped: under Xvfb, with no window
    // manager, Wine waits up to two seconds for a mapped window to be
    // withdrawn before destroying it, and it would linger that long.
    ::ShowWindow(window, g_settings.mode == L"destroy-after-first" ? SW_HIDE : show);
    if (g_settings.lifetimeMs) ::SetTimer(window, kLifetimeTimer, g_settings.lifetimeMs, nullptr);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
