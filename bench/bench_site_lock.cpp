// Cost of the site lock's per-call address check, in process and precisely:
// the same call on a control that a browser's site has asked to be safe
// (every call reads and checks the page's address) and on one that nobody
// asked (no check), in the same run. bench/pages/browser/site_lock.js gives
// the cost of a SelectComplete call from JScript to compare it with.
#include <windows.h>
#include <objsafe.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>

#include "common/fake_browser_site.h"
#include "settings/build_settings.h"
#include "control/identity.h"

using Microsoft::WRL::ComPtr;

namespace {

double Now() {
    LARGE_INTEGER f, t;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

ComPtr<IDispatch> Create(fake_browser::FakeSite& site, bool askSafety) {
    ComPtr<IDispatch> control;
    ComPtr<IOleObject> object;
    ComPtr<IObjectSafety> safety;
    if (FAILED(::CoCreateInstance(CLSID_Web_Control, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&control))) ||
        FAILED(control.As(&object)) || FAILED(object->SetClientSite(&site)))
        return nullptr;
    if (askSafety) {
        constexpr DWORD caller = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
        if (FAILED(control->QueryInterface(IID_IObjectSafety,
                                           reinterpret_cast<void**>(safety.GetAddressOf()))) ||
            FAILED(safety->SetInterfaceSafetyOptions(IID_IDispatch, caller, caller)))
            return nullptr;
    }
    return control;
}

// Microseconds per CheckInstall call, the fastest of `passes` runs of `rounds`;
// with `other`, the page moves between two allowed addresses before each call.
double Measure(IDispatch* control, fake_browser::FakeSite& site, const std::wstring* other,
               int rounds, int passes) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"CheckInstall")};
    control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    const std::wstring first = site.document.url;
    double best = 1e9;
    for (int pass = 0; pass < passes; ++pass) {
        const double start = Now();
        for (int i = 0; i < rounds; ++i) {
            if (other) site.document.url = (i & 1) ? *other : first;
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr,
                            nullptr, nullptr);
        }
        best = std::min(best, (Now() - start) * 1e6 / rounds);
    }
    site.document.url = first;
    return best;
}

}  // namespace

int main() {
    if (FAILED(::OleInitialize(nullptr))) return 1;
    const std::wstring page = std::wstring(zarn::settings::kUpdateServer) + L"/service/index.html";
    const std::wstring other = std::wstring(zarn::settings::kUpdateServer) + L"/service/other.html";
    fake_browser::FakeSite lockedSite, openSite;
    lockedSite.document.url = openSite.document.url = page;
    {
        ComPtr<IDispatch> locked = Create(lockedSite, true), open = Create(openSite, false);
        if (!locked || !open) {
            std::printf("cannot create the controls\n");
            return 1;
        }
        const int rounds = 200000, passes = 7;
        const double a = Measure(locked.Get(), lockedSite, nullptr, rounds, passes);
        const double b = Measure(open.Get(), openSite, nullptr, rounds, passes);
        const double c = Measure(locked.Get(), lockedSite, &other, rounds / 10, passes);
        const double d = Measure(open.Get(), openSite, &other, rounds / 10, passes);
        std::printf("CheckInstall from C++: %.3f us unchecked, %.3f us checked\n", b, a);
        std::printf("the check, same address: %.3f us\n", a - b);
        std::printf("the check, new address every call: %.3f us\n", c - d);
        ComPtr<IOleObject> object;
        if (SUCCEEDED(locked.As(&object))) object->SetClientSite(nullptr);
        if (SUCCEEDED(open.As(&object))) object->SetClientSite(nullptr);
    }
    ::OleUninitialize();
    return 0;
}
