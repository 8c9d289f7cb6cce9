#include "bridge/host.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "bridge/front.h"
#include "bridge/origin.h"
#include "bridge/protocol.h"
#include "bridge/version.h"
#include "desktop/popup.h"
#include "desktop/shortcut.h"
#include "framework/failure.h"
#include "framework/thread_name.h"
#include "launch/transfer.h"
#include "select/folder_picker.h"
#include "select/picked_file.h"
#include "select/selection_sink.h"
#include "support/install_folder.h"
#include "support/log.h"
#include "support/modal_call.h"
#include "support/site_rules.h"

namespace zarn::bridge {

namespace {

const MethodInfo* FindMethod(std::string_view name) {
    for (const MethodInfo& info : kMethods)
        if (info.name == name) return &info;
    return nullptr;
}

// Calls running at once; each holds a thread. A page needs a handful (one
// dialog call, and quick ones while it is open); the extension lets no more
// than this wait for a page either.
constexpr size_t kMaxRunningCalls = kMaxCalls;

// The most of a refused origin its message repeats: enough for a person to
// see which page it was, and never so much that the refusal is too large.
constexpr size_t kShownOriginChars = 200;

// `origin` as a refusal shows it: cut after kShownOriginChars, never inside
// a surrogate pair.
std::wstring Shown(const std::wstring& origin) {
    if (origin.size() <= kShownOriginChars) return origin;
    size_t keep = kShownOriginChars;
    if (IS_HIGH_SURROGATE(origin[keep - 1])) --keep;
    return origin.substr(0, keep) + L"\u2026";
}

bool IsPicker(Method method) { return method == Method::ShowDlgFile || method == Method::ShowDlgFolder; }

// The text a method sees of its first argument where the control's lock
// judges it: up to its first NUL, as the lock reads a BSTR.
std::wstring_view AsLockSeesIt(const std::wstring& text) { return std::wstring_view(text.c_str()); }

// A walk that runs on after the input has ended is ended by this.
struct Ended {};

}  // namespace

struct Host::Call {
    long id = 0;
    Method method = Method::Hello;
    std::vector<std::wstring> params;
    std::atomic<DWORD> threadId{0};
    // Acknowledged calls: events written and events the page has run (both
    // under the host's lock).
    bool wantsAcks = false;
    std::uint64_t sent = 0, acked = 0;
};

// Sends each item the pickers find as an event of the request. When the
// extension acknowledges the call's events, the walk waits while
// kEventWindow of them are unacknowledged: a page that handles events slower
// than the folder is read then holds the walk, not a queue in the browser
// that grows with the folder. The control's own door waits in the same way,
// for each event's handler.
class Host::EventSink final : public SelectionSink {
public:
    EventSink(Host& host, Call& call) : host_(host), call_(call) {}
    void Report(std::wstring_view path, std::wstring_view size, std::wstring_view mode) override {
        if (host_.ending_) throw Ended{};
        if (call_.wantsAcks) {
            std::unique_lock<std::mutex> hold(host_.lock_);
            host_.acked_.wait(hold, [this] {
                return host_.ending_ || call_.sent - call_.acked < kEventWindow;
            });
            if (host_.ending_) throw Ended{};
        }
        const auto written = host_.out_.Write(SelectionEvent(call_.id, path, size, mode));
        if (written == FrameWriter::Outcome::TooLarge) tooLarge_ = true;
        if (written == FrameWriter::Outcome::Written && call_.wantsAcks) {
            const std::lock_guard<std::mutex> hold(host_.lock_);
            ++call_.sent;
        }
    }
    bool tooLarge() const noexcept { return tooLarge_; }

private:
    Host& host_;
    Call& call_;
    bool tooLarge_ = false;
};

namespace {

// Firefox runs its hosts in a job object and ends the whole job with the
// host. A transfer program must outlive the host: it can when the job lets
// processes leave it, which the log says when it does not.
void LogJobLimits() {
    BOOL inJob = FALSE;
    if (!::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob) || !inJob) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    if (!::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits,
                                     sizeof(limits), nullptr))
        return;
    const DWORD flags = limits.BasicLimitInformation.LimitFlags;
    if (!(flags & (JOB_OBJECT_LIMIT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK)))
        ZARN_LOG(L"bridge: the host's job keeps its children; a transfer program it starts "
                 L"may end with it");
}

constexpr wchar_t kUpdateRunningText[] =
    L"The Zarn programs are being updated from another window. Try again once that update has "
    L"finished.";

constexpr wchar_t kEventTooLarge[] = L"An item was over the 1 MiB a browser accepts and was not sent.";

BOOL CALLBACK CancelWindow(HWND window, LPARAM) {
    // A dialog turns WM_CLOSE into its Cancel button.
    if (::IsWindowVisible(window)) ::PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

Host::Host(FrameWriter& out, HWND placeNear)
    : out_(out), placeNear_(placeNear), programUpdate_(ParseFileVersion(ModuleFileVersion())) {
    threads_.reserve(kMaxRunningCalls);
}

Host::~Host() { JoinThreads(); }

void Host::Reply(long id, std::string_view reply, std::string_view event) {
    // Execute leaves no event over the limit: a refused write is the reply's.
    if (out_.Write(event, reply) == FrameWriter::Outcome::TooLarge)
        out_.Write(event, ErrorReply(id, ErrorCode::TooLarge,
                                     L"The reply is over the 1 MiB a browser accepts."));
}

void Host::AnswerBadFrame() {
    out_.Write(ErrorReply(std::nullopt, ErrorCode::BadFrame,
                          L"A message's length was 0 or over 16 MiB, or the input ended inside "
                          L"a message. The host ends."));
}

void Host::Handle(std::string_view message) {
    Request request;
    RequestFault fault;
    if (!ParseRequest(message, request, fault)) {
        out_.Write(ErrorReply(fault.id, fault.code, fault.message));
        return;
    }
    const long id = request.id;
    if (request.ackCount > 0) {
        // An acknowledgement of a call that has ended meanwhile is nobody's.
        {
            const std::lock_guard<std::mutex> hold(lock_);
            const auto found = running_.find(id);
            if (found == running_.end() || !found->second->wantsAcks) return;
            Call& call = *found->second;
            call.acked = std::min<std::uint64_t>(call.sent, call.acked + request.ackCount);
        }
        acked_.notify_all();
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (running_.count(id)) {
            out_.Write(ErrorReply(id, ErrorCode::BadRequest, L"A request with this id is still running."));
            return;
        }
    }
    // No word of the request counts before its origin does.
    if (request.origin != lastOrigin_) {
        lastOriginAllowed_ = OriginAllowed(request.origin);
        lastOrigin_ = request.origin;
    }
    if (!lastOriginAllowed_) {
        Reply(id, ErrorReply(id, ErrorCode::RefusedSite,
                             L"The host may not be used from \"" + Shown(request.origin) + L"\"."));
        return;
    }
    const MethodInfo* info = FindMethod(request.method);
    if (!info) {
        Reply(id, ErrorReply(id, ErrorCode::UnknownMethod, L"There is no such method."));
        return;
    }
    if (request.params.size() > info->params) {
        Reply(id, ErrorReply(id, ErrorCode::BadRequest,
                             L"The method takes " + std::to_wstring(info->params) +
                                 L" parameter(s)."));
        return;
    }
    // A missing trailing parameter is the empty text, as a null BSTR is.
    request.params.resize(info->params);

    std::wstring reason;
    if ((info->method == Method::MakeShortCut &&
         !sitelock::ShortcutAddressAllowed(AsLockSeesIt(request.params[0]),
                                           sitelock::BuiltInSites(), reason)) ||
        (info->method == Method::AllowPopUp &&
         !sitelock::PopUpHostAllowed(AsLockSeesIt(request.params[0]), sitelock::BuiltInSites(),
                                     reason))) {
        Reply(id, ErrorReply(id, ErrorCode::RefusedSite, reason));
        return;
    }

    auto call = std::make_shared<Call>();
    call->id = id;
    call->method = info->method;
    call->params = std::move(request.params);
    call->wantsAcks = request.wantsAcks && info->events;
    if (info->ownThread) {
        Start(call);
        return;
    }
    const Answer answer = Execute(*call);
    Reply(id, answer.reply, answer.event);
}

void Host::Start(const std::shared_ptr<Call>& call) {
    const long id = call->id;
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (unanswered_ >= kMaxRunningCalls) {
            out_.Write(ErrorReply(id, ErrorCode::Busy, L"Too many calls are running."));
            return;
        }
        try {
            if (threads_.size() <= unanswered_) {
                const auto number = static_cast<unsigned>(threads_.size() + 1);
                threads_.emplace_back([this, number] { Serve(number); });
            }
            // Only this thread adds calls, so the id is still free.
            running_.emplace(id, call);
            try {
                waiting_.push_back(call);
            } catch (...) {
                running_.erase(id);
                throw;
            }
        } catch (...) {
            out_.Write(ErrorReply(id, ErrorCode::Internal, L"The call's thread could not start."));
            return;
        }
        ++unanswered_;
    }
    work_.notify_one();
}

void Host::Serve(unsigned number) {
    try {
        zfw::NameThread(::GetCurrentThread(),
                        (L"zarn-bridge call " + std::to_wstring(number)).c_str());
    } catch (...) {
        // Nameless, it serves all the same.
    }
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        work_.wait(hold, [this] { return closing_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        const std::shared_ptr<Call> call = std::move(waiting_.front());
        waiting_.pop_front();
        hold.unlock();
        RunCall(*call);
        hold.lock();
        --unanswered_;
        finished_.notify_all();
    }
}

const std::wstring& Host::TransferSetup() {
    std::call_once(transferSetup_, [this] {
        AllowTransferAnswers();
        LogJobLimits();
        installFolder_ = ResolveInstallFolder();
    });
    return installFolder_;
}

Host::Answer Host::Execute(Call& call) {
    const std::vector<std::wstring>& p = call.params;
    const auto result = [&](std::optional<long> value) {
        return Answer{ResultReply(call.id, value), {}};
    };
    const auto error = [&](ErrorCode code, std::wstring_view message) {
        return Answer{ErrorReply(call.id, code, message), {}};
    };
    try {
        switch (call.method) {
        case Method::Hello:
            // A page of the service greets the host: the look for a newer
            // program starts, in the background.
            programUpdate_.Start();
            return {HelloReply(call.id, ModuleFileVersion(), sizeof(void*) == 8 ? "x64" : "x86",
                               programUpdate_.Available()),
                    {}};
        case Method::CheckInstall:
            // The installation check happens inside DownLoad and UpLoad.
            return result(std::nullopt);
        case Method::DownLoad:
        case Method::UpLoad: {
            const bool down = call.method == Method::DownLoad;
            const TransferResult done =
                RunTransfer(TransferSetup(), reinterpret_cast<WPARAM>(this),
                            down ? kDownloadProgram : kUploadProgram, down ? L"DownLoad" : L"UpLoad",
                            p[0], p[1], p[2]);
            // Silence here would read as a transfer handed off: the page is
            // told that the programs are being updated by another window.
            if (done == TransferResult::UpdateRunning)
                return error(ErrorCode::UpdateRunning, kUpdateRunningText);
            return result(down ? std::nullopt : std::optional<long>(UpLoadResult(done)));
        }
        case Method::ShowDlgFile:
        case Method::ShowDlgFolder: {
            EventSink sink(*this, call);
            try {
                if (call.method == Method::ShowDlgFile)
                    PickFiles(sink);
                else
                    PickFolder(nullptr, sink);
            } catch (const Ended&) {
                // Nobody reads the rest.
            }
            if (sink.tooLarge()) return error(ErrorCode::TooLarge, kEventTooLarge);
            return result(0);
        }
        case Method::SelectComplete: {
            // The event goes out with its reply, in one write.
            std::string event = SelectionEvent(call.id, p[0], p[1], p[2]);
            if (event.size() > kMaxOutgoingBytes) return error(ErrorCode::TooLarge, kEventTooLarge);
            return {ResultReply(call.id, 0), std::move(event)};
        }
        case Method::MakeShortCut: {
            const std::lock_guard<std::mutex> one(shortcut_);
            MakeDesktopShortcut(nullptr, p[0], p[1]);
            return result(0);
        }
        case Method::AllowPopUp:
            // The page's text as it is: the control passes the BSTR on.
            AllowPopUpsFrom(p[0].c_str());
            return result(0);
        }
    } catch (...) {
        // The control's words for the same failure, from the same mapping.
        return zfw::ReportCurrentFailure([&](HRESULT, std::wstring_view text) {
            return error(ErrorCode::Internal, text);
        });
    }
    return error(ErrorCode::Internal, L"Unexpected error.");
}

void Host::RunCall(Call& call) {
    call.threadId = ::GetCurrentThreadId();
    Answer answer;
    try {
        // The shell's dialogs and shortcuts need a single-threaded apartment
        // with OLE (the folder browser's new style).
        const HRESULT ole = ::OleInitialize(nullptr);
        {
            const FrontHook front(placeNear_);
            answer = Execute(call);
        }
        if (SUCCEEDED(ole)) ::OleUninitialize();
    } catch (...) {
        // Execute answers every failure of the call itself.
    }
    // The page may take the id again as soon as it has the reply.
    {
        const std::lock_guard<std::mutex> hold(lock_);
        running_.erase(call.id);
    }
    try {
        if (answer.reply.empty())
            Reply(call.id, ErrorReply(call.id, ErrorCode::Internal, L"Out of memory."));
        else
            Reply(call.id, answer.reply, answer.event);
    } catch (...) {
        // Out of memory for the reply itself: the call still ends.
    }
}

void Host::CancelPickers() {
    for (const auto& [id, call] : running_) {
        const DWORD thread = call->threadId;
        if (IsPicker(call->method) && thread != 0) ::EnumThreadWindows(thread, CancelWindow, 0);
    }
}

void Host::Finish() {
    {
        // Under the lock, so that a walk waiting for acknowledgements sees it.
        const std::lock_guard<std::mutex> hold(lock_);
        ending_ = true;
    }
    acked_.notify_all();
    ModalCall::StopAll();
    {
        std::unique_lock<std::mutex> hold(lock_);
        while (unanswered_ > 0) {
            // Again on every round: a picker may open its window only after
            // the first look.
            CancelPickers();
            finished_.wait_for(hold, std::chrono::milliseconds(100));
        }
    }
    JoinThreads();
}

void Host::JoinThreads() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        closing_ = true;
    }
    work_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
}

}  // namespace zarn::bridge
