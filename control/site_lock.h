// The site lock: a page on the web may script the control only when it comes
// from one of the service's own sites, fixed at build time.
//
// A host that asks the control to be safe for untrusted callers or data
// (IObjectSafety, as a browser does) engages the lock, but only while the
// document holding the control is on an allowed site. From then on every
// scripting call reads the document's URL again, because a frame can
// navigate, and the two methods that name an address or a host must name one
// of the allowed sites. Hosts that never ask are trusted as they always were.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include <string>
#include <string_view>
#include <vector>

namespace zarn {

namespace sitelock {

// One allowed site: that scheme and host, or (subdomains) any host below it
// but not the host itself. The host is in comparison form (see CanonicalHost).
struct AllowedSite {
    std::wstring scheme;
    std::wstring host;
    bool subdomains = false;
};

// Parses a ';'-separated list of "scheme://host" and "scheme://*.host"
// entries. A malformed entry is left out, so it can allow nothing.
std::vector<AllowedSite> ParseAllowedSites(std::wstring_view list);

// The list built into the module.
const std::vector<AllowedSite>& BuiltInSites();

// Whether `url` is an allowed site's page. It is parsed with the system's
// URL parser; a URL that does not parse, has no host or carries a user name
// or password is never allowed. Ports are not compared.
bool IsAllowedUrl(std::wstring_view url, const std::vector<AllowedSite>& sites);

// Whether a bare host name (no scheme, port or path) is an allowed site's
// host, under any of the allowed schemes.
bool IsAllowedHost(std::wstring_view host, const std::vector<AllowedSite>& sites);

// A domain name in comparison form: its ASCII (punycode) form in lower case,
// with one trailing dot dropped. Empty when it is not a valid host name.
std::wstring CanonicalHost(std::wstring_view host);

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
    // Turns a flag on only while the document's URL is allowed (else E_FAIL,
    // nothing changed). Once a flag has been on, the lock stays engaged for the
    // object's life, even if the host later clears the flags.
    HRESULT SetOptions(IOleClientSite* site, Family family, DWORD mask, DWORD enabled);

    bool Engaged() const noexcept { return engaged_; }

    // Whether the call `id` may run now; fills `reason` when it may not.
    // `firstArg` is the call's first argument as text (null when it has none).
    // A check that cannot be made refuses the call.
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
