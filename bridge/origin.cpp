#include "bridge/origin.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

int HexValue(wchar_t c) {
    if (IsDigit(c)) return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// The pieces of one side of an IPv6 address's "::": groups of 1 to 4 hex
// digits between colons. Dotted IPv4 tails are not read: browsers never
// write one, so such an address is never in its shortest form.
bool ReadPieces(std::wstring_view text, std::vector<std::uint16_t>& pieces) {
    if (text.empty()) return true;
    for (;;) {
        const size_t colon = text.find(L':');
        const std::wstring_view group = text.substr(0, colon);
        if (group.empty() || group.size() > 4) return false;
        unsigned value = 0;
        for (const wchar_t c : group) {
            const int digit = HexValue(c);
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        pieces.push_back(static_cast<std::uint16_t>(value));
        if (pieces.size() > 8) return false;
        if (colon == std::wstring_view::npos) return true;
        text.remove_prefix(colon + 1);
    }
}

// Whether `address` (without its brackets) is an IPv6 address written as
// browsers write it: lower-case hex without leading zeros, the longest run
// of two or more zero pieces (the first of equal runs) written "::".
bool IsShortestIpv6(std::wstring_view address) {
    std::vector<std::uint16_t> head, tail;
    const size_t gap = address.find(L"::");
    if (gap == std::wstring_view::npos) {
        if (!ReadPieces(address, head) || head.size() != 8) return false;
    } else if (!ReadPieces(address.substr(0, gap), head) ||
               !ReadPieces(address.substr(gap + 2), tail) || head.size() + tail.size() > 7) {
        return false;
    }
    std::array<std::uint16_t, 8> pieces{};
    std::copy(head.begin(), head.end(), pieces.begin());
    std::copy(tail.begin(), tail.end(), pieces.end() - static_cast<std::ptrdiff_t>(tail.size()));

    size_t runStart = pieces.size(), runLength = 1;
    for (size_t i = 0; i < pieces.size();) {
        size_t end = i;
        while (end < pieces.size() && pieces[end] == 0) ++end;
        if (end - i > runLength) {
            runStart = i;
            runLength = end - i;
        }
        i = end == i ? i + 1 : end;
    }
    std::wstring shortest;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i == runStart) {
            shortest += i == 0 ? L"::" : L":";
            i += runLength - 1;
            continue;
        }
        wchar_t hex[5] = {};
        std::swprintf(hex, std::size(hex), L"%x", static_cast<unsigned>(pieces[i]));
        shortest += hex;
        if (i != pieces.size() - 1) shortest += L':';
    }
    return shortest == address;
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
bool ListedAsWritten(std::wstring_view origin, std::wstring_view list) {
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
    const std::wstring_view scheme = origin.substr(0, separator);
    std::wstring_view host = origin.substr(separator + 3);
    // The port's colon follows the brackets of an IPv6 address.
    const size_t colon = host.find(L':', host.starts_with(L'[') ? host.find(L']') : 0);
    if (colon != std::wstring_view::npos) {
        const std::wstring_view port = host.substr(colon + 1);
        if (!IsPort(port)) return false;
        // Browsers leave the scheme's default port out.
        if ((scheme == L"http" && port == L"80") || (scheme == L"https" && port == L"443"))
            return false;
        host = host.substr(0, colon);
    }
    if (host.empty()) return false;
    if (host.front() == L'[')
        return host.size() > 2 && host.back() == L']' &&
               IsShortestIpv6(host.substr(1, host.size() - 2));
    // A name must already be in the form the rules compare: CanonicalHost
    // changes any other (upper case, Unicode, a trailing dot) or refuses it.
    const bool digitsAndDots = host.find_first_not_of(L"0123456789.") == std::wstring_view::npos;
    if (digitsAndDots) return IsIpv4(host);
    return sitelock::CanonicalHost(host) == host;
}

bool OriginAllowed(std::wstring_view origin) {
    if (!IsCanonicalOrigin(origin)) return false;
    if (ListedAsWritten(origin, settings::kAllowedSites)) return true;
    return sitelock::IsAllowedUrl(std::wstring(origin) + L"/", sitelock::BuiltInSites());
}

bool OriginAllowed(std::wstring_view origin, std::wstring_view list) {
    if (!IsCanonicalOrigin(origin)) return false;
    if (ListedAsWritten(origin, list)) return true;
    return sitelock::IsAllowedUrl(std::wstring(origin) + L"/", sitelock::ParseAllowedSites(list));
}

}  // namespace zarn::bridge
