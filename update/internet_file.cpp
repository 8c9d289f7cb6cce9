#include "update/internet_file.h"

#include "support/log.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

namespace zarn {

// What a request shares with its helper thread. The caller hands the thread
// one job at a time and waits for it; the thread makes the blocking WinINet
// call. Everything the thread touches lives here, so a request the caller has
// given up on can finish on its own.
struct RequestState {
    enum class Job { None, Send, Read, Quit };

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;

    // ---- guarded by `lock`
    Job job = Job::None;
    bool inCall = false;     // the thread is inside a WinINet call
    bool finished = false;   // the last job has been done
    bool abandoned = false;  // the caller gave up; the handles are closed
    BOOL ok = FALSE;         // results of the last job
    DWORD error = 0;
    DWORD got = 0;

    // ---- set by the caller before the thread sees them
    HINTERNET connect = nullptr;
    HINTERNET request = nullptr;
    std::wstring headers;
    std::vector<BYTE> chunk;
    DWORD want = 0;  // bytes the next read asks for, at most the chunk's size
    DWORD step = 0;  // bytes one WinINet read of it may wait for beyond what has arrived

    ~RequestState() { CloseHandles(); }

    // Closes both handles once. Called with `lock` held, or when no thread
    // can reach the state any more.
    void CloseHandles() noexcept {
        if (request) ::InternetCloseHandle(request);
        if (connect) ::InternetCloseHandle(connect);
        request = connect = nullptr;
    }
};

namespace {

// How much of the body one read job asks for at most, and at least: about
// what the server sent in kReadAimMs so far (ReadUpTo waits for less when
// less has arrived). A server that cannot send kMinReadBytes within the wait
// limit has all but stopped. A fast server gets large jobs, so that handing
// them between the threads costs next to nothing; the chunk grows with the
// jobs, so a small reply never needs a large one.
constexpr DWORD kChunkBytes = 1024 * 1024;
constexpr DWORD kMinReadBytes = 512;
constexpr ULONGLONG kReadAimMs = 250;
// The most one WinINet read asks for.
constexpr DWORD kNetworkReadBytes = 64 * 1024;

constexpr DWORD_PTR kContext = 1;

class SrwGuard {
public:
    explicit SrwGuard(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~SrwGuard() { ::ReleaseSRWLockExclusive(&lock_); }
    SrwGuard(const SrwGuard&) = delete;
    SrwGuard& operator=(const SrwGuard&) = delete;

private:
    SRWLOCK& lock_;
};

// What the helper receives: its share of the request and the module
// reference it gives back when it returns.
struct HelperStart {
    std::shared_ptr<RequestState> state;
    HMODULE module = nullptr;
};

// Reads up to `want` bytes for one job. WinINet's read waits until it has all
// it was asked for, and the wait limit applies to each read job: a server
// that sends slowly but steadily must not be taken for a stalled one because
// a job asked for more than it was sending, while one that cannot send
// kMinReadBytes within the limit (a drip) has all but stopped. So each read
// waits for at most `step` bytes beyond what has arrived: the caller sizes
// it to what the server sent in about kReadAimMs at its pace so far.
//
// With a step of kMinReadBytes (a slow server, or the start of a body), each
// read takes what WinINet holds (asking waits for the first byte, or the
// end), at least kMinReadBytes in all. What WinINet holds is one buffer of a
// few KiB, refilled by one network read at each ask, so a larger step skips
// the ask and reads `step` bytes at a time straight into the job's buffer:
// the same reads a plain loop makes. Past kMinReadBytes the job goes on only
// while the bytes keep coming within kReadAimMs, so that a fast server fills
// a large job in one hand-over. A failure after some bytes hands over those
// bytes; the next read meets the failure again.
BOOL ReadUpTo(HINTERNET request, BYTE* buffer, DWORD want, DWORD step, DWORD& got) {
    got = 0;
    const ULONGLONG start = ::GetTickCount64();
    while (got < want) {
        if (got >= kMinReadBytes && ::GetTickCount64() - start >= kReadAimMs) break;
        DWORD ask = std::min(want - got, step);
        if (step <= kMinReadBytes) {
            DWORD available = 0;
            if (!::InternetQueryDataAvailable(request, &available, 0, 0)) return got > 0;
            if (available == 0) break;  // the end of the body
            // Below kMinReadBytes in all, the read waits for the rest.
            ask = std::max(available, got < kMinReadBytes ? kMinReadBytes - got : 0);
            ask = std::min({ask, want - got, kNetworkReadBytes});
        }
        DWORD n = 0;
        if (!::InternetReadFile(request, buffer + got, ask, &n)) return got > 0;
        if (n == 0) break;
        got += n;
    }
    return TRUE;
}

void ServeJobs(RequestState& state) {
    SrwGuard guard(state.lock);
    for (;;) {
        while (state.job == RequestState::Job::None)
            ::SleepConditionVariableSRW(&state.changed, &state.lock, INFINITE, 0);
        if (state.job == RequestState::Job::Quit || state.abandoned) return;
        const RequestState::Job job = state.job;
        state.inCall = true;
        ::ReleaseSRWLockExclusive(&state.lock);

        BOOL ok = FALSE;
        DWORD got = 0;
        if (job == RequestState::Job::Send) {
            ok = ::HttpSendRequestW(state.request, state.headers.c_str(),
                                    static_cast<DWORD>(state.headers.size()), nullptr, 0);
        } else {
            ok = ReadUpTo(state.request, state.chunk.data(), state.want, state.step, got);
        }
        const DWORD error = ok ? 0 : ::GetLastError();

        ::AcquireSRWLockExclusive(&state.lock);
        state.inCall = false;
        state.job = RequestState::Job::None;
        state.ok = ok;
        state.got = got;
        state.error = error;
        state.finished = true;
        ::WakeAllConditionVariable(&state.changed);
        // A caller that gave up has closed the handles: never touch them again.
        if (state.abandoned) return;
    }
}

// Serves one request's jobs on a thread of the process's thread pool. A pool
// thread is usually idle and waiting: starting a thread of its own cost each
// request more than a millisecond and a half under Wine, as much as a small
// fetch's own work.
void CALLBACK HelperWork(PTP_CALLBACK_INSTANCE instance, void* parameter) {
    std::unique_ptr<HelperStart> start(static_cast<HelperStart*>(parameter));
    // The module stays loaded until this callback has left its code.
    ::FreeLibraryWhenCallbackReturns(instance, start->module);
    // A request's jobs take as long as its download: the pool must not wait
    // for this callback before it serves others.
    ::CallbackMayRunLong(instance);
    ServeJobs(*start->state);
}

void StartHelper(const std::shared_ptr<RequestState>& state) {
    auto start = std::make_unique<HelperStart>();
    start->state = state;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&HelperWork), &start->module))
        ZFW_THROW_WIN32(InternetError, ::GetLastError(), "GetModuleHandleEx");
    if (!::TrySubmitThreadpoolCallback(&HelperWork, start.get(), nullptr)) {
        const DWORD error = ::GetLastError();
        ::FreeLibrary(start->module);
        ZFW_THROW_WIN32(InternetError, error, "TrySubmitThreadpoolCallback");
    }
    (void)start.release();  // the callback owns it now
}

// Hands `job` to the helper thread and waits until it is done, at most
// `waitMs`. When the time runs out the request is given up: its handles are
// closed, which ends a blocked call on Windows, and the thread is left to
// return from its call on its own.
void RunJob(RequestState& state, RequestState::Job job, DWORD waitMs) {
    SrwGuard guard(state.lock);
    if (state.abandoned)
        ZFW_THROW_WIN32(InternetError, ERROR_INTERNET_TIMEOUT, "request given up");
    state.finished = false;
    state.job = job;
    ::WakeAllConditionVariable(&state.changed);
    const ULONGLONG start = ::GetTickCount64();
    while (!state.finished) {
        const ULONGLONG waited = ::GetTickCount64() - start;
        if (waited >= waitMs ||
            (!::SleepConditionVariableSRW(&state.changed, &state.lock,
                                          static_cast<DWORD>(waitMs - waited), 0) &&
             ::GetLastError() != ERROR_TIMEOUT)) {
            if (state.finished) break;
            state.abandoned = true;
            state.CloseHandles();
            ::WakeAllConditionVariable(&state.changed);
            ZFW_THROW_WIN32(InternetError, ERROR_INTERNET_TIMEOUT,
                            "no answer within the time limit");
        }
    }
    if (!state.ok)
        ZFW_THROW_WIN32(InternetError, state.error,
                        job == RequestState::Job::Send ? "HttpSendRequest" : "InternetReadFile");
}

void SetTimeouts(HINTERNET handle, DWORD ms) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT})
        ::InternetSetOptionW(handle, option, &ms, sizeof(ms));
}

// A numeric header of the reply (HTTP_QUERY_* without the number flag);
// none when it is missing or not a number.
std::optional<DWORD> QueryNumber(HINTERNET request, DWORD info) {
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (!request || !::HttpQueryInfoW(request, info | HTTP_QUERY_FLAG_NUMBER, &value, &bytes,
                                      nullptr))
        return std::nullopt;
    return value;
}

// The body's length as the reply announces it, for telling a complete body
// from one whose connection broke: none when the reply has no usable
// Content-Length or is sent in chunks (the header then does not bound it).
std::optional<unsigned long long> AnnouncedLength(HINTERNET request) {
    wchar_t encoding[64] = {};
    DWORD encodingBytes = sizeof(encoding);
    if (::HttpQueryInfoW(request, HTTP_QUERY_TRANSFER_ENCODING, encoding, &encodingBytes,
                         nullptr) ||
        ::GetLastError() != ERROR_HTTP_HEADER_NOT_FOUND)
        return std::nullopt;
    return QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH);
}

// The name of a WinINet error an https request can end with, for the log.
const wchar_t* SecureErrorName(DWORD error) {
    struct Name {
        DWORD error;
        const wchar_t* name;
    };
    static constexpr Name kNames[] = {
        {ERROR_INTERNET_TIMEOUT, L"ERROR_INTERNET_TIMEOUT"},
        {ERROR_INTERNET_CANNOT_CONNECT, L"ERROR_INTERNET_CANNOT_CONNECT"},
        {ERROR_INTERNET_CONNECTION_ABORTED, L"ERROR_INTERNET_CONNECTION_ABORTED"},
        {ERROR_INTERNET_CONNECTION_RESET, L"ERROR_INTERNET_CONNECTION_RESET"},
        {ERROR_INTERNET_SEC_CERT_DATE_INVALID, L"ERROR_INTERNET_SEC_CERT_DATE_INVALID"},
        {ERROR_INTERNET_SEC_CERT_CN_INVALID, L"ERROR_INTERNET_SEC_CERT_CN_INVALID"},
        {ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR, L"ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR"},
        {ERROR_INTERNET_INVALID_CA, L"ERROR_INTERNET_INVALID_CA"},
        {ERROR_INTERNET_SEC_CERT_ERRORS, L"ERROR_INTERNET_SEC_CERT_ERRORS"},
        {ERROR_INTERNET_SEC_CERT_NO_REV, L"ERROR_INTERNET_SEC_CERT_NO_REV"},
        {ERROR_INTERNET_SEC_CERT_REV_FAILED, L"ERROR_INTERNET_SEC_CERT_REV_FAILED"},
        {ERROR_INTERNET_SEC_CERT_REVOKED, L"ERROR_INTERNET_SEC_CERT_REVOKED"},
        {ERROR_INTERNET_SEC_INVALID_CERT, L"ERROR_INTERNET_SEC_INVALID_CERT"},
        {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, L"ERROR_INTERNET_SECURITY_CHANNEL_ERROR"},
        {ERROR_HTTP_INVALID_SERVER_RESPONSE, L"ERROR_HTTP_INVALID_SERVER_RESPONSE"},
    };
    for (const Name& name : kNames)
        if (name.error == error) return name.name;
    return L"WinINet error";
}

// Whether the request, after any redirects WinINet followed, still ends at
// an https URL.
bool EndsSecure(RequestState& state) {
    SrwGuard guard(state.lock);
    wchar_t url[INTERNET_MAX_URL_LENGTH + 1] = {};
    DWORD bytes = sizeof(url) - sizeof(wchar_t);
    if (!state.request || !::InternetQueryOptionW(state.request, INTERNET_OPTION_URL, url, &bytes))
        return false;
    return ::_wcsnicmp(url, L"https:", 6) == 0;
}

// What is left of `limits` for the next wait of a request started at `started`.
DWORD NextWait(const TransferLimits& limits, ULONGLONG started) {
    if (limits.deadlineMs == INFINITE) return limits.waitMs;
    const ULONGLONG elapsed = ::GetTickCount64() - started;
    if (elapsed >= limits.deadlineMs) return 0;
    return static_cast<DWORD>(std::min<ULONGLONG>(limits.waitMs, limits.deadlineMs - elapsed));
}

}  // namespace

InternetSession::InternetSession()
    : session_(::InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)) {
    ZFW_THROW_LAST_ERROR_IF(InternetError, !session_, "InternetOpen");
    SetTimeouts(session_.get(), kWaitLimitMs);
}

HttpFile InternetSession::OpenUrl(const std::wstring& url, const std::wstring& headers,
                                  DWORD flags, const TransferLimits& limits) {
    const ULONGLONG started = ::GetTickCount64();
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    ZFW_THROW_LAST_ERROR_IF(InternetError,
                            !::InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0,
                                                 &parts),
                            "InternetCrackUrl");
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        ZFW_THROW_WIN32(InternetError, ERROR_INTERNET_UNRECOGNIZED_SCHEME, "not an http URL");
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) object = L"/";

    auto state = std::make_shared<RequestState>();
    state->connect = ::InternetConnectW(session_.get(), host.c_str(), parts.nPort, nullptr,
                                        nullptr, INTERNET_SERVICE_HTTP, 0, kContext);
    ZFW_THROW_LAST_ERROR_IF(InternetError, !state->connect, "InternetConnect");
    state->request = ::HttpOpenRequestW(state->connect, L"GET", object.c_str(), nullptr, nullptr,
                                        nullptr, flags, kContext);
    ZFW_THROW_LAST_ERROR_IF(InternetError, !state->request, "HttpOpenRequest");
    // Wine takes the limits from the request handle only, and only before
    // the request is sent.
    SetTimeouts(state->request, limits.waitMs);
    state->headers = headers;
    StartHelper(state);

    HttpFile file(state, limits, started);
    if (!(flags & INTERNET_FLAG_SECURE)) {
        RunJob(*state, RequestState::Job::Send, NextWait(limits, started));
        return file;
    }
    // An https request fails closed: on a certificate WinINet does not trust,
    // and on a redirect to plain http (WinINet follows it; its reply is never
    // read). The log names the error, so that a refused server can be told
    // from a silent one.
    try {
        RunJob(*state, RequestState::Job::Send, NextWait(limits, started));
        if (!EndsSecure(*state))
            ZFW_THROW_WIN32(InternetError, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR,
                            "redirected from https to http");
    } catch (const InternetError& error) {
        ZARN_LOG(L"https request to %s:%u failed: %s (%u)", host.c_str(),
                 static_cast<unsigned>(parts.nPort), SecureErrorName(error.error()),
                 static_cast<unsigned>(error.error()));
        throw;
    }
    return file;
}

HttpFile::HttpFile(std::shared_ptr<RequestState> state, const TransferLimits& limits,
                   ULONGLONG started)
    : state_(std::move(state)), limits_(limits), started_(started) {}

HttpFile::HttpFile(HttpFile&& other) noexcept
    : state_(std::move(other.state_)),
      limits_(other.limits_),
      started_(other.started_),
      chunkUsed_(other.chunkUsed_),
      chunkFilled_(other.chunkFilled_),
      bodyRead_(other.bodyRead_),
      bodyStarted_(other.bodyStarted_),
      readSize_(other.readSize_) {}

HttpFile::~HttpFile() { Close(); }

std::optional<DWORD> HttpFile::ContentLength() {
    if (!state_) return std::nullopt;
    SrwGuard guard(state_->lock);
    return QueryNumber(state_->request, HTTP_QUERY_CONTENT_LENGTH);
}

DWORD HttpFile::StatusCode() {
    if (!state_) return 0;
    SrwGuard guard(state_->lock);
    return QueryNumber(state_->request, HTTP_QUERY_STATUS_CODE).value_or(0);
}

DWORD HttpFile::NextStep(ULONGLONG now) const {
    // The body's start counts as at least kReadAimMs ago, so that the first
    // bytes, which often come at once with the headers, never pass for a
    // pace: a burst at the start lets a read wait for at most as much again.
    const ULONGLONG elapsed = std::max(kReadAimMs, now - bodyStarted_);
    const ULONGLONG paced = bodyRead_ * kReadAimMs / elapsed;
    return static_cast<DWORD>(std::clamp<ULONGLONG>(paced / kMinReadBytes * kMinReadBytes,
                                                    kMinReadBytes, kNetworkReadBytes));
}

bool HttpFile::Fill() {
    if (!state_) return false;
    RequestState& state = *state_;
    if (state.chunk.size() < readSize_) state.chunk.resize(readSize_);
    const ULONGLONG before = ::GetTickCount64();
    if (bodyStarted_ == 0) bodyStarted_ = before;
    state.want = readSize_;
    state.step = NextStep(before);
    RunJob(state, RequestState::Job::Read, NextWait(limits_, started_));
    const DWORD got = state.got;
    const ULONGLONG took = std::max<ULONGLONG>(1, ::GetTickCount64() - before);
    const ULONGLONG aim = static_cast<ULONGLONG>(got) * kReadAimMs / took;
    readSize_ = static_cast<DWORD>(
        std::clamp<ULONGLONG>(aim / kMinReadBytes * kMinReadBytes, kMinReadBytes, kChunkBytes));
    chunkUsed_ = 0;
    chunkFilled_ = got;
    bodyRead_ += got;
    if (got > 0) return true;

    // WinINet ends a body quietly when the server closes early; a body
    // shorter than announced is a broken connection, not a complete file.
    std::optional<unsigned long long> announced;
    {
        SrwGuard guard(state.lock);
        announced = AnnouncedLength(state.request);
    }
    if (announced && bodyRead_ < *announced)
        ZFW_THROW_WIN32(InternetError, ERROR_INTERNET_CONNECTION_RESET,
                        "connection closed before the end of the body");
    return false;
}

std::span<const BYTE> HttpFile::Next(size_t maxBytes) {
    if (maxBytes == 0) return {};
    if (chunkUsed_ == chunkFilled_ && !Fill()) return {};
    const size_t n = std::min(maxBytes, chunkFilled_ - chunkUsed_);
    const std::span<const BYTE> piece(state_->chunk.data() + chunkUsed_, n);
    chunkUsed_ += n;
    return piece;
}

size_t HttpFile::Read(void* buffer, size_t size) {
    const std::span<const BYTE> piece = Next(size);
    if (!piece.empty()) std::memcpy(buffer, piece.data(), piece.size());
    return piece.size();
}

void HttpFile::Close() {
    if (!state_) return;
    {
        SrwGuard guard(state_->lock);
        // The thread is idle unless the request was given up (the handles
        // are closed then): it quits without touching them again.
        if (!state_->abandoned) state_->CloseHandles();
        state_->job = RequestState::Job::Quit;
        ::WakeAllConditionVariable(&state_->changed);
    }
    state_.reset();
    chunkUsed_ = chunkFilled_ = 0;
}

}  // namespace zarn
