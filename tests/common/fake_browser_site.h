// A fake browser site for the control: a client site whose container is the
// page's document (IHTMLDocument2::get_URL) and whose service provider offers
// the browser (SID_SWebBrowserApp, IWebBrowser2::get_LocationURL). The fakes
// are not reference counted: they outlive the control that holds them.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <servprov.h>
#include <shlguid.h>

#include <string>

#include "tools/pagehost/browser_stubs.h"

namespace fake_browser {

// The page's document and browser; each answers with `url`.
struct FakeDocument : pagehost::HtmlDocumentStub, IOleContainer {
    std::wstring url;
    bool answersDocument = true;
    int urlReads = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOleContainer || riid == IID_IParseDisplayName)
            *out = static_cast<IOleContainer*>(this);
        else if (answersDocument && (riid == IID_IHTMLDocument2 || riid == IID_IDispatch))
            *out = static_cast<IHTMLDocument2*>(this);
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_URL(BSTR* p) override {
        ++urlReads;
        *p = ::SysAllocString(url.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EnumObjects(DWORD, IEnumUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockContainer(BOOL) override { return S_OK; }
};

struct FakeBrowser : pagehost::WebBrowserStub {
    std::wstring url;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IWebBrowser2 ||
            riid == IID_IWebBrowserApp)
            *out = static_cast<IWebBrowser2*>(this);
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_LocationURL(BSTR* p) override {
        *p = ::SysAllocString(url.c_str());
        return S_OK;
    }
};

struct FakeSite : IOleClientSite, IServiceProvider {
    FakeDocument document;
    FakeBrowser browser;
    bool hasContainer = true;
    bool providesBrowser = true;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOleClientSite) *out = static_cast<IOleClientSite*>(this);
        else if (providesBrowser && riid == IID_IServiceProvider)
            *out = static_cast<IServiceProvider*>(this);
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** out) override {
        *out = hasContainer ? static_cast<IOleContainer*>(&document) : nullptr;
        return hasContainer ? S_OK : E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** out) override {
        *out = nullptr;
        if (service != SID_SWebBrowserApp) return E_NOINTERFACE;
        return browser.QueryInterface(riid, out);
    }
};

}  // namespace fake_browser
