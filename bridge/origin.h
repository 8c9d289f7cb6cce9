// The page origin the browser extension writes into every request.
#pragma once

#include <string_view>

namespace zarn::bridge {

// Whether `origin` is an origin in the form browsers serialise it:
// "scheme://host" or "scheme://host:port", the scheme and host in lower case
// (the host in its ASCII form, a dotted IPv4 address, or a bracketed IPv6
// address in its shortest form), a port of 1 to 65535 without leading zeros
// that is not the scheme's default, and nothing else: no user, path, query,
// fragment or trailing dot.
bool IsCanonicalOrigin(std::wstring_view origin);

// Whether a page of `origin` may use the host: a canonical origin that the
// site rules of the control's lock allow, by the list built into the host.
bool OriginAllowed(std::wstring_view origin);

// The same judgement by the ';'-separated site list `list`.
bool OriginAllowed(std::wstring_view origin, std::wstring_view list);

}  // namespace zarn::bridge
