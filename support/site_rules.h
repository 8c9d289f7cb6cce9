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

// One allowed site: that scheme, host and port, or (subdomains) any host
// below it but not the host itself, on that port. The host is in comparison
// form (see CanonicalHost).
struct AllowedSite {
    std::wstring scheme;
    std::wstring host;
    DWORD port = 0;  // as written, else the scheme's default
    bool subdomains = false;
};

// Parses a ';'-separated list of "scheme://host" and "scheme://*.host"
// entries, the scheme http or https, each with an optional ":port" (1 to
// 65535). An entry without a port stands for its scheme's default port
// only. A malformed entry is left out, so it can allow nothing.
std::vector<AllowedSite> ParseAllowedSites(std::wstring_view list);

// The list built into the module.
const std::vector<AllowedSite>& BuiltInSites();

// Whether `url` is an allowed site's page, or (a bare origin such as
// "https://host:8443") that site itself. It is parsed with the system's URL
// parser; a URL that does not parse, has no host or carries a user name or
// password is never allowed. Scheme, host and port must all match; a URL
// without a port is on its scheme's default port.
bool IsAllowedUrl(std::wstring_view url, const std::vector<AllowedSite>& sites);

// Whether a bare host name (no scheme, port or path) is an allowed site's
// host, under any of the allowed schemes and ports.
bool IsAllowedHost(std::wstring_view host, const std::vector<AllowedSite>& sites);

// A domain name in comparison form: its ASCII (punycode) form in lower case,
// with one trailing dot dropped. Empty when it is not a valid host name.
std::wstring CanonicalHost(std::wstring_view host);

// The parts of a URL the rules compare, as the system's URL parser sees them.
struct ParsedUrl {
    std::wstring scheme;
    std::wstring host;  // comparison form
    DWORD port = 0;     // as written, else the scheme's default (0: none known)
    bool ipLiteral = false;
};

// Parses `url`; false when it does not parse, has no host, or names a user.
bool Parse(std::wstring_view url, ParsedUrl& out);

// Whether `address` may go into the shortcut file at all, wherever the call
// comes from: a character below U+0020 or U+007F would start a line of its
// own in the file (the system's URL parser drops line breaks, so the site
// check alone would pass one) or hide text. Fills `reason` when not.
bool ShortcutAddressWritable(std::wstring_view address, std::wstring& reason);

// Whether `address` may be the target of a desktop shortcut: a writable
// http or https address on an allowed site. Fills `reason` (the text a
// refused page sees) when it may not.
bool ShortcutAddressAllowed(std::wstring_view address, const std::vector<AllowedSite>& sites,
                            std::wstring& reason);

// Whether pop-ups may be allowed for `host`. Fills `reason` when not.
bool PopUpHostAllowed(std::wstring_view host, const std::vector<AllowedSite>& sites,
                      std::wstring& reason);

}  // namespace sitelock

}  // namespace zarn
