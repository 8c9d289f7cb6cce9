#include "tools/pagehost/event_sink.h"

#include "framework/handle.h"

#include <olectl.h>

#include <algorithm>
#include <string>

namespace pagehost {
namespace {

// One connection's receiver: answers for the source's event interface and
// turns one event (by DISPID) into a call of one script function.
class EventSink final : public DispatchBase {
public:
    EventSink(std::shared_ptr<PageContext> context, const IID& events, DISPID event,
              ComPtr<IDispatch> handler)
        : context_(std::move(context)), events_(events), event_(event),
          handler_(std::move(handler)) {}

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }

    bool AnswersFor(REFIID riid) const override { return riid == events_; }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* info, UINT*) override {
        // A browser ignores events the page has no handler for, and a page
        // that has ended handles nothing more.
        if (id != event_ || context_->exitRequested) return S_OK;
        if (!params) return E_INVALIDARG;

        // The event's arguments are already in the reversed DISPPARAMS order a
        // call expects; named arguments of the source mean nothing to script.
        DISPPARAMS call{params->rgvarg, nullptr, params->cArgs, 0};
        VARIANT value;
        ::VariantInit(&value);
        EXCEPINFO error{};
        const HRESULT hr = handler_->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT,
                                            DISPATCH_METHOD, &call, &value, &error, nullptr);
        if (FAILED(hr)) {
            if (hr == DISP_E_EXCEPTION && error.pfnDeferredFillIn) error.pfnDeferredFillIn(&error);
            if (info) {
                *info = error;
            } else {
                ::SysFreeString(error.bstrSource);
                ::SysFreeString(error.bstrDescription);
                ::SysFreeString(error.bstrHelpFile);
            }
            return hr;
        }
        if (result) {
            *result = value;
        } else {
            ::VariantClear(&value);
        }
        return S_OK;
    }

private:
    std::shared_ptr<PageContext> context_;
    IID events_;
    DISPID event_;
    ComPtr<IDispatch> handler_;
};

// Attributes of a type, released when the scope ends.
class TypeAttr {
public:
    explicit TypeAttr(ITypeInfo* type) : type_(type) {
        if (FAILED(type_->GetTypeAttr(&attr_))) attr_ = nullptr;
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    ~TypeAttr() {
        if (attr_) type_->ReleaseTypeAttr(attr_);
    }
    const TYPEATTR* operator->() const { return attr_; }
    explicit operator bool() const { return attr_ != nullptr; }

private:
    ITypeInfo* type_;
    TYPEATTR* attr_ = nullptr;
};

// The default source interface of `source`: its IID and its type information,
// which maps event names to DISPIDs. The IID comes from IProvideClassInfo2
// when the object has it, else from the class's default source entry.
HRESULT FindEventInterface(IDispatch* source, IID& iid, ComPtr<ITypeInfo>& events,
                           EXCEPINFO* info) {
    ComPtr<IProvideClassInfo> provider;
    if (FAILED(source->QueryInterface(IID_PPV_ARGS(&provider))))
        return RaiseScriptError(info, E_NOINTERFACE,
                                L"host.connect: the object gives no class information");
    ComPtr<ITypeInfo> coclass;
    HRESULT hr = provider->GetClassInfo(&coclass);
    if (FAILED(hr) || !coclass)
        return RaiseScriptError(info, FAILED(hr) ? hr : E_FAIL,
                                L"host.connect: GetClassInfo failed");

    bool known = false;
    ComPtr<IProvideClassInfo2> provider2;
    if (SUCCEEDED(source->QueryInterface(IID_PPV_ARGS(&provider2))) &&
        SUCCEEDED(provider2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &iid)))
        known = true;

    const TypeAttr classAttr(coclass.Get());
    if (!classAttr)
        return RaiseScriptError(info, E_FAIL, L"host.connect: no attributes for the class");
    for (UINT i = 0; i < classAttr->cImplTypes; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> type;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags)) ||
            FAILED(coclass->GetRefTypeOfImplType(i, &ref)) ||
            FAILED(coclass->GetRefTypeInfo(ref, &type)))
            continue;
        const TypeAttr attr(type.Get());
        if (!attr) continue;
        const bool defaultSource = (flags & IMPLTYPEFLAG_FDEFAULT) && (flags & IMPLTYPEFLAG_FSOURCE);
        if (known ? attr->guid == iid : defaultSource) {
            iid = attr->guid;
            events = type;
            return S_OK;
        }
    }
    return RaiseScriptError(info, CONNECT_E_NOCONNECTION,
                            L"host.connect: the object has no default source interface");
}

HRESULT FindConnectionPoint(IDispatch* source, const IID& iid, ComPtr<IConnectionPoint>& point,
                            EXCEPINFO* info) {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(source->QueryInterface(IID_PPV_ARGS(&container))))
        return RaiseScriptError(info, E_NOINTERFACE,
                                L"host.connect: the object has no connection points");
    const HRESULT hr = container->FindConnectionPoint(iid, &point);
    if (FAILED(hr))
        return RaiseScriptError(info, hr,
                                L"host.connect: no connection point for the event interface");
    return S_OK;
}

// COM identity. MinGW's ComPtr has no comparison operators: two of them
// compared directly compare only whether each holds something.
bool SameObject(IUnknown* a, IUnknown* b) {
    ComPtr<IUnknown> ia, ib;
    return SUCCEEDED(a->QueryInterface(IID_PPV_ARGS(&ia))) &&
           SUCCEEDED(b->QueryInterface(IID_PPV_ARGS(&ib))) && ia.Get() == ib.Get();
}

}  // namespace

HRESULT ConnectEvent(const std::shared_ptr<PageContext>& context, IDispatch* source,
                     std::wstring_view eventName, IDispatch* handler, DWORD& cookie,
                     EXCEPINFO* info) {
    IID iid{};
    ComPtr<ITypeInfo> events;
    HRESULT hr = FindEventInterface(source, iid, events, info);
    if (FAILED(hr)) return hr;

    std::wstring name(eventName);
    LPOLESTR names[] = {name.data()};
    DISPID event = DISPID_UNKNOWN;
    if (FAILED(events->GetIDsOfNames(names, 1, &event)))
        return RaiseScriptError(info, DISP_E_UNKNOWNNAME,
                                L"host.connect: the object has no event named " + name);

    ComPtr<IConnectionPoint> point;
    hr = FindConnectionPoint(source, iid, point, info);
    if (FAILED(hr)) return hr;

    auto sink = MakeCom<EventSink>(context, iid, event, ComPtr<IDispatch>(handler));
    hr = point->Advise(static_cast<IDispatch*>(sink.Get()), &cookie);
    if (FAILED(hr)) return RaiseScriptError(info, hr, L"host.connect: Advise failed");
    context->connections.push_back({point, cookie});
    return S_OK;
}

HRESULT DisconnectEvent(PageContext& context, IDispatch* source, DWORD cookie, EXCEPINFO* info) {
    IID iid{};
    ComPtr<ITypeInfo> events;
    HRESULT hr = FindEventInterface(source, iid, events, info);
    if (FAILED(hr)) return hr;
    ComPtr<IConnectionPoint> point;
    hr = FindConnectionPoint(source, iid, point, info);
    if (FAILED(hr)) return hr;

    hr = point->Unadvise(cookie);
    if (FAILED(hr)) return RaiseScriptError(info, hr, L"host.disconnect: Unadvise failed");
    std::erase_if(context.connections, [&](const Connection& c) {
        return c.cookie == cookie && SameObject(c.point.Get(), point.Get());
    });
    return S_OK;
}

void DisconnectAll(PageContext& context) {
    // Take the list first: releasing a sink must not find it half walked.
    auto open = std::move(context.connections);
    context.connections.clear();
    for (auto& connection : open) connection.point->Unadvise(connection.cookie);
}

void DisconnectFrom(PageContext& context, IUnknown* source) {
    std::vector<Connection> gone;
    std::erase_if(context.connections, [&](Connection& c) {
        ComPtr<IConnectionPointContainer> owner;
        if (FAILED(c.point->GetConnectionPointContainer(&owner)) || !SameObject(owner.Get(), source))
            return false;
        gone.push_back(std::move(c));
        return true;
    });
    // Unadvised once off the list: releasing a sink may call back in.
    for (auto& connection : gone) connection.point->Unadvise(connection.cookie);
}

}  // namespace pagehost
