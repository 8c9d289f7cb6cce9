#include "common/dialog_watcher.h"

#include "common/rig.h"

#include <algorithm>

namespace rig {

DialogWatcher& DialogWatcher::On(std::wstring caption, Handler handler, Owner owner) {
    rules_.push_back(Rule{std::move(caption), std::move(handler), owner});
    return *this;
}

DialogWatcher& DialogWatcher::EachPoll(std::function<void()> poll) {
    poll_ = std::move(poll);
    return *this;
}

DialogWatcher& DialogWatcher::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    return *this;
}

void DialogWatcher::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool DialogWatcher::WaitHandled(int count, DWORD limitMs) const {
    return WaitFor([&] { return handled_ >= count; }, limitMs);
}

void DialogWatcher::Run() {
    const DWORD self = ::GetCurrentProcessId();
    while (!stop_) {
        // Forget dialogs that are gone: Wine hands their handles out again.
        seen_.erase(std::remove_if(seen_.begin(), seen_.end(),
                                   [](HWND w) { return !::IsWindow(w); }),
                    seen_.end());
        for (const Rule& rule : rules_) {
            HWND found = nullptr;
            for (HWND w = ::FindWindowExW(nullptr, nullptr, L"#32770", nullptr); w && !found;
                 w = ::FindWindowExW(nullptr, w, L"#32770", nullptr)) {
                if (!::IsWindowVisible(w) ||
                    std::find(seen_.begin(), seen_.end(), w) != seen_.end())
                    continue;
                DWORD pid = 0;
                ::GetWindowThreadProcessId(w, &pid);
                if (rule.owner == Owner::ThisProcess && pid != self) continue;
                if (!rule.caption.empty() && WindowText(w) != rule.caption) continue;
                found = w;
            }
            if (!found) continue;
            seen_.push_back(found);
            // Let it finish setting itself up; one still busy after that is
            // driven all the same (what the handler posts waits its turn).
            WaitResponsive(found, 2000);
            rule.handler(found);
            ++handled_;
        }
        if (poll_) poll_();
        ::Sleep(pollMs_);
    }
}

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG, 2000, &ignored);
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[128] = {};
    ::GetClassNameW(window, name, std::size(name));
    return name;
}

namespace {
// A window callback is stdcall on 32-bit Windows, which a lambda is not.
BOOL CALLBACK CollectChild(HWND child, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
}
}  // namespace

std::vector<HWND> Descendants(HWND parent) {
    std::vector<HWND> found;
    ::EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::vector<std::wstring> StaticTexts(HWND dialog) {
    std::vector<std::wstring> texts;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(child).c_str(), L"Static") != 0) continue;
        std::wstring text = WindowText(child);
        if (!text.empty()) texts.push_back(std::move(text));
    }
    return texts;
}

void Click(HWND dialog, int id) {
    if (HWND button = ::GetDlgItem(dialog, id))
        ::PostMessageW(button, BM_CLICK, 0, 0);
    else
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

bool WaitResponsive(HWND window, DWORD limitMs) {
    DWORD_PTR ignored = 0;
    return ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, limitMs, &ignored) != 0;
}

}  // namespace rig
