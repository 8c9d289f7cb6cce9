#include "tools/pagehost/element.h"

#include <ocidl.h>

namespace pagehost {
namespace {

constexpr HRESULT kRemoved = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0E72);

}  // namespace

HRESULT STDMETHODCALLTYPE ControlElement::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (control_ && (riid == IID_IConnectionPointContainer || riid == IID_IProvideClassInfo ||
                     riid == IID_IProvideClassInfo2))
        return control_->QueryInterface(riid, object);
    return DispatchBase::QueryInterface(riid, object);
}

HRESULT STDMETHODCALLTYPE ControlElement::GetTypeInfoCount(UINT* count) {
    if (!control_) return DispatchBase::GetTypeInfoCount(count);
    return control_->GetTypeInfoCount(count);
}

HRESULT STDMETHODCALLTYPE ControlElement::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
    if (!control_) return DispatchBase::GetTypeInfo(index, lcid, info);
    return control_->GetTypeInfo(index, lcid, info);
}

HRESULT STDMETHODCALLTYPE ControlElement::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count,
                                                        LCID lcid, DISPID* ids) {
    if (!control_) {
        for (UINT i = 0; ids && i < count; ++i) ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    return control_->GetIDsOfNames(riid, names, count, lcid, ids);
}

HRESULT STDMETHODCALLTYPE ControlElement::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                                 DISPPARAMS* params, VARIANT* result,
                                                 EXCEPINFO* info, UINT* argErr) {
    if (!control_)
        return RaiseScriptError(info, kRemoved, L"the control has been removed from the page");
    // Deliberately no reference of its own for the call (see the header).
    IDispatch* control = control_.Get();
    return control->Invoke(id, riid, lcid, flags, params, result, info, argErr);
}

}  // namespace pagehost
