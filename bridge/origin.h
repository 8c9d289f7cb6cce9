// The page origin the browser extension writes into every request.
#pragma once

#include <string_view>

namespace zarn::bridge {

// Whether `origin` is an origin in the form browsers serialise it:
// "scheme://host" or "scheme://host:port", the scheme and host in lower case
// (the host in its ASCII form, or a dotted IPv4 address), a port of 1 to
// 65535 without leading zeros, and nothing else: no user, path, query,
// fragment or trailing dot.
bool IsCanonicalOrigin(std::wstring_view origin);

// Whether a page of `origin` may use the host: a canonical origin that the
// site rules of the control's lock allow, by the list built into the host.
bool OriginAllowed(std::wstring_view origin);

}  // namespace zarn::bridge
