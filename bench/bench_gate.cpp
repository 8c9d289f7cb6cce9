// The installation gate when everything is current, against a plain WinINet
// fetch of the version file in the same run; and the package download through
// the real update dialog, against plain downloads of the same package.
//
// Needs the update server stand-in serving this build's web root (as the test
// fixture starts it). Usage: bench_gate.exe [gate rounds] [package rounds] [package MiB...]
// (by default 11 gate rounds of 15 gates and 15 fetches each, 11 package
// rounds, at 32 and 256 MiB; 0 package rounds measures the gate alone).
#include "update/http.h"
#include "update/installation_gate.h"

#include "common/release.h"
#include "common/rig.h"
#include "common/updateserver.h"
#include "common/plain_download.h"
#include "framework/handle.h"
#include "common/update.h"

#include "figure.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace zarn;

namespace {

namespace server = rig::updateserver;
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The plain 64 KiB WinINet loop of rig::PlainDownload, timed whole and from
// the read that brought the first percent of `size`: the dialog's figure
// starts at its first progress, after the request and the first percent, so
// its floor starts there too.
struct PlainTimes {
    double wholeMs = 0;
    double fromFirstPercentMs = 0;
};

std::optional<PlainTimes> TimedPlainDownload(const std::wstring& url, const std::wstring& path,
                                             size_t size) {
    const auto start = Clock::now();
    zfw::unique_hinternet session(
        ::InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    const std::wstring headers(kRequestHeaders);
    zfw::unique_hinternet request(::InternetOpenUrlW(session.get(), url.c_str(), headers.c_str(),
                                                     static_cast<DWORD>(headers.size()),
                                                     kRequestFlags, 1));
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!request || !file) return std::nullopt;
    std::vector<BYTE> buffer(64 * 1024);
    size_t received = 0;
    std::optional<Clock::time_point> firstPercent;
    for (;;) {
        DWORD got = 0, written = 0;
        if (!::InternetReadFile(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                &got))
            return std::nullopt;
        if (got == 0) break;
        received += got;
        if (!firstPercent && received * 100 >= size) firstPercent = Clock::now();
        if (!::WriteFile(file.get(), buffer.data(), got, &written, nullptr)) return std::nullopt;
    }
    if (received != size || !firstPercent) return std::nullopt;
    return PlainTimes{Ms(start), Ms(*firstPercent)};
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    const int packageRounds = argc > 2 ? std::max(0, std::atoi(argv[2])) : 11;
    std::vector<int> sizes;
    for (int i = 3; i < argc; ++i) sizes.push_back(std::max(1, std::atoi(argv[i])));
    if (sizes.empty()) sizes = {32, 256};
    if (packageRounds == 0) sizes.clear();
    HMODULE resources = ::LoadLibraryW(rig::ModulePath().c_str());
    if (!resources) {
        std::printf("cannot load %s\n", rig::Utf8(rig::ModulePath()).c_str());
        return 1;
    }
    const std::wstring folder = rig::update::InstallFolder();
    const std::wstring scratch = rig::ScratchDir(L"bench-gate");

    // ---- the gate when the programs are current
    rig::update::Publish("bench 1.0");
    rig::update::SetInstalledVersion(L"bench 1.0");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    if (!rig::update::ProgramInstalled())
        ::CopyFileW((rig::BuildDir() + L"\\Zarn_download.exe").c_str(),
                        (folder + L"Zarn_download.exe").c_str(), FALSE);
    // The gate and its floor take turns call by call (gate, fetch, fetch,
    // gate, ...), and a round compares the medians of its calls: calls of a
    // few milliseconds between processes run at one speed or another as the
    // scheduler places their two ends, and a single pair can meet both.
    constexpr int kGatePairsPerRound = 15;
    bench::Figure gateFigure("gate_vs_plain_fetch", 1.25);
    std::vector<double> gate, plain;
    for (int round = 0; round < rounds; ++round) {
        std::vector<double> roundGate, roundPlain;
        for (int turn = 0; turn < 2 * kGatePairsPerRound; ++turn) {
            const auto start = Clock::now();
            if (turn % 4 == 0 || turn % 4 == 3) {
                if (!RunInstallationGate(folder, kInstallerReportGraceMs, resources)) {
                    std::printf("the gate refused in round %d\n", round + 1);
                    return 1;
                }
                roundGate.push_back(Ms(start));
            } else {
                if (!rig::PlainDownload(server::Url(L"version.ini"), scratch + L"\\version.ini")) {
                    std::printf("plain fetch failed\n");
                    return 1;
                }
                roundPlain.push_back(Ms(start));
            }
        }
        gateFigure.Add(Median(roundGate), Median(roundPlain));
        gate.insert(gate.end(), roundGate.begin(), roundGate.end());
        plain.insert(plain.end(), roundPlain.begin(), roundPlain.end());
    }
    std::printf("gate, programs current: median %.1f ms over %zu calls\n", Median(gate),
                gate.size());
    std::printf("plain WinINet fetch of version.ini: median %.1f ms\n", Median(plain));
    gateFigure.Print();

    // ---- the package through the real dialog: the installer padded to size
    for (const int packageMiB : sizes) {
        const size_t packageBytes = static_cast<size_t>(packageMiB) << 20;
        std::string package = rig::update::SetupBytes();
        package.resize(packageBytes, '\0');
        rig::release::Publish("bench 1.0", package);
        package.clear();
        package.shrink_to_fit();
        const std::string name = "package_" + std::to_string(packageMiB) + "MiB_vs_plain";
        bench::Figure figure(name.c_str(), 1.25);
        // The dialog's fixed cost, which the ratio hides: at small sizes the
        // figure's window is a few tens of milliseconds.
        std::vector<double> toFirstProgress, afterLastByte;
        for (int i = 0; i < packageRounds; ++i) {
            rig::update::ForgetInstallation();
            rig::update::SetSetupMode(L"report2");
            const auto start = Clock::now();
            rig::update::Watcher watcher(20);
            const bool passed = RunInstallationGate(folder, kInstallerReportGraceMs, resources);
            watcher.Stop();
            if (!passed || !watcher.downloadFirstMoved || !watcher.downloadFull ||
                !watcher.downloadDoneShown) {
                std::printf("the dialog run %d failed\n", i);
                return 1;
            }
            // Timed as the dialog's thread was told, not as sampled: a sample
            // every 20 ms was too coarse for a download of 40 ms.
            const auto between = [](Clock::time_point from, Clock::time_point to) {
                return std::chrono::duration<double, std::milli>(to - from).count();
            };
            const double dialogMs =
                between(*watcher.downloadFirstMoved, *watcher.downloadDoneShown);
            toFirstProgress.push_back(between(start, *watcher.downloadFirstMoved));
            afterLastByte.push_back(between(*watcher.downloadFull, *watcher.downloadDoneShown));
            const std::optional<PlainTimes> plain = TimedPlainDownload(
                server::Url(L"install.zip"), scratch + L"\\plain.bin", packageBytes);
            if (!plain) {
                std::printf("plain download failed\n");
                return 1;
            }
            std::printf("%d MiB round %d: gate start to first progress %.0f ms, first progress to "
                        "download done %.0f ms (%.1f ms of it after the last byte); plain 64 KiB "
                        "loop %.0f ms, from its first percent %.0f ms (x%.2f)\n",
                        packageMiB, i + 1, toFirstProgress.back(), dialogMs,
                        afterLastByte.back(), plain->wholeMs, plain->fromFirstPercentMs,
                        dialogMs / plain->fromFirstPercentMs);
            figure.Add(dialogMs, plain->fromFirstPercentMs);
        }
        char note[96];
        std::snprintf(note, sizeof(note), "to_first_progress_ms %.0f after_last_byte_ms %.1f",
                      Median(toFirstProgress), Median(afterLastByte));
        figure.Print(note);
    }
    rig::update::Publish("bench 1.0");
    return 0;
}
