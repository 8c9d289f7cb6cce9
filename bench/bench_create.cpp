// Cost of creating the control and making its first call, the way a script
// engine does it (create, look the name up, invoke), against the same for
// a trivial in-process object of the system's in the same run.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>

#include "control/identity.h"
#include "figure.h"

using Microsoft::WRL::ComPtr;

namespace {

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER f) {
    return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

// Creates `clsid` and calls `name` once, `rounds` times; returns seconds per round.
double Measure(REFCLSID clsid, const wchar_t* name, WORD flags, int rounds) {
    LARGE_INTEGER f, a, b;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&a);
    for (int i = 0; i < rounds; ++i) {
        ComPtr<IDispatch> object;
        if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&object)))) {
            std::printf("creation failed\n");
            return -1;
        }
        DISPID id = 0;
        LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
        object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        VARIANT result;
        ::VariantInit(&result);
        object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &none, &result, nullptr, nullptr);
        ::VariantClear(&result);
    }
    ::QueryPerformanceCounter(&b);
    return Seconds(a, b, f) / rounds;
}

}  // namespace

int main() {
    if (FAILED(::OleInitialize(nullptr))) return 1;
    CLSID dictionary{};
    if (FAILED(::CLSIDFromProgID(L"Scripting.Dictionary", &dictionary))) return 1;
    // Each round alternates the two in short blocks, so that a change in the
    // machine's load weighs on both alike.
    const int blocks = 20, calls = 50, rounds = 9;
    // Warm both paths first so that loading the DLLs is not counted.
    Measure(CLSID_Web_Control, L"CheckInstall", DISPATCH_METHOD, 20);
    Measure(dictionary, L"Count", DISPATCH_PROPERTYGET, 20);
    bench::Figure figure("create_vs_dictionary_cpp", 1.2);
    for (int round = 0; round < rounds; ++round) {
        double control = 0, system = 0;
        for (int block = 0; block < blocks; ++block) {
            const double c = Measure(CLSID_Web_Control, L"CheckInstall", DISPATCH_METHOD, calls);
            const double d = Measure(dictionary, L"Count", DISPATCH_PROPERTYGET, calls);
            if (c < 0 || d < 0) return 1;
            control += c / blocks;
            system += d / blocks;
        }
        std::printf("round %d: control %.1f us, Scripting.Dictionary %.1f us (x%.2f)\n", round + 1,
                    control * 1e6, system * 1e6, control / system);
        figure.Add(control, system);
    }
    figure.Print();
    ::OleUninitialize();
    return 0;
}
