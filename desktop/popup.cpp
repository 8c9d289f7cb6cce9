// AllowPopUp: one entry in the browser's per-user list of sites that may open
// pop-up windows.
#include "desktop/popup.h"

#include "support/reg_key.h"

namespace zarn {

namespace {

// The browser creates and owns this key; the control only adds to it.
constexpr wchar_t kPopupAllowKey[] = L"Software\\Microsoft\\Internet Explorer\\New Windows\\Allow";

}  // namespace

void AllowPopUpsFrom(const wchar_t* name) {
    CRegistryEx allowList;
    if (allowList.Open(kPopupAllowKey)) {
        // Whether the write took is not reported.
        allowList.WriteDword(name, 0);
        allowList.Close();
    }
}

}  // namespace zarn
