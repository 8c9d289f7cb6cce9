#include "tools/pagehost/timers.h"

#include "framework/handle.h"
#include "tools/pagehost/text.h"

#include <algorithm>
#include <string>

namespace pagehost {

UINT PageTimers::Set(Function function, UINT ms) {
    if (!window_ || !function) return 0;
    const UINT id = next_++;
    if (!::SetTimer(window_, id, ms, nullptr)) return 0;
    armed_.emplace_back(id, std::move(function));
    return id;
}

PageTimers::Armed::iterator PageTimers::Find(UINT_PTR id) {
    return std::find_if(armed_.begin(), armed_.end(),
                        [id](const auto& timer) { return timer.first == id; });
}

void PageTimers::Clear(UINT id) {
    const auto found = Find(id);
    if (found == armed_.end()) return;
    ::KillTimer(window_, id);
    armed_.erase(found);
}

bool PageTimers::Run(UINT_PTR id, const bool& exitRequested, bool& errorReported) {
    const auto found = Find(id);
    if (found == armed_.end()) return false;
    ::KillTimer(window_, id);
    // Taken out first: the function may arm or clear timers itself, and may
    // run a modal loop in which further timers fire.
    const Function function = std::move(found->second);
    armed_.erase(found);
    if (exitRequested) return true;

    ++running_;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    ::VariantInit(&result);
    EXCEPINFO error{};
    const HRESULT hr = function->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT,
                                        DISPATCH_METHOD, &none, &result, &error, nullptr);
    --running_;
    ::VariantClear(&result);
    if (hr == DISP_E_EXCEPTION && error.pfnDeferredFillIn) error.pfnDeferredFillIn(&error);
    const zfw::Bstr source(error.bstrSource), description(error.bstrDescription),
        helpFile(error.bstrHelpFile);
    // After host.exit the script unwinds on purpose.
    if (FAILED(hr) && !exitRequested) {
        WriteLine(L"script error: in a timer: " +
                  (description.view().empty() ? std::wstring(L"unknown error")
                                              : std::wstring(description.view())));
        errorReported = true;
    }
    return true;
}

void PageTimers::ClearAll() {
    auto armed = std::move(armed_);
    armed_.clear();
    for (const auto& entry : armed) ::KillTimer(window_, entry.first);
}

}  // namespace pagehost
