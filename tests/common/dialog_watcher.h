// The one dialog watcher of the rig: it watches the screen from its own
// thread while the test's thread runs modal code (a picker, the update
// dialog, a message box), the way a person would, and drives what it sees.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rig {

// Whose dialogs a rule looks at: this process's, or any process's (a dialog
// the page host or a stand-in shows).
enum class Owner { ThisProcess, AnyProcess };

// Each rule names a caption (empty: any) and whose dialogs; its handler runs
// once for every new visible dialog window (#32770) that matches, as soon as
// the dialog's thread answers messages (its initialisation is over and it is
// in its modal loop). Handlers and the poll function run on the watcher's
// thread, one at a time. Rules are added before Start(); the watcher stops
// at Stop() or when it is destroyed.
//
//   rig::DialogWatcher watcher;
//   watcher.On(L"알림", [](HWND box) { rig::Click(box, IDOK); }).Start();
class DialogWatcher {
public:
    using Handler = std::function<void(HWND)>;

    explicit DialogWatcher(DWORD pollMs = 20) : pollMs_(pollMs) {}
    ~DialogWatcher() { Stop(); }
    DialogWatcher(const DialogWatcher&) = delete;
    DialogWatcher& operator=(const DialogWatcher&) = delete;

    DialogWatcher& On(std::wstring caption, Handler handler, Owner owner = Owner::ThisProcess);
    // Runs `poll` on every round, after the rules (for samplers).
    DialogWatcher& EachPoll(std::function<void()> poll);
    DialogWatcher& Start();
    void Stop();

    // Dialogs handed to a handler so far.
    int handled() const { return handled_; }
    // Waits until `count` dialogs were handled, at most `limitMs`.
    bool WaitHandled(int count, DWORD limitMs) const;

private:
    struct Rule {
        std::wstring caption;
        Handler handler;
        Owner owner;
    };
    void Run();

    DWORD pollMs_;
    std::vector<Rule> rules_;
    std::function<void()> poll_;
    std::vector<HWND> seen_;  // dialogs already handed over, while they exist
    std::atomic<int> handled_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A window's text, asked for with a time limit so that a hung window cannot
// hang the watcher.
std::wstring WindowText(HWND window);
std::wstring ClassOf(HWND window);
// Every descendant window of `parent`.
std::vector<HWND> Descendants(HWND parent);
// The texts of a dialog's static controls, in order.
std::vector<std::wstring> StaticTexts(HWND dialog);
// Presses button `id` of `dialog` (or sends its command when it has no such
// button), without waiting for the dialog to act on it.
void Click(HWND dialog, int id);
// True once `window`'s thread takes sent messages, at most `limitMs`.
bool WaitResponsive(HWND window, DWORD limitMs = 10000);

}  // namespace rig
