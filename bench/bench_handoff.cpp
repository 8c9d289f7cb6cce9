// Hand-off latency with the transfer program already running: the page's
// DownLoad call (through the control's scripting interface) against a bare
// WM_COPYDATA round trip to the same window, in the same run.
//
//   bench_handoff [rounds]   (run under Wine with the module registered)
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/rig.h"
#include "control/identity.h"
#include "framework/handle.h"
#include "figure.h"

namespace {

double NowUs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

struct Stats {
    double median = 0, mean = 0;
};

Stats Summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Stats s;
    s.median = samples[samples.size() / 2];
    for (double v : samples) s.mean += v;
    s.mean /= static_cast<double>(samples.size());
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    constexpr int kPairsPerRound = 300;

    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // The stand-in records nothing here: file writes would swamp the messages.
    ::SetEnvironmentVariableW(L"ZARN_TRANSFER_RECORD", nullptr);
    ::SetEnvironmentVariableW(L"ZARN_TRANSFER_REPLIES", nullptr);
    ::SetEnvironmentVariableW(L"ZARN_TRANSFER_MODE", nullptr);
    DWORD zero = 0;  // no pending install report
    ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Zarn", L"Isinstall", REG_DWORD, &zero, sizeof(zero));

    std::wstring line = L"\"" + rig::BuildDir() + L"\\Zarn_download.exe\" bench user";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "cannot start Zarn_download.exe\n");
        return 1;
    }
    zfw::unique_handle process(pi.hProcess), thread(pi.hThread);
    zfw::scope_exit endProgram([&] {
        ::TerminateProcess(process.get(), 0);
        ::WaitForSingleObject(process.get(), 5000);
    });
    HWND window = nullptr;
    for (int i = 0; i < 400 && !window; ++i) {
        window = ::FindWindowW(L"Zarn_class_down", nullptr);
        if (!window) ::Sleep(25);
    }
    if (!window) {
        std::fprintf(stderr, "no download program window\n");
        return 1;
    }

    Microsoft::WRL::ComPtr<IDispatch> control;
    CLSID clsid{};
    if (FAILED(::CLSIDFromProgID(zarn::kControlProgId, &clsid)) ||
        FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&control)))) {
        std::fprintf(stderr, "cannot create the control (is the module registered?)\n");
        return 1;
    }
    DISPID downLoad = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(L"DownLoad");
    control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &downLoad);

    // A typical item list: a few paths with sizes.
    std::wstring items;
    for (int i = 0; i < 8; ++i) items += L"/home/user/documents/report-" + std::to_wstring(i) + L".pdf|123456|";
    const std::string bytes(items.begin(), items.end());  // ASCII
    COPYDATASTRUCT record{0, static_cast<DWORD>(bytes.size() + 1), const_cast<char*>(bytes.c_str())};

    zfw::Bstr id(std::wstring_view(L"bench")), pw(std::wstring_view(L"pw")), list(items);
    VARIANT args[3];
    for (VARIANT& a : args) {
        ::VariantInit(&a);
        a.vt = VT_BSTR;
    }
    args[2].bstrVal = id.get();
    args[1].bstrVal = pw.get();
    args[0].bstrVal = list.get();
    DISPPARAMS params{args, nullptr, 3, 0};

    const auto bareSend = [&] {
        const double t0 = NowUs();
        const LRESULT reply =
            ::SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record));
        const double t1 = NowUs();
        if (reply != 1)
            std::fprintf(stderr, "unexpected reply %lld\n", static_cast<long long>(reply));
        return t1 - t0;
    };
    const auto downLoadCall = [&] {
        const double t0 = NowUs();
        const HRESULT hr = control->Invoke(downLoad, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                           &params, nullptr, nullptr, nullptr);
        const double t1 = NowUs();
        if (FAILED(hr))
            std::fprintf(stderr, "DownLoad failed 0x%08lx\n", static_cast<unsigned long>(hr));
        return t1 - t0;
    };

    // The two take turns call by call, the first of a pair changing every
    // pair: a round trip between two processes runs at one of two speeds
    // depending on where the scheduler puts its two ends, and blocks timed one
    // after the other could each meet a different one.
    std::vector<double> bare, calls;
    bench::Figure figure("download_vs_copydata", 1.5);
    for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
        std::vector<double> roundBare, roundCalls;
        for (int i = 0; i < kPairsPerRound; ++i) {
            if (i % 2) {
                roundCalls.push_back(downLoadCall());
                roundBare.push_back(bareSend());
            } else {
                roundBare.push_back(bareSend());
                roundCalls.push_back(downLoadCall());
            }
        }
        if (round == 0) continue;
        const double callMedian = Summarise(roundCalls).median;
        const double bareMedian = Summarise(roundBare).median;
        std::printf("round %d: DownLoad median %.1f us, bare median %.1f us (x%.2f)\n", round,
                    callMedian, bareMedian, callMedian / bareMedian);
        figure.Add(callMedian, bareMedian);
        bare.insert(bare.end(), roundBare.begin(), roundBare.end());
        calls.insert(calls.end(), roundCalls.begin(), roundCalls.end());
    }

    const Stats b = Summarise(bare), c = Summarise(calls);
    std::printf("item list: %zu bytes; %d rounds of %d bare sends and DownLoad calls in turns\n",
                bytes.size() + 1, rounds, kPairsPerRound);
    std::printf("bare WM_COPYDATA round trip: median %8.1f us, mean %8.1f us\n", b.median, b.mean);
    std::printf("DownLoad call (running):     median %8.1f us, mean %8.1f us\n", c.median, c.mean);
    std::printf("ratio DownLoad / bare:       median %8.2f,    mean %8.2f\n",
                c.median / b.median, c.mean / b.mean);
    figure.Print();
    control.Reset();
    ::CoUninitialize();
    return 0;
}
