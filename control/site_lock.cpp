#include "control/site_lock.h"

#include <exdisp.h>
#include <mshtml.h>
#include <objsafe.h>
#include <servprov.h>
#include <shlguid.h>
#include <urlmon.h>
#include <wrl/client.h>

#include "framework/handle.h"

#include "allowed_sites.h"  // generated: kAllowedSites

namespace zarn {

using Microsoft::WRL::ComPtr;

namespace sitelock {
namespace {

constexpr DWORD kSafeFlags = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
constexpr DISPID kAllowPopUpId = 3;
constexpr DISPID kMakeShortCutId = 4;

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

std::wstring Text(BSTR value) {
    zfw::Bstr owned(value);
    return std::wstring(owned.view());
}

// The parts of a URL the lock compares, as the system's URL parser sees them.
struct ParsedUrl {
    std::wstring scheme;
    std::wstring host;  // comparison form
    bool ipLiteral = false;
};

// Parses `url`; false when it does not parse, has no host, or names a user.
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
    return !out.host.empty();
}

bool Matches(const ParsedUrl& url, const AllowedSite& site) {
    if (url.scheme != site.scheme) return false;
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
        // A host only: no user, port, path, query or fragment.
        const bool bracketed = host.starts_with(L"[");
        if (host.find_first_of(bracketed ? L"/\\?#@*" : L"/\\?#@*:") != std::wstring_view::npos)
            continue;
        ParsedUrl parsed;
        const std::wstring url = std::wstring(entry.substr(0, separator)) + L"://" + std::wstring(host);
        if (!Parse(url, parsed)) continue;
        if (site.subdomains && parsed.ipLiteral) continue;
        site.scheme = parsed.scheme;
        site.host = parsed.host;
        sites.push_back(std::move(site));
    }
    return sites;
}

const std::vector<AllowedSite>& BuiltInSites() {
    static const std::vector<AllowedSite> sites = ParseAllowedSites(kAllowedSites);
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

BSTR HostDocumentUrl(IOleClientSite* site) {
    if (!site) return nullptr;
    ComPtr<IOleContainer> container;
    if (SUCCEEDED(site->GetContainer(&container)) && container) {
        ComPtr<IHTMLDocument2> document;
        BSTR url = nullptr;
        if (SUCCEEDED(container.As(&document)) && SUCCEEDED(document->get_URL(&url))) {
            if (::SysStringLen(url) > 0) return url;
            ::SysFreeString(url);
        }
    }
    ComPtr<IServiceProvider> services;
    if (FAILED(site->QueryInterface(IID_PPV_ARGS(&services)))) return nullptr;
    ComPtr<IWebBrowser2> browser;
    if (FAILED(services->QueryService(SID_SWebBrowserApp, IID_PPV_ARGS(&browser))) || !browser)
        return nullptr;
    BSTR url = nullptr;
    if (FAILED(browser->get_LocationURL(&url))) return nullptr;
    return url;
}

}  // namespace sitelock

void SiteLock::GetOptions(Family family, DWORD* supported, DWORD* enabled) const {
    *supported = sitelock::kSafeFlags;
    *enabled = family == Family::Scripting ? scripting_ : persistence_;
}

HRESULT SiteLock::SetOptions(IOleClientSite* site, Family family, DWORD mask, DWORD enabled) {
    if (mask & ~sitelock::kSafeFlags) return E_FAIL;
    const DWORD turnOn = mask & enabled;
    if (turnOn && !PageAllowed(site)) return E_FAIL;
    DWORD& flags = family == Family::Scripting ? scripting_ : persistence_;
    flags = (flags & ~mask) | turnOn;
    if (turnOn) engaged_ = true;
    return S_OK;
}

bool SiteLock::UrlAllowed(std::wstring_view url) {
    if (url.empty()) return false;
    // Pages rarely move, so the address of the last call is usually this one.
    if (url != lastUrl_) {
        lastAllowed_ = sitelock::IsAllowedUrl(url, sites_);
        lastUrl_.assign(url);
    }
    return lastAllowed_;
}

bool SiteLock::PageAllowed(IOleClientSite* site) {
    const zfw::Bstr current(sitelock::HostDocumentUrl(site));
    return UrlAllowed(current.view());
}

bool SiteLock::ChecksFirstArgument(DISPID id) noexcept {
    return id == sitelock::kMakeShortCutId || id == sitelock::kAllowPopUpId;
}

bool SiteLock::AdmitCall(IOleClientSite* site, DISPID id, const wchar_t* firstArg,
                         std::wstring& reason) noexcept {
    if (!engaged_) return true;
    try {
        return Admit(site, id, firstArg, reason);
    } catch (...) {
        // Out of memory while reading or judging the address.
        try {
            reason = L"The control could not check the page's address.";
        } catch (...) {
        }
        return false;
    }
}

bool SiteLock::Admit(IOleClientSite* site, DISPID id, const wchar_t* firstArg,
                     std::wstring& reason) {
    const zfw::Bstr url(sitelock::HostDocumentUrl(site));
    if (!UrlAllowed(url.view())) {
        reason = url.view().empty()
                     ? L"The control may not be scripted here: the page's address is unknown."
                     : L"The control may not be scripted from " + std::wstring(url.view()) + L".";
        return false;
    }
    const std::wstring_view arg = firstArg ? firstArg : L"";
    if (id == sitelock::kMakeShortCutId) {
        sitelock::ParsedUrl parsed;
        const bool web = sitelock::Parse(arg, parsed) &&
                         (parsed.scheme == L"http" || parsed.scheme == L"https");
        if (!firstArg || !web || !sitelock::IsAllowedUrl(arg, sites_)) {
            reason = L"A shortcut may only lead to the service's own site, not to \"" +
                     std::wstring(arg) + L"\".";
            return false;
        }
    } else if (id == sitelock::kAllowPopUpId) {
        if (!firstArg || !sitelock::IsAllowedHost(arg, sites_)) {
            reason = L"Pop-ups may only be allowed for the service's own site, not for \"" +
                     std::wstring(arg) + L"\".";
            return false;
        }
    }
    return true;
}

}  // namespace zarn
