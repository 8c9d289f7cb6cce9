#include "common/log_receiver.h"

#include <cwchar>

namespace rig {

std::wstring CopyDataMessage::Text(size_t offset, size_t maxUnits) const {
    std::wstring text;
    for (size_t i = 0; i < maxUnits && offset + 2 * i + 1 < bytes.size(); ++i) {
        const wchar_t unit = static_cast<wchar_t>(bytes[offset + 2 * i] |
                                                  (bytes[offset + 2 * i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

LogReceiver::LogReceiver(std::wstring windowClass, std::wstring title)
    : class_(std::move(windowClass)), title_(std::move(title)) {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return started_; });
}

LogReceiver::~LogReceiver() {
    HWND window;
    {
        std::lock_guard lock(mutex_);
        window = window_;
    }
    if (window) ::PostMessageW(window, WM_CLOSE, 0, 0);
    thread_.join();
}

void LogReceiver::Run() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = class_.c_str();
    ::RegisterClassExW(&windowClass);  // may exist from an earlier receiver
    HWND window = ::CreateWindowExW(0, class_.c_str(), title_.c_str(), WS_OVERLAPPEDWINDOW, 0, 0,
                                    100, 100, nullptr, nullptr, windowClass.hInstance, this);
    {
        std::lock_guard lock(mutex_);
        window_ = window;
        started_ = true;
    }
    ready_.notify_all();
    if (!window) return;
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
}

LRESULT CALLBACK LogReceiver::WindowProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<LogReceiver*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_COPYDATA && self) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        CopyDataMessage copy;
        copy.wParam = wParam;
        copy.dwData = data->dwData;
        const BYTE* bytes = static_cast<const BYTE*>(data->lpData);
        if (bytes) copy.bytes.assign(bytes, bytes + data->cbData);
        std::lock_guard lock(self->mutex_);
        self->messages_.push_back(std::move(copy));
        return TRUE;
    }
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

std::vector<CopyDataMessage> LogReceiver::From(const std::wstring& application) const {
    std::lock_guard lock(mutex_);
    std::vector<CopyDataMessage> found;
    for (const CopyDataMessage& message : messages_)
        if (message.Text(4, 1024) == application) found.push_back(message);
    return found;
}

std::vector<std::wstring> LogReceiver::Lines(const std::wstring& application) const {
    std::vector<std::wstring> lines;
    for (const CopyDataMessage& message : From(application))
        lines.push_back(message.Text(4100, 2048));
    return lines;
}

}  // namespace rig
