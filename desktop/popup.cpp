// AllowPopUp: one entry in the browser's per-user list of sites that may open
// pop-up windows.
#include "control/web_control.h"

#include "support/registryex.h"

namespace {

// The browser creates and owns this key; the control only adds to it.
constexpr wchar_t kPopupAllowKey[] = L"Software\\Microsoft\\Internet Explorer\\New Windows\\Allow";

}  // namespace

SCODE CWebControlCtrl::AllowPopUp(BSTR strTemp) {
    CRegistryEx allowList;
    if (allowList.Open(kPopupAllowKey)) {
        // The name is the page's text as it is; the empty text names the
        // key's default value. Whether the write took is not reported.
        allowList.WriteDword(strTemp ? strTemp : L"", 0);
        allowList.Close();
    }
    return 0;
}
