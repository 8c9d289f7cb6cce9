#include "common/thread_window.h"

#include "common/rig.h"

namespace rig {

ThreadWindow::ThreadWindow(const wchar_t* windowClass, WNDPROC proc, const wchar_t* title,
                           std::function<void()> beforeReading) {
    thread_ = std::thread([this, windowClass, proc, title, beforeReading] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = windowClass;
        ::RegisterClassW(&wc);  // may exist from an earlier window
        HWND window = ::CreateWindowW(windowClass, title, WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                      nullptr, wc.hInstance, nullptr);
        // The queue must exist before the destructor posts the end to it.
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        window_ = window;
        threadId_ = ::GetCurrentThreadId();
        if (beforeReading) beforeReading();
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
        if (window) ::DestroyWindow(window);
    });
    WaitFor([this] { return threadId_ != 0; }, 30000);
}

ThreadWindow::~ThreadWindow() {
    if (threadId_) ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.join();
}

}  // namespace rig
