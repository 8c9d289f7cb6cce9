// The service's site rules: which page addresses, shortcut addresses and
// pop-up hosts count as the service's own sites. The list is fixed at build
// time. Both front doors judge by these rules: the control's site lock
// (control/site_lock.h) and the bridge host, which is told the page's origin
// by the browser extension.
#pragma once

#include <windows.h>

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

// The parts of a URL the rules compare, as the system's URL parser sees them.
struct ParsedUrl {
    std::wstring scheme;
    std::wstring host;  // comparison form
    bool ipLiteral = false;
};

// Parses `url`; false when it does not parse, has no host, or names a user.
bool Parse(std::wstring_view url, ParsedUrl& out);

// Whether `address` may be the target of a desktop shortcut: an http or
// https address on an allowed site. Fills `reason` (the text a refused
// page sees) when it may not.
bool ShortcutAddressAllowed(std::wstring_view address, const std::vector<AllowedSite>& sites,
                            std::wstring& reason);

// Whether pop-ups may be allowed for `host`. Fills `reason` when not.
bool PopUpHostAllowed(std::wstring_view host, const std::vector<AllowedSite>& sites,
                      std::wstring& reason);

}  // namespace sitelock

}  // namespace zarn
