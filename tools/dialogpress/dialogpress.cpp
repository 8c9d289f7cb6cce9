// dialogpress: waits for a dialog and presses its OK button, as a person at
// the screen would; for pages that open a modal dialog and must still end by
// themselves.
//
//   dialogpress.exe [--process NAME] [--timeout MS] [--list] [--cancel|--find] TEXT
//
// It waits for a visible dialog window (#32770) whose caption, or the text of
// one of whose controls, is TEXT, in a process whose program file is NAME
// (any process when not given). Once the dialog's texts have stayed the same
// for half a second (a dialog may still be filling itself in, as a folder
// browser expanding its tree to the initial selection) it presses OK, waits
// for the dialog to close, and exits with 0. It exits with 1 when no such
// dialog came within the time limit (default 60 seconds) or the dialog
// stayed open after OK, and with 2 on a usage error. --list first writes the
// names the dialog's file lists show (one a line, UTF-8, once they too have
// settled); --cancel presses Cancel instead of OK; --find presses nothing and
// exits with 0 once the dialog is there and settled (for a test that must
// know the dialog is open before it acts on its program).
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "framework/handle.h"

namespace {

constexpr DWORD kSettledMs = 500;
constexpr DWORD kPollMs = 50;
constexpr DWORD kCloseMs = 10000;

struct Options {
    std::wstring process;  // program file name, e.g. pagehost.exe; empty: any
    std::wstring text;
    DWORD timeoutMs = 60000;
    bool list = false;
    bool cancel = false;
    bool find = false;
};

std::wstring TextOf(HWND window) {
    wchar_t text[1024] = {};
    DWORD_PTR ignored = 0;
    // A window of another process that hangs must not hang the watcher.
    ::SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG, 2000, &ignored);
    return text;
}

BOOL CALLBACK CollectControl(HWND child, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
}

std::vector<HWND> Controls(HWND dialog) {
    std::vector<HWND> found;
    ::EnumChildWindows(dialog, CollectControl, reinterpret_cast<LPARAM>(&found));
    return found;
}

// The items of a list view of another process: the item and its text
// buffer must live in that process.
std::wstring ListItems(HWND list) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(list, &pid);
    zfw::unique_handle process(::OpenProcess(
        PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
    if (!process) return {};
    struct Remote {
        LVITEMW item;
        wchar_t text[MAX_PATH];
    };
    void* remote = ::VirtualAllocEx(process.get(), nullptr, sizeof(Remote), MEM_COMMIT,
                                    PAGE_READWRITE);
    if (!remote) return {};
    std::wstring items;
    DWORD_PTR count = 0;
    ::SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 2000, &count);
    for (DWORD_PTR i = 0; i < count; ++i) {
        Remote local{};
        local.item.cchTextMax = MAX_PATH;
        local.item.pszText = static_cast<Remote*>(remote)->text;
        DWORD_PTR length = 0;
        if (!::WriteProcessMemory(process.get(), remote, &local, sizeof(local), nullptr) ||
            !::SendMessageTimeoutW(list, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(remote),
                                   SMTO_ABORTIFHUNG, 2000, &length) ||
            !::ReadProcessMemory(process.get(), remote, &local, sizeof(local), nullptr))
            break;
        local.text[MAX_PATH - 1] = L'\0';
        items += local.text;
        items += L'\n';
    }
    ::VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    return items;
}

// The names every file list of the dialog shows.
std::wstring ListedNames(HWND dialog) {
    std::wstring names;
    for (HWND control : Controls(dialog)) {
        wchar_t className[32] = {};
        ::GetClassNameW(control, className, std::size(className));
        if (std::wcscmp(className, L"SysListView32") == 0) names += ListItems(control);
    }
    return names;
}

// The caption and every control's text, one after the other (and with
// --list, the listed names).
std::wstring AllTexts(HWND dialog, const Options& options) {
    std::wstring texts = TextOf(dialog);
    for (HWND control : Controls(dialog)) texts += L'\n' + TextOf(control);
    if (options.list) texts += L'\n' + ListedNames(dialog);
    return texts;
}

// The program file name of the process that owns `window`.
std::wstring ProgramOf(HWND window) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    zfw::unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return {};
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!::QueryFullProcessImageNameW(process.get(), 0, path, &size)) return {};
    const std::wstring full(path, size);
    const size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

bool IsWanted(HWND window, const Options& options) {
    wchar_t className[16] = {};
    ::GetClassNameW(window, className, std::size(className));
    if (std::wcscmp(className, L"#32770") != 0 || !::IsWindowVisible(window)) return false;
    if (!options.process.empty() && ::lstrcmpiW(ProgramOf(window).c_str(), options.process.c_str()) != 0)
        return false;
    if (TextOf(window) == options.text) return true;
    for (HWND control : Controls(window))
        if (TextOf(control) == options.text) return true;
    return false;
}

struct Search {
    const Options* options;
    HWND found;
};

BOOL CALLBACK StopAtWanted(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    if (!IsWanted(window, *search->options)) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindDialog(const Options& options) {
    Search search{&options, nullptr};
    ::EnumWindows(StopAtWanted, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool WaitUntilSettled(HWND dialog, const Options& options) {
    std::wstring last = AllTexts(dialog, options);
    DWORD quietSince = ::GetTickCount();
    while (::IsWindow(dialog)) {
        ::Sleep(kPollMs);
        const std::wstring now = AllTexts(dialog, options);
        if (now != last) {
            last = now;
            quietSince = ::GetTickCount();
        } else if (::GetTickCount() - quietSince >= kSettledMs) {
            return true;
        }
    }
    return false;
}

bool Press(HWND dialog, int id) {
    if (HWND button = ::GetDlgItem(dialog, id))
        ::PostMessageW(button, BM_CLICK, 0, 0);
    else
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    for (DWORD waited = 0; waited < kCloseMs; waited += kPollMs) {
        if (!::IsWindow(dialog) || !::IsWindowVisible(dialog)) return true;
        ::Sleep(kPollMs);
    }
    return false;
}

bool ParseArguments(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--process" && i + 1 < argc) {
            options.process = argv[++i];
        } else if (arg == L"--timeout" && i + 1 < argc) {
            options.timeoutMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (arg == L"--list") {
            options.list = true;
        } else if (arg == L"--cancel") {
            options.cancel = true;
        } else if (arg == L"--find") {
            options.find = true;
        } else if (options.text.empty() && !arg.empty() && arg.rfind(L"--", 0) != 0) {
            options.text = arg;
        } else {
            return false;
        }
    }
    return !options.text.empty();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        std::fputs("usage: dialogpress [--process NAME] [--timeout MS] [--list] [--cancel|--find] TEXT\n",
                   stderr);
        return 2;
    }
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < options.timeoutMs) {
        if (HWND dialog = FindDialog(options)) {
            if (!WaitUntilSettled(dialog, options)) return 1;  // closed by someone else
            if (options.list) {
                const std::wstring names = ListedNames(dialog);
                const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, names.data(),
                                                        static_cast<int>(names.size()), nullptr,
                                                        0, nullptr, nullptr);
                std::string utf8(static_cast<size_t>(bytes), '\0');
                ::WideCharToMultiByte(CP_UTF8, 0, names.data(), static_cast<int>(names.size()),
                                      utf8.data(), bytes, nullptr, nullptr);
                std::fwrite(utf8.data(), 1, utf8.size(), stdout);
                std::fflush(stdout);
            }
            if (options.find) return 0;
            return Press(dialog, options.cancel ? IDCANCEL : IDOK) ? 0 : 1;
        }
        ::Sleep(kPollMs);
    }
    std::fputs("dialogpress: no such dialog came\n", stderr);
    return 1;
}
