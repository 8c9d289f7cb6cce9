#include "tools/pagehost/browser_site.h"

#include "framework/handle.h"
#include "tools/pagehost/browser_stubs.h"

#include <activscp.h>
#include <objsafe.h>
#include <servprov.h>
#include <shlguid.h>

#include <urlmon.h>

#include <cstring>
#include <utility>

namespace pagehost {
namespace {

HRESULT CopyUrl(const BrowserLocation& location, BSTR* out) {
    if (!out) return E_POINTER;
    *out = ::SysAllocStringLen(location.url.data(), static_cast<UINT>(location.url.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// IDispatch of the document and the browser: no type information and no
// names, since only native callers read them.
#define PAGEHOST_NO_DISPATCH                                                                   \
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {                         \
        if (!count) return E_POINTER;                                                          \
        *count = 0;                                                                            \
        return S_OK;                                                                           \
    }                                                                                          \
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {             \
        if (info) *info = nullptr;                                                             \
        return E_NOTIMPL;                                                                      \
    }                                                                                          \
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { \
        return E_NOTIMPL;                                                                      \
    }                                                                                          \
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,        \
                                     EXCEPINFO*, UINT*) override {                             \
        return E_NOTIMPL;                                                                      \
    }

// The page's document, which is also the control's container.
class Document final : public HtmlDocumentStub, public IOleContainer, public RefCounted {
public:
    explicit Document(std::shared_ptr<BrowserLocation> location) : location_(std::move(location)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOleContainer || riid == IID_IParseDisplayName)
            *object = static_cast<IOleContainer*>(this);
        else if (riid == IID_IDispatch || riid == IID_IHTMLDocument || riid == IID_IHTMLDocument2)
            *object = static_cast<IHTMLDocument2*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    PAGEHOST_NO_DISPATCH

    HRESULT STDMETHODCALLTYPE get_URL(BSTR* url) override { return CopyUrl(*location_, url); }

    // IOleContainer: the page holds no other embedded objects to list.
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EnumObjects(DWORD, IEnumUnknown** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE LockContainer(BOOL) override { return S_OK; }

private:
    std::shared_ptr<BrowserLocation> location_;
};

// The browser window the page is shown in.
class Browser final : public WebBrowserStub, public RefCounted {
public:
    explicit Browser(std::shared_ptr<BrowserLocation> location) : location_(std::move(location)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IWebBrowser ||
            riid == IID_IWebBrowserApp || riid == IID_IWebBrowser2) {
            *object = static_cast<IWebBrowser2*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    PAGEHOST_NO_DISPATCH

    HRESULT STDMETHODCALLTYPE get_LocationURL(BSTR* url) override {
        return CopyUrl(*location_, url);
    }

private:
    std::shared_ptr<BrowserLocation> location_;
};

// The control's client site in browser mode. Everything but the container
// and the browser service goes to the system container's own site, which
// keeps doing the in-place hosting.
class BrowserSite final : public IOleClientSite, public IServiceProvider, public RefCounted {
public:
    BrowserSite(ComPtr<IOleClientSite> inner, std::shared_ptr<BrowserLocation> location)
        : inner_(std::move(inner)), document_(MakeCom<Document>(location)),
          browser_(MakeCom<Browser>(location)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            *object = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IServiceProvider)
            *object = static_cast<IServiceProvider*>(this);
        else
            return inner_->QueryInterface(riid, object);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE SaveObject() override { return inner_->SaveObject(); }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD which, IMoniker** out) override {
        return inner_->GetMoniker(assign, which, out);
    }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** out) override {
        if (!out) return E_POINTER;
        *out = static_cast<IOleContainer*>(document_.Get());
        (*out)->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return inner_->ShowObject(); }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL show) override { return inner_->OnShowWindow(show); }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override {
        return inner_->RequestNewObjectLayout();
    }

    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (service == SID_SWebBrowserApp) return browser_->QueryInterface(riid, object);
        return E_NOINTERFACE;
    }

private:
    ComPtr<IOleClientSite> inner_;
    ComPtr<Document> document_;
    ComPtr<Browser> browser_;
};

// location.href (read and assign) and location.assign(url).
class Location final : public DispatchBase {
public:
    explicit Location(std::shared_ptr<BrowserLocation> location) : location_(std::move(location)) {}

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!names || !ids) return E_POINTER;
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            if (i == 0 && ::_wcsicmp(names[i], L"href") == 0) ids[i] = kHref;
            else if (i == 0 && ::_wcsicmp(names[i], L"assign") == 0) ids[i] = kAssign;
            else hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* info, UINT*) override {
        if (id == kHref && (flags & DISPATCH_PROPERTYGET)) {
            if (result) {
                V_VT(result) = VT_BSTR;
                return CopyUrl(*location_, &V_BSTR(result));
            }
            return S_OK;
        }
        const bool assign = (id == kHref && (flags & DISPATCH_PROPERTYPUT)) ||
                            (id == kAssign && (flags & DISPATCH_METHOD));
        if (!assign) return DISP_E_MEMBERNOTFOUND;
        VARIANT* arg = ArgAt(params, 0);
        if (!arg) return DISP_E_BADPARAMCOUNT;
        VARIANT text;
        ::VariantInit(&text);
        if (FAILED(::VariantChangeType(&text, arg, 0, VT_BSTR)))
            return RaiseScriptError(info, DISP_E_TYPEMISMATCH, L"location: the address is not text");
        const zfw::Bstr url(V_BSTR(&text));
        location_->url.assign(url.view());
        return S_OK;
    }

private:
    static constexpr DISPID kHref = 1;
    static constexpr DISPID kAssign = 2;
    std::shared_ptr<BrowserLocation> location_;
};

}  // namespace

bool PutControlOnPage(IUnknown* control, std::shared_ptr<BrowserLocation> location) {
    ComPtr<IOleObject> object;
    ComPtr<IOleClientSite> inner;
    if (!control || FAILED(control->QueryInterface(IID_PPV_ARGS(&object))) ||
        FAILED(object->GetClientSite(&inner)) || !inner)
        return false;
    auto site = MakeCom<BrowserSite>(std::move(inner), std::move(location));
    return SUCCEEDED(object->SetClientSite(site.Get()));
}

bool ConfirmObjectSafety(IUnknown* object) {
    // Without IObjectSafety a browser would fall back to the registered
    // component categories; this page host only ever asks, so it refuses.
    ComPtr<IObjectSafety> safety;
    if (!object || FAILED(object->QueryInterface(IID_IObjectSafety,
                                                 reinterpret_cast<void**>(safety.GetAddressOf()))))
        return false;
    constexpr DWORD caller = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
    constexpr DWORD data = INTERFACESAFE_FOR_UNTRUSTED_DATA;
    if (FAILED(safety->SetInterfaceSafetyOptions(IID_IDispatch, caller, caller))) return false;
    // Untrusted data reaches the object through whichever persistence
    // interface it has.
    for (const IID* iid : {&IID_IPersistPropertyBag, &IID_IPersistStreamInit}) {
        ComPtr<IUnknown> persistence;
        if (FAILED(object->QueryInterface(*iid, &persistence))) continue;
        return SUCCEEDED(safety->SetInterfaceSafetyOptions(*iid, data, data));
    }
    return true;
}

bool AnswerSafetyPolicy(REFGUID key, const BYTE* context, DWORD contextSize, DWORD& policy) {
    // GUID_CUSTOM_CONFIRMOBJECTSAFETY, which the import libraries lack.
    static constexpr GUID kConfirmObjectSafety = {
        0x10200490, 0xfa38, 0x11d0, {0xac, 0x0e, 0x00, 0xa0, 0xc9, 0x0f, 0xff, 0xc0}};
    if (key != kConfirmObjectSafety) return false;
    CONFIRMSAFETY request{};
    if (!context || contextSize < sizeof(request)) {
        policy = URLPOLICY_DISALLOW;
        return true;
    }
    std::memcpy(&request, context, sizeof(request));
    policy = ConfirmObjectSafety(request.pUnk) ? URLPOLICY_ALLOW : URLPOLICY_DISALLOW;
    return true;
}

HRESULT UseBrowserSecurity(IUnknown* engine) {
    ComPtr<IObjectSafety> safety;
    HRESULT hr = engine->QueryInterface(IID_IObjectSafety,
                                        reinterpret_cast<void**>(safety.GetAddressOf()));
    if (FAILED(hr)) return hr;
    constexpr DWORD options = INTERFACESAFE_FOR_UNTRUSTED_DATA | INTERFACE_USES_DISPEX |
                              INTERFACE_USES_SECURITY_MANAGER;
    return safety->SetInterfaceSafetyOptions(__uuidof(IActiveScriptParse), options, options);
}

ComPtr<IDispatch> MakeLocationObject(std::shared_ptr<BrowserLocation> location) {
    return MakeCom<Location>(std::move(location));
}

}  // namespace pagehost
