// Package download throughput, and where its time goes: in the same rounds,
// a plain WinINet loop (64 KiB reads straight into a file, no progress), the
// request's own reads alone (HttpFile, nothing kept), HttpDownloadFile without
// a progress display and HttpDownloadFile with live progress controls. Also
// the cost of handing one read job to a helper thread and back.
//
// Needs the update server stand-in serving this build's web root (as the test
// fixture starts it; see README). Usage: bench_http_download.exe [MiB] [rounds]
// (by default 64 MiB, 7 rounds).
#include "update/http.h"
#include "update/internet_file.h"

#include "common/rig.h"
#include "common/updateserver.h"
#include "common/plain_download.h"
#include "framework/handle.h"

#include "figure.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace zarn;

namespace {

namespace server = rig::updateserver;
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// A label and a progress bar owned by a thread of their own, which draws the
// progress the download, on the caller's thread, posts to it.
class ProgressThread : public ProgressSink {
public:
    ProgressThread() {
        thread_ = std::thread([this] { Run(); });
        while (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~ProgressThread() {
        ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    void DownloadProgress(DWORD received, DWORD total) override {
        ::PostThreadMessageW(threadId_, kProgressMessage, received, static_cast<LPARAM>(total));
    }

private:
    void Run() {
        INITCOMMONCONTROLSEX init{sizeof(init), ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&init);
        zfw::unique_hwnd frame(::CreateWindowExW(0, L"STATIC", L"bench",
                                                 WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 120,
                                                 nullptr, nullptr, nullptr, nullptr));
        label_ = ::CreateWindowExW(0, L"STATIC", L"0KB/0KB", WS_CHILD | WS_VISIBLE | SS_RIGHT, 10,
                                   10, 300, 20, frame.get(), nullptr, nullptr, nullptr);
        bar_ = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 10,
                                 40, 300, 20, frame.get(), nullptr, nullptr, nullptr);
        ProgressDisplay display(label_, bar_);
        threadId_ = ::GetCurrentThreadId();
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue, before any post
        ready_ = true;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (!message.hwnd && message.message == kProgressMessage)
                display.Show(static_cast<DWORD>(message.wParam),
                             static_cast<DWORD>(message.lParam));
            else
                ::DispatchMessageW(&message);
        }
    }

    static constexpr UINT kProgressMessage = WM_APP + 20;

    std::thread thread_;
    std::atomic<bool> ready_{false};
    DWORD threadId_ = 0;
    HWND label_ = nullptr;
    HWND bar_ = nullptr;
};

// The request's reads alone, in the download's 64 KiB blocks: what the
// helper thread and the read jobs cost, without the file or the progress.
bool ReadsOnly(const std::wstring& url, size_t expected) {
    try {
        InternetSession session;
        HttpFile reply = session.OpenUrl(url, std::wstring(kRequestHeaders), kRequestFlags,
                                         kDownloadLimits);
        std::vector<BYTE> block(64 * 1024);
        size_t total = 0;
        while (const size_t n = reply.Read(block.data(), block.size())) total += n;
        return total == expected;
    } catch (const InternetError&) {
        return false;
    }
}

// One job handed to another thread and back, as a read job is: a slim
// reader/writer lock and a condition variable. Returns microseconds per
// round trip.
double HandOffMicroseconds(int trips) {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    int job = 0;  // 1: to do, 2: done, 3: quit
    std::thread helper([&] {
        ::AcquireSRWLockExclusive(&lock);
        for (;;) {
            while (job != 1 && job != 3) ::SleepConditionVariableSRW(&changed, &lock, INFINITE, 0);
            if (job == 3) break;
            job = 2;
            ::WakeAllConditionVariable(&changed);
        }
        ::ReleaseSRWLockExclusive(&lock);
    });
    const auto start = Clock::now();
    ::AcquireSRWLockExclusive(&lock);
    for (int i = 0; i < trips; ++i) {
        job = 1;
        ::WakeAllConditionVariable(&changed);
        while (job != 2) ::SleepConditionVariableSRW(&changed, &lock, INFINITE, 0);
    }
    job = 3;
    ::WakeAllConditionVariable(&changed);
    ::ReleaseSRWLockExclusive(&lock);
    const double ms = Ms(start);
    helper.join();
    return ms * 1000.0 / trips;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    if (mebibytes == 0 || rounds <= 0) return 2;

    std::string body(mebibytes * 1024 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 2654435761u >> 24);
    server::PutFile(L"bench.bin", body);
    const size_t size = body.size();
    body.clear();
    body.shrink_to_fit();
    const std::wstring url = server::Url(L"bench.bin");
    const std::wstring target = rig::ScratchDir(L"bench") + L"\\bench.bin";

    ProgressThread progress;
    std::vector<double> plain, reads, file, shown;
    bench::Figure figure("http_download_vs_plain", 1.1);
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        if (!rig::PlainDownload(url, target)) {
            std::fprintf(stderr, "plain download failed: is the update server running?\n");
            return 1;
        }
        plain.push_back(Ms(start));
        start = Clock::now();
        if (!ReadsOnly(url, size)) {
            std::fprintf(stderr, "the request's reads failed\n");
            return 1;
        }
        reads.push_back(Ms(start));
        start = Clock::now();
        if (HttpDownloadFile(nullptr, url, target) != kDownloadComplete) {
            std::fprintf(stderr, "HttpDownloadFile failed\n");
            return 1;
        }
        file.push_back(Ms(start));
        start = Clock::now();
        if (HttpDownloadFile(&progress, url, target) != kDownloadComplete) {
            std::fprintf(stderr, "HttpDownloadFile with progress failed\n");
            return 1;
        }
        shown.push_back(Ms(start));
        figure.Add(shown.back(), plain.back());
        std::printf("round %d: plain %.0f ms, reads only %.0f ms, + file %.0f ms, + progress "
                    "%.0f ms (x%.2f)\n",
                    round + 1, plain.back(), reads.back(), file.back(), shown.back(),
                    shown.back() / plain.back());
    }
    const double floor = Median(plain);
    std::printf("%zu MiB, medians of %d: plain %.0f ms (%.0f MiB/s); the request's reads %.0f ms "
                "(x%.2f); with the file %.0f ms (x%.2f); with the progress %.0f ms (x%.2f)\n",
                mebibytes, rounds, floor, mebibytes * 1000.0 / floor, Median(reads),
                Median(reads) / floor, Median(file), Median(file) / floor, Median(shown),
                Median(shown) / floor);
    std::printf("one read job handed to the helper thread and back: %.1f us\n",
                HandOffMicroseconds(20000));
    figure.Print();
    return 0;
}
