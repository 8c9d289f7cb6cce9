#include "update/http.h"

#include "support/log.h"
#include "support/text.h"
#include "update/internet_file.h"
#include "update/output_file.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <span>

namespace zarn {

namespace {

// Bytes handed out by one read of a text reply (a zero byte ends the text
// of its block).
constexpr size_t kBlockBytes = 512;
// Bytes one read of a download hands to the file and the progress display.
constexpr size_t kDownloadBlockBytes = 64 * 1024;

// Units of the buffers the byte-size texts are formatted into.
constexpr UINT kSizeTextUnits = 256;

HttpFile OpenRequest(InternetSession& session, const std::wstring& url,
                     const TransferLimits& limits) {
    return session.OpenUrl(url, std::wstring(kRequestHeaders), kRequestFlags, limits);
}

// A body that outgrew its cap: the fetch fails rather than keep a part.
[[noreturn]] void ThrowOverCap() {
    throw InternetError("reply longer than its cap", ERROR_INSUFFICIENT_BUFFER);
}

// Reads the whole body of `reply` into `body`, failing once it passes
// `maxBytes`; what arrived stays in `body` when a read fails.
void ReadWhole(HttpFile& reply, size_t maxBytes, std::string& body) {
    if (const std::optional<DWORD> announced = reply.ContentLength();
        announced && *announced > maxBytes)
        ThrowOverCap();
    std::array<char, kBlockBytes> block;
    for (;;) {
        const size_t n = reply.Read(block.data(), block.size());
        if (n == 0) return;
        if (n > maxBytes - body.size()) ThrowOverCap();
        body.append(block.data(), n);
    }
}

// The wait cursor for as long as the object lives; the cursor shown before
// comes back when it goes away.
class WaitCursor {
public:
    WaitCursor() : previous_(::SetCursor(::LoadCursorW(nullptr, IDC_WAIT))) {}
    ~WaitCursor() { ::SetCursor(previous_); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    HCURSOR previous_;
};

std::wstring ByteSizeText(DWORD bytes) {
    std::array<wchar_t, kSizeTextUnits> text{};
    ::StrFormatByteSizeW(bytes, text.data(), kSizeTextUnits);
    text.back() = L'\0';
    return text.data();
}

// Shows the received and total sizes in the owner's label and the percentage
// in its bar. The controls belong to another thread, so every update is a
// cross-thread message and a repaint the download waits for (the bar, too,
// repaints itself before it answers); a download has thousands of blocks.
// So a control is told only when what it shows changes, the label at most
// ten times a second and the bar twenty, except that the bar's first move
// and its end are shown at once; Finish shows the last text and position, so
// the display ends exact.
class ProgressDisplay {
public:
    ProgressDisplay(const ProgressOwner& owner, DWORD total)
        : label_(owner.SizeLabel()),
          bar_(owner.DownloadBar()),
          total_(total),
          totalText_(total ? ByteSizeText(total) : std::wstring()) {}

    void Show(DWORD received) {
        received_ = received;
        // Above 100 when the body outgrows its Content-Length; sent as
        // computed, the bar shows it as full.
        position_ = total_ ? static_cast<int>(static_cast<double>(received) * 100.0 / total_) : 0;
        const ULONGLONG now = ::GetTickCount64();
        if (!barShown_ || (position_ != barPosition_ &&
                           (barPosition_ == 0 || position_ >= 100 ||
                            now - barTime_ >= kBarIntervalMs)))
            ShowBar(now);
        if (!labelShown_ || now - labelTime_ >= kLabelIntervalMs || received == total_)
            ShowLabel(now);
    }

    // Brings the label and the bar up to the last count given to Show.
    void Finish() {
        if (!barShown_) return;
        const ULONGLONG now = ::GetTickCount64();
        if (position_ != barPosition_) ShowBar(now);
        ShowLabel(now);
    }

private:
    static constexpr ULONGLONG kLabelIntervalMs = 100;
    static constexpr ULONGLONG kBarIntervalMs = 50;

    std::wstring LabelText() const {
        if (total_ == 0) return L"0KB / 0KB";
        return ByteSizeText(received_) + L" / " + totalText_;
    }

    void ShowBar(ULONGLONG now) {
        ::SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(position_), 0);
        barPosition_ = position_;
        barShown_ = true;
        barTime_ = now;
    }

    void ShowLabel(ULONGLONG now) {
        std::wstring text = LabelText();
        if (labelShown_ && text == text_) return;
        ::SetWindowTextW(label_, text.c_str());
        ::UpdateWindow(label_);
        text_ = std::move(text);
        labelShown_ = true;
        labelTime_ = now;
    }

    HWND label_;
    HWND bar_;
    DWORD total_;
    std::wstring totalText_;
    DWORD received_ = 0;
    int position_ = 0;  // what the bar should show
    bool barShown_ = false;
    int barPosition_ = 0;  // what it was last told
    ULONGLONG barTime_ = 0;
    bool labelShown_ = false;
    std::wstring text_;
    ULONGLONG labelTime_ = 0;
};

// `bytes` in the ANSI code page as UTF-16; empty when they do not convert.
std::wstring FromAnsi(const BYTE* bytes, size_t size) {
    return FromCodePage(CP_ACP, std::string_view(reinterpret_cast<const char*>(bytes), size))
        .value_or(std::wstring());
}

}  // namespace

std::wstring HttpDownloadFile(const ProgressOwner* progress, const std::wstring& url,
                              const std::wstring& filePath, const TransferLimits& limits,
                              size_t maxBytes) {
    const WaitCursor waitCursor;
    std::wstring result;
    try {
        InternetSession session;
        HttpFile reply = OpenRequest(session, url, limits);
        ZARN_LOG(L"OpenURL");

        const DWORD total = reply.ContentLength().value_or(0);
        ZARN_LOG(L"download : strFileName");
        if (total > maxBytes) ThrowOverCap();

        OutputFile file(filePath);
        std::optional<ProgressDisplay> display;
        if (progress) display.emplace(*progress, total);

        DWORD received = 0;
        size_t kept = 0;
        for (;;) {
            const std::span<const BYTE> block = reply.Next(kDownloadBlockBytes);
            if (block.empty()) break;
            if (block.size() > maxBytes - kept) ThrowOverCap();
            kept += block.size();
            file.Write(block.data(), block.size());
            received += static_cast<DWORD>(block.size());
            if (display) display->Show(received);
        }
        if (display) display->Finish();
        file.Close();
        result = kDownloadComplete;
        reply.Close();
    } catch (const std::exception&) {
        ZARN_LOG(L"CATCH_ALL");
        result.clear();
    }
    ZARN_LOG(L"%s", result.c_str());
    return result;
}

std::wstring HttpRequestText(const std::wstring& url) {
    std::string body;
    try {
        InternetSession session;
        HttpFile reply = OpenRequest(session, url, kSmallFetchLimits);
        ReadWhole(reply, kTextReplyCap, body);
    } catch (const InternetError& error) {
        // Quietly: the caller compares the text and gets what arrived; a
        // reply past its cap is not the text asked for.
        if (error.error() == ERROR_INSUFFICIENT_BUFFER) return {};
    } catch (const std::exception&) {
    }
    // Block by block as it was read: a zero byte ends the text of its block.
    std::wstring result;
    for (size_t at = 0; at < body.size(); at += kBlockBytes) {
        const size_t size = std::min(kBlockBytes, body.size() - at);
        const char* block = body.data() + at;
        const void* end = std::memchr(block, 0, size);
        result += FromAnsi(reinterpret_cast<const BYTE*>(block),
                           end ? static_cast<size_t>(static_cast<const char*>(end) - block)
                               : size);
    }
    return result;
}

std::optional<SmallReply> FetchSmall(const std::wstring& url, size_t maxBytes) {
    try {
        InternetSession session;
        HttpFile reply = OpenRequest(session, url, kSmallFetchLimits);
        SmallReply result;
        result.status = reply.StatusCode();
        ReadWhole(reply, maxBytes, result.body);
        return result;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace zarn
