// The bridge host: the control's eight methods for pages of other browsers,
// asked through the browser extension by native messaging.
//
// The reading thread hands every message to Handle. Requests that answer at
// once (hello, CheckInstall, SelectComplete, AllowPopUp) are answered there;
// the others run on one of the host's call threads, so the host reads on
// while a dialog is open, and a second dialog call meanwhile is refused
// quietly by the same rule as in the control (support/modal_call.h).
//
// The call threads are the host's own: started as calls need them, never
// more than the calls that may run at once, kept for the next call and
// joined when the host ends. A thread that starts and ends with each call
// makes the threading runtime's per-thread bookkeeping churn, and a burst
// of calls could then lose a call's thread or spin it for ever.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/program_update.h"
#include "bridge/wire.h"

namespace zarn::bridge {

class Host {
public:
    // `placeNear` is the browser window dialogs are centred on (may be null).
    Host(FrameWriter& out, HWND placeNear);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // One message as read.
    void Handle(std::string_view message);

    // Answers a frame that broke the framing (id null).
    void AnswerBadFrame();

    // The input has ended: no new dialog opens and no program starts, open
    // pickers are cancelled, and a running update dialog completes its
    // installation. Returns once every running call has replied and the
    // call threads have ended.
    void Finish();

    struct Call;

private:
    class EventSink;
    // A call's reply, and an event that must come just before it (or empty).
    struct Answer {
        std::string reply, event;
    };

    // Writes the reply, after `event` (a frame of the same call, or empty)
    // in the same write.
    void Reply(long id, std::string_view reply, std::string_view event = {});
    // Runs the call (the answer's event only when the call leaves one).
    Answer Execute(Call& call);
    // Hands a call to a call thread, starting one when none is free, or
    // answers it when it cannot run.
    void Start(const std::shared_ptr<Call>& call);
    // A call thread: runs the calls handed to it until the host ends.
    void Serve(unsigned number);
    void RunCall(Call& call);
    void CancelPickers();
    // Ends the call threads once no call is left for them.
    void JoinThreads();
    // What a transfer needs once per process, found at the first one: the
    // host's first answer does not wait for it.
    const std::wstring& TransferSetup();

    FrameWriter& out_;
    const HWND placeNear_;
    // The last origin judged and its verdict (the reading thread's own): a
    // page's requests all carry the same origin, and the rules are fixed.
    std::wstring lastOrigin_;
    bool lastOriginAllowed_ = false;
    std::once_flag transferSetup_;
    std::wstring installFolder_;
    std::atomic<bool> ending_{false};
    // Two MakeShortCut calls write the same files: one runs after the other.
    std::mutex shortcut_;

    std::mutex lock_;
    // A call was handed over, or the threads are to end.
    std::condition_variable work_;
    // A call has replied (signalled under the lock: Finish may then return
    // and the host go).
    std::condition_variable finished_;
    // An acknowledgement came, or the host is ending.
    std::condition_variable acked_;
    // Ids of the calls on call threads, until just before their replies.
    std::map<long, std::shared_ptr<Call>> running_;
    std::deque<std::shared_ptr<Call>> waiting_;  // handed over, not yet taken
    size_t unanswered_ = 0;  // handed over and not yet replied
    bool closing_ = false;
    // Only the reading thread starts and joins them. There are always at
    // least as many as unanswered calls, so a call never waits for one.
    std::vector<std::thread> threads_;
    // A newer program, looked for once a page of the service has greeted
    // the host (never for a refused one).
    ProgramUpdate programUpdate_;
};

}  // namespace zarn::bridge
