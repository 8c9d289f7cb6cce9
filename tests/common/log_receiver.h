// A window that receives WM_COPYDATA like the log viewer does, on a thread of
// its own, and keeps every record sent to it.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rig {

struct CopyDataMessage {
    WPARAM wParam = 0;
    ULONG_PTR dwData = 0;
    std::vector<BYTE> bytes;
    // UTF-16 text at `offset`, up to its NUL or `maxUnits`.
    std::wstring Text(size_t offset, size_t maxUnits) const;
};

class LogReceiver {
public:
    // A receiver window of class "xLogWnd Receiver" titled "xLogWnd" unless
    // told otherwise.
    explicit LogReceiver(std::wstring windowClass = L"xLogWnd Receiver",
                         std::wstring title = L"xLogWnd");
    ~LogReceiver();
    LogReceiver(const LogReceiver&) = delete;
    LogReceiver& operator=(const LogReceiver&) = delete;

    // Messages received so far whose application field is `application`
    // (other processes may log to the same window).
    std::vector<CopyDataMessage> From(const std::wstring& application) const;
    // Message texts (offset 4100) of From(application), in order.
    std::vector<std::wstring> Lines(const std::wstring& application) const;

private:
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    void Run();

    std::wstring class_;
    std::wstring title_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    HWND window_ = nullptr;
    bool started_ = false;
    std::vector<CopyDataMessage> messages_;
    std::thread thread_;
};

}  // namespace rig
