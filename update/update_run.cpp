#include "update/update_run.h"

#include "framework/com.h"
#include "framework/thread_name.h"

#include <new>

namespace {

// How long the removal of the run's folder waits for an installer that is
// still running from it (its file cannot go before it has exited).
constexpr DWORD kInstallerExitWaitMs = 3000;

}  // namespace

namespace zarn {

UpdateRun::UpdateRun(DWORD reportGraceMs)
    : m_reportGraceMs(reportGraceMs),
      m_endedEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!m_endedEvent) throw std::bad_alloc();
}

UpdateRun::~UpdateRun() {
    if (m_installer && m_plan.setupFolder)
        ::WaitForSingleObject(m_installer.get(), kInstallerExitWaitMs);
    m_plan.setupFolder.reset();
}

namespace {

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

void UpdateRun::LaunchStarting() {
    const std::lock_guard lock(m_installerLock);
    m_launch = Launch::UnderWay;
}

void UpdateRun::InstallerStarted(zfw::unique_handle process) {
    {
        const std::lock_guard lock(m_installerLock);
        m_installer = std::move(process);
        m_launch = Launch::Done;
    }
    Post(WM_INSTALLER_STARTED);
}

HANDLE UpdateRun::Installer() const {
    const std::lock_guard lock(m_installerLock);
    return m_installer.get();
}

UpdateRun::ReportVerdict UpdateRun::JudgeReport(ULONGLONG arrival) {
    const std::lock_guard lock(m_installerLock);
    if (m_reported) return ReportVerdict::Ignore;
    // Before the launch nothing of ours can report; while it is under way
    // the installer may already run (and report) before its process is known.
    if (m_launch == Launch::NotYet) return ReportVerdict::Ignore;
    if (m_launch == Launch::UnderWay) return ReportVerdict::Hold;
    if (m_installer && ::WaitForSingleObject(m_installer.get(), 0) != WAIT_TIMEOUT) {
        // Exited: a process it handed over to may still report, for as long
        // as the run waits for one (in 100 ns units).
        FILETIME created{}, exited{}, kernel{}, user{};
        if (!::GetProcessTimes(m_installer.get(), &created, &exited, &kernel, &user))
            return ReportVerdict::Ignore;
        const ULONGLONG since = arrival > Ticks(exited) ? arrival - Ticks(exited) : 0;
        if (since > static_cast<ULONGLONG>(m_reportGraceMs) * 10000) return ReportVerdict::Ignore;
    }
    m_reported = true;
    return ReportVerdict::Accept;
}

bool UpdateRun::JudgeHeldReport(ULONGLONG arrival) {
    const std::lock_guard lock(m_installerLock);
    if (m_reported || m_launch != Launch::Done) return false;
    if (m_installer) {
        FILETIME created{}, exited{}, kernel{}, user{};
        if (!::GetProcessTimes(m_installer.get(), &created, &exited, &kernel, &user) ||
            arrival < Ticks(created))
            return false;
    }
    m_reported = true;
    return true;
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
    m_endResult = result;
    m_endNotice = notice;
    m_endRequested = true;
    if (!::PostMessageW(m_dialog, WM_STAGE_END, 0, 0))
        ::EndDialog(m_dialog, result);  // a full queue must not leave the page waiting
}

std::optional<std::pair<INT_PTR, Notice>> UpdateRun::TakeEndRequest() {
    if (!m_endRequested.exchange(false)) return std::nullopt;
    return std::pair(m_endResult, m_endNotice);
}

void UpdateRun::Post(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!Ended()) ::PostMessageW(m_dialog, message, wParam, lParam);
}

void UpdateRun::DownloadProgress(DWORD received, DWORD total) {
    // A report lost to a full queue is made good by the next one.
    Post(WM_DOWNLOAD_PROGRESS, received, static_cast<LPARAM>(total));
}

bool UpdateRun::StartThread(LPTHREAD_START_ROUTINE entry, const wchar_t* name) {
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
    zfw::NameThread(thread.get(), name);
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
