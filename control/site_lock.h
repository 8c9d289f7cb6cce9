// The site lock: a page on the web may script the control only when it comes
// from one of the service's own sites, fixed at build time.
//
// A host that asks the control to be safe for untrusted callers or data
// (IObjectSafety, as a browser does) engages the lock with its first request,
// whether the control agrees or not: it agrees only while the document
// holding the control is on an allowed site, and a host that scripts it after
// a refusal must meet the lock all the same. From then on every scripting
// call reads the document's URL again, because a frame can navigate, and the
// two methods that name an address or a host must name one of the allowed
// sites. Hosts that never ask are trusted as they always were.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/site_rules.h"

namespace zarn {

namespace sitelock {

// The URL of the document that holds the control: the container's
// IHTMLDocument2::get_URL, failing that the site's web browser
// (SID_SWebBrowserApp) IWebBrowser2::get_LocationURL. Empty when the host
// offers neither. The caller owns the text.
BSTR HostDocumentUrl(IOleClientSite* site);

}  // namespace sitelock

// The lock's state in one control object.
class SiteLock {
public:
    // The two interface families the lock answers for.
    enum class Family { Scripting, Persistence };

    explicit SiteLock(const std::vector<sitelock::AllowedSite>& sites = sitelock::BuiltInSites())
        : sites_(sites) {}

    // IObjectSafety, for an interface of `family`.
    void GetOptions(Family family, DWORD* supported, DWORD* enabled) const;
    // Engages the lock for the object's life, then turns a flag on only
    // while the document's URL is allowed (else E_FAIL, no flag changed).
    // Clearing the flags later does not disengage it.
    HRESULT SetOptions(IOleClientSite* site, Family family, DWORD mask, DWORD enabled);

    // A safety request the lock does not answer (an interface the control
    // does not offer as safe) engages it all the same.
    void Engage() noexcept { engaged_ = true; }
    bool Engaged() const noexcept { return engaged_; }

    // Whether the call `id` may run now; fills `reason` when it may not.
    // `firstArg` is the call's first argument as text (null when it has none);
    // an admitted call must run with exactly that text. A check that cannot be
    // made refuses the call.
    bool AdmitCall(IOleClientSite* site, DISPID id, const wchar_t* firstArg,
                   std::wstring& reason) noexcept;

    // Whether the call `id` is judged by its first argument as well.
    static bool ChecksFirstArgument(DISPID id) noexcept;

private:
    bool PageAllowed(IOleClientSite* site);
    bool Admit(IOleClientSite* site, DISPID id, const wchar_t* firstArg, std::wstring& reason);
    bool UrlAllowed(std::wstring_view url);

    const std::vector<sitelock::AllowedSite>& sites_;
    DWORD scripting_ = 0;
    DWORD persistence_ = 0;
    bool engaged_ = false;
    // The last URL checked and its verdict: the list is fixed, so the same
    // text always gets the same answer and need not be parsed again.
    std::wstring lastUrl_;
    bool lastAllowed_ = false;
};

}  // namespace zarn
