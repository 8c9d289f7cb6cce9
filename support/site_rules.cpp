#include "support/site_rules.h"

#include <urlmon.h>
#include <wrl/client.h>

#include "framework/handle.h"

#include "settings/build_settings.h"  // generated: the allowed sites

namespace zarn {

using Microsoft::WRL::ComPtr;

namespace sitelock {
namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

std::wstring Text(BSTR value) {
    zfw::Bstr owned(value);
    return std::wstring(owned.view());
}

// The web's two schemes, should a parser not know their ports.
DWORD DefaultPort(std::wstring_view scheme) {
    if (scheme == L"http") return 80;
    if (scheme == L"https") return 443;
    return 0;
}

}  // namespace

bool Parse(std::wstring_view url, ParsedUrl& out) {
    // The parser stops at the first NUL; a URL with one inside is not what
    // the page shows and is refused outright.
    if (url.empty() || url.find(L'\0') != std::wstring_view::npos) return false;
    const std::wstring text(url);
    ComPtr<IUri> uri;
    if (FAILED(::CreateUri(text.c_str(), Uri_CREATE_CANONICALIZE, 0, &uri)) || !uri) return false;

    BSTR value = nullptr;
    if (FAILED(uri->GetUserInfo(&value))) return false;
    if (!Text(value).empty()) return false;
    // "http://@host" has an empty user name, but a user part all the same.
    if (FAILED(uri->GetRawUri(&value))) return false;
    const std::wstring raw = Text(value);
    const size_t start = raw.find(L"://");
    if (start != std::wstring::npos) {
        const size_t end = raw.find_first_of(L"/\\?#", start + 3);
        if (raw.substr(start + 3, end == std::wstring::npos ? end : end - start - 3)
                .find(L'@') != std::wstring::npos)
            return false;
    }

    if (FAILED(uri->GetSchemeName(&value))) return false;
    out.scheme = Lower(Text(value));
    DWORD hostType = Uri_HOST_UNKNOWN;
    if (FAILED(uri->GetHostType(&hostType))) return false;
    if (FAILED(uri->GetHost(&value))) return false;
    const std::wstring host = Text(value);
    if (host.empty() || out.scheme.empty()) return false;
    out.ipLiteral = hostType == Uri_HOST_IPV4 || hostType == Uri_HOST_IPV6;
    out.host = out.ipLiteral ? Lower(host) : CanonicalHost(host);
    // Without a port in the URL the parser answers its scheme's default
    // port; S_FALSE is a scheme it knows none for.
    DWORD port = 0;
    out.port = uri->GetPort(&port) == S_OK ? port : DefaultPort(out.scheme);
    return !out.host.empty();
}

namespace {

bool Matches(const ParsedUrl& url, const AllowedSite& site) {
    if (url.scheme != site.scheme || url.port != site.port) return false;
    if (!site.subdomains) return url.host == site.host;
    // "*.host": a host below it, never the host itself nor an IP literal.
    return !url.ipLiteral && url.host.size() > site.host.size() + 1 &&
           url.host.ends_with(site.host) &&
           url.host[url.host.size() - site.host.size() - 1] == L'.';
}

bool HostMatches(std::wstring_view host, const AllowedSite& site) {
    if (!site.subdomains) return host == site.host;
    return host.size() > site.host.size() + 1 && host.ends_with(site.host) &&
           host[host.size() - site.host.size() - 1] == L'.';
}

}  // namespace

namespace {

// Host-name rules on the ASCII form: labels of 1 to 63 letters, digits and
// hyphens, not starting or ending with a hyphen. So a slash, an '@', a space,
// a colon or an empty label never passes.
bool IsHostName(std::wstring_view ascii) {
    if (ascii.empty() || ascii.size() > 253) return false;
    size_t start = 0;
    while (start <= ascii.size()) {
        size_t end = ascii.find(L'.', start);
        if (end == std::wstring_view::npos) end = ascii.size();
        const std::wstring_view label = ascii.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == L'-' || label.back() == L'-')
            return false;
        for (const wchar_t c : label)
            if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                  c == L'-'))
                return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

std::wstring CanonicalHost(std::wstring_view host) {
    if (!host.empty() && host.back() == L'.') host.remove_suffix(1);
    if (host.empty() || host.size() > 253) return {};
    // The host-name rules are checked on the result rather than asked of the
    // conversion: Wine's conversion refuses every non-ASCII name under them.
    const int input = static_cast<int>(host.size());
    const int needed = ::IdnToAscii(0, host.data(), input, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring ascii(static_cast<size_t>(needed), L'\0');
    if (::IdnToAscii(0, host.data(), input, ascii.data(), needed) != needed) return {};
    if (!IsHostName(ascii)) return {};
    return Lower(std::move(ascii));
}

namespace {

// A port as an entry writes it: 1 to 5 decimal digits naming 1 to 65535.
bool ReadPort(std::wstring_view text, DWORD& port) {
    if (text.empty() || text.size() > 5) return false;
    DWORD value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<DWORD>(c - L'0');
    }
    if (value == 0 || value > 65535) return false;
    port = value;
    return true;
}

}  // namespace

std::vector<AllowedSite> ParseAllowedSites(std::wstring_view list) {
    std::vector<AllowedSite> sites;
    while (!list.empty()) {
        const size_t end = list.find(L';');
        std::wstring_view entry = list.substr(0, end);
        list = end == std::wstring_view::npos ? std::wstring_view{} : list.substr(end + 1);

        const size_t separator = entry.find(L"://");
        if (separator == std::wstring_view::npos || separator == 0) continue;
        AllowedSite site;
        std::wstring_view host = entry.substr(separator + 3);
        if (host.starts_with(L"*.")) {
            site.subdomains = true;
            host.remove_prefix(2);
        }
        // A host and an optional port: no user, path, query or fragment.
        // The port's colon is the last one, after the brackets of an IPv6
        // literal.
        const size_t colon = host.rfind(L':');
        std::wstring_view port;
        if (colon != std::wstring_view::npos &&
            (!host.starts_with(L"[") || host.find(L']') < colon)) {
            port = host.substr(colon + 1);
            host = host.substr(0, colon);
            if (!ReadPort(port, site.port)) continue;
        }
        const bool bracketed = host.starts_with(L"[");
        if (host.find_first_of(bracketed ? L"/\\?#@*" : L"/\\?#@*:") != std::wstring_view::npos ||
            (bracketed && !host.ends_with(L"]")))
            continue;
        ParsedUrl parsed;
        const std::wstring url = std::wstring(entry.substr(0, separator)) + L"://" + std::wstring(host);
        if (!Parse(url, parsed)) continue;
        // Pages are served over the web's two schemes only; the extension
        // can run on no other, so no reader of the list takes another.
        if (parsed.scheme != L"http" && parsed.scheme != L"https") continue;
        if (site.subdomains && parsed.ipLiteral) continue;
        site.scheme = parsed.scheme;
        site.host = parsed.host;
        if (port.empty()) site.port = parsed.port;
        sites.push_back(std::move(site));
    }
    return sites;
}

const std::vector<AllowedSite>& BuiltInSites() {
    static const std::vector<AllowedSite> sites = ParseAllowedSites(settings::kAllowedSites);
    return sites;
}

bool IsAllowedUrl(std::wstring_view url, const std::vector<AllowedSite>& sites) {
    ParsedUrl parsed;
    if (!Parse(url, parsed)) return false;
    for (const AllowedSite& site : sites)
        if (Matches(parsed, site)) return true;
    return false;
}

bool IsAllowedHost(std::wstring_view host, const std::vector<AllowedSite>& sites) {
    const std::wstring canonical = CanonicalHost(host);
    if (canonical.empty()) {
        // An IP literal is compared as written (IPv4 only: a colon would be
        // a port or an IPv6 form, neither of which names a pop-up host).
        if (host.empty() || host.find_first_not_of(L"0123456789.") != std::wstring_view::npos)
            return false;
    }
    const std::wstring name = canonical.empty() ? std::wstring(host) : canonical;
    for (const AllowedSite& site : sites)
        if (HostMatches(name, site)) return true;
    return false;
}


bool ShortcutAddressWritable(std::wstring_view address, std::wstring& reason) {
    for (const wchar_t c : address) {
        if (c < 0x20 || c == 0x7f) {
            reason = L"A shortcut address may not contain line breaks or other control characters.";
            return false;
        }
    }
    return true;
}

bool ShortcutAddressAllowed(std::wstring_view address, const std::vector<AllowedSite>& sites,
                            std::wstring& reason) {
    if (!ShortcutAddressWritable(address, reason)) return false;
    ParsedUrl parsed;
    const bool web =
        Parse(address, parsed) && (parsed.scheme == L"http" || parsed.scheme == L"https");
    if (web && IsAllowedUrl(address, sites)) return true;
    reason = L"A shortcut may only lead to the service's own site, not to \"" +
             std::wstring(address) + L"\".";
    return false;
}

bool PopUpHostAllowed(std::wstring_view host, const std::vector<AllowedSite>& sites,
                      std::wstring& reason) {
    if (IsAllowedHost(host, sites)) return true;
    reason = L"Pop-ups may only be allowed for the service's own site, not for \"" +
             std::wstring(host) + L"\".";
    return false;
}

}  // namespace sitelock

}  // namespace zarn
