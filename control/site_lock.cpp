#include "control/site_lock.h"

#include <exdisp.h>
#include <mshtml.h>
#include <objsafe.h>
#include <servprov.h>
#include <shlguid.h>
#include <wrl/client.h>

#include "framework/handle.h"

namespace zarn {

using Microsoft::WRL::ComPtr;

namespace sitelock {
namespace {

constexpr DWORD kSafeFlags = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
constexpr DISPID kAllowPopUpId = 3;
constexpr DISPID kMakeShortCutId = 4;

}  // namespace

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
    // Before the verdict: a host that goes on after a refusal still asked.
    engaged_ = true;
    if (mask & ~sitelock::kSafeFlags) return E_FAIL;
    const DWORD turnOn = mask & enabled;
    if (turnOn && !PageAllowed(site)) return E_FAIL;
    DWORD& flags = family == Family::Scripting ? scripting_ : persistence_;
    flags = (flags & ~mask) | turnOn;
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
    if (id == sitelock::kMakeShortCutId)
        return sitelock::ShortcutAddressAllowed(arg, sites_, reason);
    if (id == sitelock::kAllowPopUpId)
        return sitelock::PopUpHostAllowed(arg, sites_, reason);
    return true;
}

}  // namespace zarn
