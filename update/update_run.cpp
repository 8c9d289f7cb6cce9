#include "update/update_run.h"

#include "framework/com.h"

#include <new>

namespace zarn {

UpdateRun::UpdateRun(DWORD reportGraceMs)
    : m_reportGraceMs(reportGraceMs),
      m_endedEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!m_endedEvent) throw std::bad_alloc();
}

bool UpdateRun::ClaimEnd() noexcept {
    if (m_ended.exchange(true)) return false;
    ::SetEvent(m_endedEvent.get());
    return true;
}

bool UpdateRun::WaitEnded(DWORD ms) const noexcept {
    return ::WaitForSingleObject(m_endedEvent.get(), ms) == WAIT_OBJECT_0;
}

void UpdateRun::Finish(INT_PTR result, Notice notice) {
    if (ClaimEnd()) RequestEnd(result, notice);
}

void UpdateRun::RequestEnd(INT_PTR result, Notice notice) {
    // The dialog's window lives until it handles this request: only the
    // holder of the claim ends it.
    if (!::PostMessageW(m_dialog, WM_STAGE_END, static_cast<WPARAM>(result),
                        static_cast<LPARAM>(notice)))
        ::EndDialog(m_dialog, result);  // a full queue must not leave the page waiting
}

void UpdateRun::Post(UINT message, WPARAM wParam) {
    if (!Ended()) ::PostMessageW(m_dialog, message, wParam, 0);
}

bool UpdateRun::StartThread(LPTHREAD_START_ROUTINE entry) {
    auto start = std::make_unique<UpdateThreadStart>();
    start->run = shared_from_this();
    // The thread keeps its own reference on the module that holds its code,
    // so that a page that lets go of the control meanwhile cannot unload it.
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(entry), &start->module))
        return false;
    // And the module answers DllCanUnloadNow with S_FALSE until it ends.
    zfw::ModuleLock();
    zfw::unique_handle thread(::CreateThread(nullptr, 0, entry, start.get(), 0, nullptr));
    if (!thread) {
        zfw::ModuleUnlock();
        ::FreeLibrary(start->module);
        return false;
    }
    (void)start.release();  // the thread owns it now
    const std::lock_guard lock(m_threadsLock);
    m_threads.push_back(std::move(thread));
    return true;
}

void UpdateRun::WaitForThreads(DWORD timeoutMs, bool dispatchAll) {
    const DWORD started = ::GetTickCount();
    bool quit = false;
    WPARAM quitCode = 0;
    // A thread may start another (the download thread starts the install
    // progress thread), so take what is registered until nothing is left.
    for (bool timedOut = false; !timedOut;) {
        std::vector<zfw::unique_handle> pending;
        {
            const std::lock_guard lock(m_threadsLock);
            pending.swap(m_threads);
        }
        if (pending.empty()) break;
        for (const auto& thread : pending) {
            for (;;) {
                const DWORD spent = ::GetTickCount() - started;
                if (spent >= timeoutMs) {
                    timedOut = true;
                    break;
                }
                HANDLE handle = thread.get();
                const DWORD wait = ::MsgWaitForMultipleObjects(
                    1, &handle, FALSE, timeoutMs - spent,
                    dispatchAll && !quit ? QS_ALLINPUT : QS_SENDMESSAGE);
                if (wait != WAIT_OBJECT_0 + 1) break;
                MSG message;
                if (!dispatchAll || quit) {
                    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
                    continue;
                }
                while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                    if (message.message == WM_QUIT) {
                        quit = true;  // for the loop that runs this one
                        quitCode = message.wParam;
                        break;
                    }
                    ::TranslateMessage(&message);
                    ::DispatchMessageW(&message);
                }
            }
            if (timedOut) break;
        }
    }
    if (quit) ::PostQuitMessage(static_cast<int>(quitCode));
}

void RunUpdateThread(void* start, void (*body)(UpdateRun& run)) {
    HMODULE module = nullptr;
    {
        std::unique_ptr<UpdateThreadStart> owned(static_cast<UpdateThreadStart*>(start));
        module = owned->module;
        try {
            body(*owned->run);
        } catch (...) {
            // Out of memory and the like: the run cannot go on.
            owned->run->Finish(IDCANCEL, Notice::None);
        }
    }
    zfw::ModuleUnlock();
    ::FreeLibraryAndExitThread(module, 1);
}

}  // namespace zarn
