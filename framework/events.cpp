#include "framework/events.h"

#include "framework/com.h"

#include <olectl.h>

#include <algorithm>
#include <new>

using Microsoft::WRL::ComPtr;

namespace zfw {
namespace {

// Enumerator over one connection point (or none, once it has been read).
class SingleConnectionPointEnum
    : public ComObject<SingleConnectionPointEnum, IEnumConnectionPoints> {
public:
    SingleConnectionPointEnum(IConnectionPoint* point, ULONG position) noexcept
        : point_(point), position_(position) {}

    STDMETHODIMP Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG got = 0;
        if (count > 0 && position_ == 0) {
            point_->AddRef();
            out[0] = point_.Get();
            position_ = 1;
            got = 1;
        }
        if (fetched) *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        if (count == 0) return S_OK;
        const bool had = position_ == 0;
        position_ = 1;
        return had && count == 1 ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumConnectionPoints** out) override {
        return MakeComObject<SingleConnectionPointEnum>(IID_IEnumConnectionPoints,
                                                        reinterpret_cast<void**>(out),
                                                        point_.Get(), position_);
    }

private:
    ComPtr<IConnectionPoint> point_;
    ULONG position_;
};

}  // namespace

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IConnectionPoint)) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = eventIid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out) return E_POINTER;
    owner_->AddRef();
    *out = owner_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    ComPtr<IDispatch> events;
    if (FAILED(sink->QueryInterface(eventIid_, reinterpret_cast<void**>(events.GetAddressOf()))) ||
        !events)
        return CONNECT_E_CANNOTCONNECT;
    try {
        auto slot = std::find(sinks_.begin(), sinks_.end(), nullptr);
        if (slot == sinks_.end()) slot = sinks_.insert(sinks_.end(), nullptr);
        *slot = std::move(events);
        *cookie = static_cast<DWORD>(slot - sinks_.begin()) + 1;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
    if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1])
        return CONNECT_E_NOCONNECTION;
    // Take the sink out before releasing it: its Release may call back in.
    ComPtr<IDispatch> gone = std::move(sinks_[cookie - 1]);
    sinks_[cookie - 1] = nullptr;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

void ConnectionPoint::Fire(DISPID id, VARIANT* args, UINT count) noexcept {
    try {
        // A handler may connect or disconnect sinks while the event runs:
        // walk a snapshot so every sink connected now hears it once.
        const std::vector<ComPtr<IDispatch>> snapshot = sinks_;
        std::vector<VARIANT> reversed(args, args + count);
        std::reverse(reversed.begin(), reversed.end());
        for (const auto& sink : snapshot) {
            if (!sink) continue;
            DISPPARAMS params{reversed.data(), nullptr, count, 0};
            try {
                sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                             nullptr, nullptr);
            } catch (...) {
                // A failing sink must not stop the others.
            }
        }
    } catch (...) {
        // Out of memory for the snapshot: the event is lost, the caller goes on.
    }
}

HRESULT EnumSingleConnectionPoint(ConnectionPoint& point, IEnumConnectionPoints** out) noexcept {
    if (!out) return E_POINTER;
    return MakeComObject<SingleConnectionPointEnum>(
        IID_IEnumConnectionPoints, reinterpret_cast<void**>(out), &point, 0UL);
}

HRESULT FindSingleConnectionPoint(ConnectionPoint& point, REFIID iid,
                                  IConnectionPoint** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!::IsEqualIID(iid, point.EventIid())) return CONNECT_E_NOCONNECTION;
    point.AddRef();
    *out = &point;
    return S_OK;
}

}  // namespace zfw
