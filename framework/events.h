// The event connection point of a control: one outgoing dispatch interface,
// any number of sinks. Sinks are kept in a growable array; a cookie is the
// slot index plus one. Raising an event calls every sink in connection order
// and drops a sink's failure so the next sink still hears the event.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <vector>

namespace zfw {

class ConnectionPoint final : public IConnectionPoint {
public:
    // `owner` is the controlling object: it keeps this connection point alive
    // and answers for its reference count.
    ConnectionPoint(IConnectionPointContainer* owner, const IID& eventIid) noexcept
        : owner_(owner), eventIid_(eventIid) {}
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    // IUnknown (reference counts go to the owner)
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return owner_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_->Release(); }
    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** out) override;

    const IID& EventIid() const noexcept { return eventIid_; }

    // Calls method `id` on every connected sink with `args` in declaration
    // order; no result is asked for and a failing sink is skipped.
    void Fire(DISPID id, VARIANT* args, UINT count) noexcept;

    // Drops every sink (when the control is closed).
    void DisconnectAll() noexcept { sinks_.clear(); }

private:
    IConnectionPointContainer* owner_;
    IID eventIid_;
    std::vector<Microsoft::WRL::ComPtr<IDispatch>> sinks_;
};

// IConnectionPointContainer::EnumConnectionPoints and FindConnectionPoint for
// an object with exactly one connection point.
HRESULT EnumSingleConnectionPoint(ConnectionPoint& point, IEnumConnectionPoints** out) noexcept;
HRESULT FindSingleConnectionPoint(ConnectionPoint& point, REFIID iid,
                                  IConnectionPoint** out) noexcept;

}  // namespace zfw
