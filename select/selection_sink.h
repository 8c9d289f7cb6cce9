// Where the upload pickers deliver their selection items.
#pragma once

#include <string_view>

namespace zarn {

// Receives one selection item at a time: the item's path, its size text
// (decimal bytes, or "-1" for a folder) and its mode ("-1" for an item the
// user picked, else the picked folder it was found under). The texts are
// only valid during the call.
class SelectionSink {
public:
    virtual void Report(std::wstring_view path, std::wstring_view size,
                        std::wstring_view mode) = 0;

protected:
    ~SelectionSink() = default;
};

// The size text of a file: its byte count in decimal, digits only.
class SizeText {
public:
    explicit SizeText(unsigned long long bytes) noexcept {
        wchar_t* p = text_ + sizeof(text_) / sizeof(text_[0]);
        do {
            *--p = static_cast<wchar_t>(L'0' + bytes % 10);
            bytes /= 10;
        } while (bytes != 0);
        begin_ = p;
    }
    std::wstring_view view() const noexcept {
        return std::wstring_view(begin_, static_cast<size_t>(text_ + kUnits - begin_));
    }

private:
    static constexpr size_t kUnits = 20;  // 2^64 - 1 has 20 digits
    wchar_t text_[kUnits];
    const wchar_t* begin_;
};

// The size text of a folder item.
inline constexpr std::wstring_view kFolderSize = L"-1";
// The mode text of an item the user picked directly.
inline constexpr std::wstring_view kPickedMode = L"-1";

}  // namespace zarn
