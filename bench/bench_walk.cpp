// Walk speed and memory.
//
//   bench_walk.exe generate <root> <files> <folders>   builds a tree: <folders>
//       folders in two levels, the files spread evenly over them
//   bench_walk.exe speed <root> [rounds]     FolderWalk into a counting C++ sink
//       against a bare recursive FindFirstFileExW listing (basic information,
//       large fetch) and against the two-pass FindFirstFileW listing, in turn
//   bench_walk.exe memory <root>             one FolderWalk, then the process's
//       peak working set (run once per tree, in a fresh process)
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "framework/handle.h"
#include "select/folder_walk.h"

namespace {

class CountingSink final : public zarn::SelectionSink {
public:
    size_t items = 0;
    size_t pathUnits = 0;
    void Report(std::wstring_view path, std::wstring_view, std::wstring_view) override {
        ++items;
        pathUnits += path.size();
    }
};

// The floor: every entry read once, nothing reported.
size_t BareListing(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    zfw::unique_find search(::FindFirstFileExW((folder + L"\\*.*").c_str(), FindExInfoBasic, &data,
                                               FindExSearchNameMatch, nullptr,
                                               FIND_FIRST_EX_LARGE_FETCH));
    if (!search) return 0;
    size_t count = 0;
    std::vector<std::wstring> subfolders;
    do {
        if (!wcscmp(data.cFileName, L".") || !wcscmp(data.cFileName, L"..")) continue;
        ++count;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) subfolders.push_back(data.cFileName);
    } while (::FindNextFileW(search.get(), &data));
    search.reset();
    for (const auto& name : subfolders) count += BareListing(folder + L"\\" + name);
    return count;
}

// Each folder read twice, as the plain algorithm does.
size_t TwoPassListing(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    size_t count = 0;
    const std::wstring pattern = folder + L"\\*.*";
    for (int pass = 0; pass < 2; ++pass) {
        zfw::unique_find search(::FindFirstFileW(pattern.c_str(), &data));
        for (bool more = bool(search); more; more = ::FindNextFileW(search.get(), &data)) {
            if (!wcscmp(data.cFileName, L".") || !wcscmp(data.cFileName, L"..")) continue;
            const bool dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (pass == 0 && dir) count += 1 + TwoPassListing(folder + L"\\" + data.cFileName);
            if (pass == 1 && !dir) ++count;
        }
    }
    return count;
}

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

template <typename F>
double Time(F&& f) {
    LARGE_INTEGER a, b;
    ::QueryPerformanceCounter(&a);
    f();
    ::QueryPerformanceCounter(&b);
    return Seconds(a, b);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int Generate(const std::wstring& root, size_t files, size_t folders) {
    ::CreateDirectoryW(root.c_str(), nullptr);
    const size_t top = std::max<size_t>(1, folders / 100);
    std::vector<std::wstring> leaves;
    for (size_t t = 0; t < top; ++t) {
        const std::wstring upper = root + L"\\top" + std::to_wstring(t);
        ::CreateDirectoryW(upper.c_str(), nullptr);
        for (size_t i = 0; i < folders / top; ++i) {
            leaves.push_back(upper + L"\\folder" + std::to_wstring(i));
            ::CreateDirectoryW(leaves.back().c_str(), nullptr);
        }
    }
    for (size_t i = 0; i < files; ++i) {
        const std::wstring path = leaves[i % leaves.size()] + L"\\file" + std::to_wstring(i) + L".dat";
        zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return std::printf("cannot create %ls\n", path.c_str()), 1;
    }
    std::printf("generated %zu files in %zu folders under %ls\n", files, leaves.size() + top,
                root.c_str());
    return 0;
}

int Speed(const std::wstring& root, int rounds) {
    std::vector<double> walk, bare, twoPass;
    size_t walked = 0, listed = 0, listedTwice = 0;
    BareListing(root);  // warm the caches
    for (int r = 0; r < rounds; ++r) {
        bare.push_back(Time([&] { listed = BareListing(root); }));
        walk.push_back(Time([&] {
            CountingSink sink;
            zarn::FolderWalk(sink, root).Run(root);
            walked = sink.items;
        }));
        twoPass.push_back(Time([&] { listedTwice = TwoPassListing(root); }));
    }
    const double w = Median(walk), b = Median(bare), t = Median(twoPass);
    std::printf("items: walk %zu, bare listing %zu, two-pass %zu\n", walked, listed, listedTwice);
    std::printf("median of %d: walk %.3f s, bare listing %.3f s, two-pass %.3f s\n", rounds, w, b, t);
    std::printf("walk / bare listing = %.2f; two-pass / bare listing = %.2f\n", w / b, t / b);
    std::printf("walk: %.0f items per second into a C++ sink\n", double(walked) / w);
    return 0;
}

int Memory(const std::wstring& root) {
    CountingSink sink;
    zarn::FolderWalk(sink, root).Run(root);
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    std::printf("items %zu, peak working set %zu KiB\n", sink.items,
                static_cast<size_t>(counters.PeakWorkingSetSize / 1024));
    return 0;
}

}  // namespace

int main() {
    int argc = 0;
    zfw::unique_localmem args(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    wchar_t** argv = static_cast<wchar_t**>(args.get());
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"generate" && argc == 5)
        return Generate(argv[2], std::wcstoul(argv[3], nullptr, 10), std::wcstoul(argv[4], nullptr, 10));
    if (mode == L"speed" && argc >= 3) return Speed(argv[2], argc > 3 ? _wtoi(argv[3]) : 5);
    if (mode == L"memory" && argc == 3) return Memory(argv[2]);
    std::printf("usage: bench_walk generate <root> <files> <folders> | speed <root> [rounds] | "
                "memory <root>\n");
    return 2;
}
