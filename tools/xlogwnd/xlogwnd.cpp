// xlogwnd: shows the control's diagnostic lines.
//
//   xlogwnd.exe            print each line to standard output
//   xlogwnd.exe FILE       append each line to FILE (UTF-8) instead
//
// Creates a hidden top-level window of class "xLogWnd Receiver" titled
// "xLogWnd", the window the control looks for, and writes one line per record:
// application, location and message separated by tabs, then the code and the
// extra text when a record carries them. Ends when its window is closed
// (WM_CLOSE) or on Ctrl+C.
#include "framework/handle.h"
#include "support/log.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

using namespace zarn;

namespace {

HANDLE g_output = INVALID_HANDLE_VALUE;
HWND g_window = nullptr;

// A field's text up to its first NUL, never past the field.
template <size_t N>
std::wstring FieldText(const wchar_t (&field)[N]) {
    return std::wstring(field, wcsnlen(field, N));
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                          nullptr, nullptr);
    return out;
}

// One record as one line; line breaks inside a text would split the line.
std::wstring FormatRecord(const LogRecord& record) {
    std::wstring line = FieldText(record.application) + L"\t" + FieldText(record.location) +
                        L"\t" + FieldText(record.message);
    if (record.code != 0) line += L"\tcode " + std::to_wstring(record.code);
    const std::wstring extra = FieldText(record.extra);
    if (!extra.empty()) line += L"\t" + extra;
    for (wchar_t& c : line)
        if (c == L'\r' || c == L'\n') c = L' ';
    return line + L"\r\n";
}

void WriteLine(const std::wstring& line) {
    const std::string bytes = ToUtf8(line);
    DWORD written = 0;
    ::WriteFile(g_output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        const auto* envelope = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        // Anything that is not a whole record is not ours to read.
        if (!envelope || envelope->dwData != kLogRecordTag ||
            envelope->cbData != sizeof(LogRecord) || !envelope->lpData)
            return FALSE;
        LogRecord record;
        std::memcpy(&record, envelope->lpData, sizeof(record));
        WriteLine(FormatRecord(record));
        return TRUE;
    }
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

BOOL WINAPI OnConsoleBreak(DWORD) {
    ::PostMessageW(g_window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 2) {
        WriteLine(L"usage: xlogwnd [FILE]\r\n");
        return 2;
    }
    zfw::unique_file file;
    if (argc == 2) {
        file.reset(::CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return 1;
        g_output = file.get();
    } else {
        g_output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kLogViewerClass;
    if (!::RegisterClassExW(&windowClass)) return 1;
    g_window = ::CreateWindowExW(0, kLogViewerClass, kLogViewerTitle, WS_OVERLAPPEDWINDOW, 0, 0,
                                 320, 200, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!g_window) return 1;
    ::SetConsoleCtrlHandler(OnConsoleBreak, TRUE);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
