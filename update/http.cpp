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
    ZFW_THROW_WIN32(InternetError, ERROR_INSUFFICIENT_BUFFER, "reply longer than its cap");
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

// Tells a sink how far a download has come: the first block at once, then
// at most every kReportIntervalMs, besides the bar's first move and the
// moment the count reaches the total, and at the end the last count, so the
// display ends exact. A download has thousands of blocks; each report is a
// message to the thread that shows it and a repaint there.
class ProgressReports {
public:
    ProgressReports(ProgressSink& sink, DWORD total) : sink_(sink), total_(total) {}

    void Block(DWORD received) {
        received_ = received;
        const ULONGLONG now = ::GetTickCount64();
        const bool firstMove = reportedPercent_ == 0 && Percent() != 0;
        if (!reported_ || firstMove || received == total_ || now - reportTime_ >= kReportIntervalMs)
            Report(now);
    }

    void Finish() {
        if (reported_ && reportedCount_ != received_) Report(::GetTickCount64());
    }

private:
    static constexpr ULONGLONG kReportIntervalMs = 50;

    int Percent() const {
        return total_ ? static_cast<int>(static_cast<double>(received_) * 100.0 / total_) : 0;
    }

    void Report(ULONGLONG now) {
        sink_.DownloadProgress(received_, total_);
        reported_ = true;
        reportedCount_ = received_;
        reportedPercent_ = Percent();
        reportTime_ = now;
    }

    ProgressSink& sink_;
    DWORD total_;
    DWORD received_ = 0;
    bool reported_ = false;
    DWORD reportedCount_ = 0;
    int reportedPercent_ = 0;
    ULONGLONG reportTime_ = 0;
};

// `bytes` in the ANSI code page as UTF-16; empty when they do not convert.
std::wstring FromAnsi(const BYTE* bytes, size_t size) {
    return FromCodePage(CP_ACP, std::string_view(reinterpret_cast<const char*>(bytes), size))
        .value_or(std::wstring());
}

}  // namespace

void ProgressDisplay::Show(DWORD received, DWORD total) {
    // Above 100 when the body outgrows its Content-Length; sent as computed,
    // the bar shows it as full.
    const int position =
        total ? static_cast<int>(static_cast<double>(received) * 100.0 / total) : 0;
    if (!shown_ || position != position_) {
        ::SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
        position_ = position;
    }
    std::wstring text =
        total ? ByteSizeText(received) + L" / " + ByteSizeText(total) : L"0KB / 0KB";
    if (!shown_ || text != text_) {
        ::SetWindowTextW(label_, text.c_str());
        ::UpdateWindow(label_);
        text_ = std::move(text);
    }
    shown_ = true;
}

std::wstring HttpDownloadFile(ProgressSink* progress, const std::wstring& url,
                              const std::wstring& filePath, const TransferLimits& limits,
                              size_t maxBytes, AcceptedReplies accepted) {
    const WaitCursor waitCursor;
    std::wstring result;
    try {
        InternetSession session;
        HttpFile reply = OpenRequest(session, url, limits);
        ZARN_LOG(L"OpenURL");
        if (accepted == AcceptedReplies::OkOnly) {
            if (const DWORD status = reply.StatusCode(); status != HTTP_STATUS_OK)
                ZFW_THROW_WIN32(InternetError, status, "HTTP status other than 200");
        }

        const DWORD total = reply.ContentLength().value_or(0);
        ZARN_LOG(L"download : strFileName");
        if (total > maxBytes) ThrowOverCap();

        OutputFile file(filePath);
        std::optional<ProgressReports> reports;
        if (progress) reports.emplace(*progress, total);

        DWORD received = 0;
        size_t kept = 0;
        for (;;) {
            const std::span<const BYTE> block = reply.Next(kDownloadBlockBytes);
            if (block.empty()) break;
            if (block.size() > maxBytes - kept) ThrowOverCap();
            kept += block.size();
            file.Write(block.data(), block.size());
            received += static_cast<DWORD>(block.size());
            if (reports) reports->Block(received);
        }
        if (reports) reports->Finish();
        file.Close();
        result = kDownloadComplete;
        reply.Close();
    } catch (const zfw::Failure& failure) {
        ZARN_LOG_FAILURE(failure.origin(), L"CATCH_ALL");
        result.clear();
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
        // An error page is no size: the fetch failed.
        if (reply.StatusCode() != HTTP_STATUS_OK) return {};
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

std::optional<SmallReply> FetchSmall(const std::wstring& url, size_t maxBytes,
                                     zfw::Origin* failure) {
    try {
        InternetSession session;
        HttpFile reply = OpenRequest(session, url, kSmallFetchLimits);
        SmallReply result;
        result.status = reply.StatusCode();
        ReadWhole(reply, maxBytes, result.body);
        return result;
    } catch (const zfw::Failure& error) {
        if (failure) *failure = error.origin();
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace zarn
