// Package download throughput: HttpDownloadFile with live progress controls
// against a plain WinINet loop (64 KiB reads, no progress) in the same run.
//
// Needs the update server stand-in serving this build's web root (as the test
// fixture starts it; see README). Usage: bench_http_download.exe [MiB] [rounds]
#include "update/http.h"

#include "common/rig.h"
#include "common/updateserver.h"
#include "common/plain_download.h"
#include "framework/handle.h"

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

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}


// A label and a progress bar owned by a thread of their own, which serves
// them while the download runs on the caller's thread.
class ProgressThread : public ProgressOwner {
public:
    ProgressThread() {
        thread_ = std::thread([this] { Run(); });
        while (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~ProgressThread() {
        ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND SizeLabel() const override { return label_; }
    HWND DownloadBar() const override { return bar_; }

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
        threadId_ = ::GetCurrentThreadId();
        ready_ = true;
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    }

    std::thread thread_;
    std::atomic<bool> ready_{false};
    DWORD threadId_ = 0;
    HWND label_ = nullptr;
    HWND bar_ = nullptr;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (mebibytes == 0 || rounds <= 0) return 2;

    std::string body(mebibytes * 1024 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 2654435761u >> 24);
    server::PutFile(L"bench.bin", body);
    const std::wstring url = server::Url(L"bench.bin");
    const std::wstring target = rig::ScratchDir(L"bench") + L"\\bench.bin";

    ProgressThread progress;
    std::vector<double> plain, ours;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        if (!rig::PlainDownload(url, target)) {
            std::fprintf(stderr, "plain download failed: is the update server running?\n");
            return 1;
        }
        plain.push_back(Seconds(start));
        start = Clock::now();
        if (HttpDownloadFile(&progress, url, target) != L"YES") {
            std::fprintf(stderr, "HttpDownloadFile failed\n");
            return 1;
        }
        ours.push_back(Seconds(start));
        std::printf("round %d: plain %.3f s, HttpDownloadFile with progress %.3f s (x%.2f)\n",
                    round + 1, plain.back(), ours.back(), ours.back() / plain.back());
    }
    std::printf("%zu MiB, median of %d: plain %.3f s (%.1f MiB/s), ours %.3f s (%.1f MiB/s), "
                "ratio %.2f\n",
                mebibytes, rounds, Median(plain), mebibytes / Median(plain), Median(ours),
                mebibytes / Median(ours), Median(ours) / Median(plain));
    return 0;
}
