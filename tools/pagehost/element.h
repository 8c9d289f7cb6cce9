// The page's <object> element: what the script's name for the control
// refers to. Calls on it go through to the hosted control; host.release
// removes the element from the page, after which the control has been let
// go and a call on the element is a script error.
//
// Like a browser's element, it holds one reference on the control and takes
// no extra one while a call runs: a control that is removed during its own
// call must keep itself alive, and pages (and tests) can only see that it
// does when nobody else keeps it alive for it.
#pragma once

#include "tools/pagehost/com_object.h"

namespace pagehost {

class ControlElement final : public DispatchBase {
public:
    explicit ControlElement(ComPtr<IDispatch> control) : control_(std::move(control)) {}

    // While attached, the control's connection points and class information
    // answer through the element too (host.connect reads them).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                                     UINT* argErr) override;

    // The control while the element is on the page, else null.
    IDispatch* Control() const noexcept { return control_.Get(); }
    // Takes the element off the page: its reference on the control goes.
    void Detach() noexcept { control_.Reset(); }

private:
    ComPtr<IDispatch> control_;
};

}  // namespace pagehost
