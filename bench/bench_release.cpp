// The release check on a large package: the signed manifest checked and the
// package hashed through the file handle the installer's launch holds, as
// the control does it, against a bare BCryptHash loop over the same file in
// the same run. Usage: bench_release.exe [package MiB] [rounds]
#include "update/release_check.h"

#include "common/release.h"
#include "common/rig.h"
#include "framework/handle.h"

#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace zarn;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

zfw::unique_file Open(const std::wstring& path) {
    return zfw::unique_file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// The baseline: BCrypt linked directly, 1 MiB reads, nothing else.
bool BareHash(const std::wstring& path, Sha256Digest& digest) {
    zfw::unique_file file = Open(path);
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!file || ::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        return false;
    ::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
    std::vector<UCHAR> block(1 << 20);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr) ||
            read == 0)
            break;
        ::BCryptHashData(hash, block.data(), read, 0);
    }
    const bool ok = ::BCryptFinishHash(hash, digest.data(), 32, 0) == 0;
    ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const int mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 256;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::wstring path = rig::ScratchDir(L"bench-release") + L"\\package.bin";
    std::string package(static_cast<size_t>(mib) << 20, '\0');
    for (size_t i = 0; i < package.size(); i += 4096) package[i] = static_cast<char>(i >> 12);
    {
        zfw::unique_file out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           0, nullptr));
        for (size_t done = 0; done < package.size(); done += 1 << 20) {
            DWORD written = 0;
            ::WriteFile(out.get(), package.data() + done, 1 << 20, &written, nullptr);
        }
    }
    const std::string version = "bench 1.0";
    const std::string manifest = rig::release::Manifest(1, version, package);
    const std::string signature = rig::release::Sign(manifest);
    package.clear();
    package.shrink_to_fit();

    std::vector<double> checked, bare;
    for (int i = 0; i < rounds; ++i) {
        Sha256Digest baseline{};
        auto start = Clock::now();
        if (!BareHash(path, baseline)) {
            std::printf("bare hash failed\n");
            return 1;
        }
        bare.push_back(Ms(start));

        start = Clock::now();
        const auto cng = Cng::Load();
        ReleaseManifest verified;
        const ReleaseFault fault =
            CheckRelease(cng.get(), ReleaseKeys(), manifest, signature, version, 0, verified);
        zfw::unique_file held = Open(path);
        Sha256Digest digest{};
        const bool hashed = held && cng && cng->DigestFile(held.get(), digest);
        checked.push_back(Ms(start));
        if (fault != ReleaseFault::None || !hashed || digest != verified.sha256 ||
            digest != baseline) {
            std::printf("the release check failed: %ls\n", ReleaseFaultReason(fault));
            return 1;
        }
    }
    std::printf("release check, %d MiB package (manifest, signature, SHA-256): median %.0f ms\n",
                mib, Median(checked));
    std::printf("bare BCryptHash loop over the same file: median %.0f ms\n", Median(bare));
    std::printf("ratio check / bare hash: %.2f\n", Median(checked) / Median(bare));
    ::DeleteFileW(path.c_str());
    return 0;
}
