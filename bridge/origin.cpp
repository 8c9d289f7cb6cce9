#include "bridge/origin.h"

#include <string>

#include "settings/build_settings.h"  // generated: the allowed sites
#include "support/site_rules.h"

namespace zarn::bridge {

namespace {

bool IsLowerLetter(wchar_t c) { return c >= L'a' && c <= L'z'; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool IsScheme(std::wstring_view scheme) {
    if (scheme.empty() || !IsLowerLetter(scheme.front())) return false;
    for (const wchar_t c : scheme)
        if (!IsLowerLetter(c) && !IsDigit(c) && c != L'+' && c != L'-' && c != L'.') return false;
    return true;
}

// Four decimal numbers of 0 to 255, without leading zeros.
bool IsIpv4(std::wstring_view host) {
    int parts = 0;
    while (true) {
        const size_t dot = host.find(L'.');
        const std::wstring_view part = host.substr(0, dot);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part.front() == L'0')) return false;
        int value = 0;
        for (const wchar_t c : part) {
            if (!IsDigit(c)) return false;
            value = value * 10 + (c - L'0');
        }
        if (value > 255 || ++parts > 4) return false;
        if (dot == std::wstring_view::npos) break;
        host.remove_prefix(dot + 1);
    }
    return parts == 4;
}

bool IsPort(std::wstring_view port) {
    if (port.empty() || port.size() > 5 || port.front() == L'0') return false;
    long value = 0;
    for (const wchar_t c : port) {
        if (!IsDigit(c)) return false;
        value = value * 10 + (c - L'0');
    }
    return value <= 65535;
}

// Whether the built-in list has an entry written exactly as `origin` (a
// canonical origin, so the entry has no wildcard). Such an entry parses to
// the origin's own scheme, host and port, and so the rules allow it: the
// answer comes without the system's URL parser, whose DLLs (user32 among
// them) take longer to load than the rest of the host's start.
bool ListedAsWritten(std::wstring_view origin) {
    std::wstring_view list = settings::kAllowedSites;
    for (;;) {
        const size_t end = list.find(L';');
        if (list.substr(0, end) == origin) return true;
        if (end == std::wstring_view::npos) return false;
        list.remove_prefix(end + 1);
    }
}

}  // namespace

bool IsCanonicalOrigin(std::wstring_view origin) {
    const size_t separator = origin.find(L"://");
    if (separator == std::wstring_view::npos || !IsScheme(origin.substr(0, separator)))
        return false;
    std::wstring_view host = origin.substr(separator + 3);
    const size_t colon = host.find(L':');
    if (colon != std::wstring_view::npos) {
        if (!IsPort(host.substr(colon + 1))) return false;
        host = host.substr(0, colon);
    }
    if (host.empty()) return false;
    // A name must already be in the form the rules compare: CanonicalHost
    // changes any other (upper case, Unicode, a trailing dot) or refuses it.
    const bool digitsAndDots = host.find_first_not_of(L"0123456789.") == std::wstring_view::npos;
    if (digitsAndDots) return IsIpv4(host);
    return sitelock::CanonicalHost(host) == host;
}

bool OriginAllowed(std::wstring_view origin) {
    if (!IsCanonicalOrigin(origin)) return false;
    if (ListedAsWritten(origin)) return true;
    return sitelock::IsAllowedUrl(std::wstring(origin) + L"/", sitelock::BuiltInSites());
}

}  // namespace zarn::bridge
