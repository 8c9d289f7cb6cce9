#include "support/modal_call.h"

#include "support/log.h"

#include <atomic>

namespace zarn {
namespace {

// Process-wide: a browser may run pages on several threads, each with its
// own controls, and they share the user's screen and temp folder.
std::atomic<bool> g_modalCallRunning{false};
std::atomic<bool> g_stopped{false};

}  // namespace

ModalCall::ModalCall(const wchar_t* method) noexcept {
    if (g_stopped) {
        ZARN_LOG(L"%s refused: its caller has gone, so nothing new starts", method);
        return;
    }
    claimed_ = !g_modalCallRunning.exchange(true);
    if (!claimed_)
        ZARN_LOG(L"%s refused: another call of the control with a dialog is still running", method);
}

ModalCall::~ModalCall() {
    if (claimed_) g_modalCallRunning = false;
}

void ModalCall::StopAll() noexcept { g_stopped = true; }

bool ModalCall::Stopped() noexcept { return g_stopped; }

}  // namespace zarn
