// A window of a class of its own on a thread of its own that reads its
// messages: how this process stands in for another program's window.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>

namespace rig {

class ThreadWindow {
public:
    // `beforeReading` runs on the window's thread once the window exists and
    // before the thread reads a message (a program that is busy from the
    // start). The constructor returns once the window is made, or failed.
    ThreadWindow(const wchar_t* windowClass, WNDPROC proc, const wchar_t* title = L"",
                 std::function<void()> beforeReading = nullptr);
    // Ends the thread's message loop (after `beforeReading` has returned) and
    // joins it.
    ~ThreadWindow();
    ThreadWindow(const ThreadWindow&) = delete;
    ThreadWindow& operator=(const ThreadWindow&) = delete;

    HWND get() const { return window_; }

private:
    std::atomic<HWND> window_{nullptr};
    std::atomic<DWORD> threadId_{0};
    std::thread thread_;
};

}  // namespace rig
