// Cost of creating the control and making its first call, the way a script
// engine does it (create, look the name up, invoke), against the same for
// a trivial in-process object of the system's in the same run.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>

#include "control/identity.h"

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
    const int rounds = 2000;
    // Warm both paths first so that loading the DLLs is not counted.
    Measure(CLSID_Web_Control, L"CheckInstall", DISPATCH_METHOD, 20);
    Measure(dictionary, L"Count", DISPATCH_PROPERTYGET, 20);
    double control = 0, system = 0;
    for (int pass = 0; pass < 3; ++pass) {
        control += Measure(CLSID_Web_Control, L"CheckInstall", DISPATCH_METHOD, rounds);
        system += Measure(dictionary, L"Count", DISPATCH_PROPERTYGET, rounds);
    }
    std::printf("control: create + first call %.1f us\n", control / 3 * 1e6);
    std::printf("Scripting.Dictionary: create + first call %.1f us\n", system / 3 * 1e6);
    std::printf("ratio control / dictionary: %.2f\n", control / system);
    ::OleUninitialize();
    return 0;
}
