// The installation gate when everything is current, against a plain WinINet
// fetch of the version file in the same run; and the package download through
// the real update dialog, against plain downloads of the same package.
//
// Needs the update server stand-in serving this build's web root (as the test
// fixture starts it). Usage: bench_gate.exe [rounds] [package MiB]
#include "update/http.h"
#include "update/installation_gate.h"

#include "common/release.h"
#include "common/rig.h"
#include "common/updateserver.h"
#include "common/plain_download.h"
#include "framework/handle.h"
#include "update_rig.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int packageMiB = argc > 2 ? std::max(1, std::atoi(argv[2])) : 32;
    HMODULE resources = ::LoadLibraryW(rig::ModulePath().c_str());
    if (!resources) {
        std::printf("cannot load %s\n", rig::Utf8(rig::ModulePath()).c_str());
        return 1;
    }
    const std::wstring folder = update_rig::InstallFolder();
    const std::wstring scratch = rig::ScratchDir(L"bench-gate");

    // ---- the gate when the programs are current
    update_rig::Publish("bench 1.0");
    update_rig::SetInstalledVersion(L"bench 1.0");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    if (!update_rig::ProgramInstalled())
        ::CopyFileW((rig::BuildDir() + L"\\zarn_setup_placeholder.exe").c_str(),
                        (folder + L"Zarn_download.exe").c_str(), FALSE);
    std::vector<double> gate, plain;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        const bool passed = RunInstallationGate(folder, kInstallerReportGraceMs, resources);
        gate.push_back(Ms(start));
        if (!passed) {
            std::printf("the gate refused in round %d\n", i);
            return 1;
        }
        start = Clock::now();
        if (!rig::PlainDownload(server::Url(L"version.ini"), scratch + L"\\version.ini")) {
            std::printf("plain fetch failed\n");
            return 1;
        }
        plain.push_back(Ms(start));
    }
    const double gateMs = Median(gate), plainMs = Median(plain);
    std::printf("gate, programs current: median %.1f ms over %d calls\n", gateMs, rounds);
    std::printf("plain WinINet fetch of version.ini: median %.1f ms\n", plainMs);
    std::printf("ratio gate / plain fetch: %.2f\n", gateMs / plainMs);

    // ---- the package through the real dialog: the installer padded to size
    std::string package = update_rig::SetupBytes();
    package.resize(static_cast<size_t>(packageMiB) << 20, '\0');
    rig::release::Publish("bench 1.0", package);
    const double mib = static_cast<double>(package.size()) / (1 << 20);
    std::vector<double> dialogRates;
    for (int i = 0; i < 3; ++i) {
        update_rig::ForgetInstallation();
        update_rig::SetSetupMode(L"report2");
        update_rig::Watcher watcher(20);
        const bool passed = RunInstallationGate(folder, kInstallerReportGraceMs, resources);
        watcher.Stop();
        if (!passed || !watcher.downloadDoneTick) {
            std::printf("the dialog run %d failed\n", i);
            return 1;
        }
        dialogRates.push_back(mib * 1000.0 / (watcher.downloadDoneTick - watcher.downloadFirstTick));
    }
    std::vector<double> helperRates, plainRates;
    for (int i = 0; i < 3; ++i) {
        auto start = Clock::now();
        HttpDownloadFile(nullptr, server::Url(L"install.zip"), scratch + L"\\helper.bin");
        helperRates.push_back(mib * 1000.0 / Ms(start));
        start = Clock::now();
        rig::PlainDownload(server::Url(L"install.zip"), scratch + L"\\plain.bin");
        plainRates.push_back(mib * 1000.0 / Ms(start));
    }
    std::printf("package %.0f MiB through the update dialog (download with progress and size "
                "check): median %.1f MiB/s\n", mib, Median(dialogRates));
    std::printf("HttpDownloadFile without progress: median %.1f MiB/s\n", Median(helperRates));
    std::printf("plain WinINet, 64 KiB reads: median %.1f MiB/s\n", Median(plainRates));
    std::printf("ratio dialog / plain: %.2f\n", Median(dialogRates) / Median(plainRates));
    update_rig::Publish("bench 1.0");
    return 0;
}
