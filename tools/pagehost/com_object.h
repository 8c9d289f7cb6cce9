// Small COM plumbing for the page host's own objects (the script site, the
// `host` object, event sinks): reference counting, creation into a ComPtr,
// and raising script exceptions from IDispatch::Invoke.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <memory>
#include <string_view>
#include <utility>

namespace pagehost {

using Microsoft::WRL::ComPtr;

// Reference count shared by every object here. An object is created only
// through MakeCom, starts with one reference owned by the returned ComPtr and
// deletes itself when the last reference goes.
class RefCounted {
public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;
    virtual ~RefCounted() = default;

protected:
    ULONG AddRefImpl() noexcept { return ::InterlockedIncrement(&refs_); }
    ULONG ReleaseImpl() noexcept {
        const ULONG left = ::InterlockedDecrement(&refs_);
        if (left == 0) std::unique_ptr<RefCounted> self(this);
        return left;
    }

private:
    LONG refs_ = 1;
};

// Base of the page host's script-facing objects: IUnknown and the part of
// IDispatch that offers no type information. A derived class may answer for
// one more interface (an event sink for its source's event interface).
class DispatchBase : public IDispatch, public RefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || AnswersFor(riid)) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return E_NOTIMPL;
    }

protected:
    virtual bool AnswersFor(REFIID) const { return false; }
};

// Creates a `T` and hands its first reference to the returned pointer.
template <typename T, typename... Args>
ComPtr<T> MakeCom(Args&&... args) {
    ComPtr<T> object;
    object.Attach(std::make_unique<T>(std::forward<Args>(args)...).release());
    return object;
}

// Error the `host` object raises to unwind the script after host.exit: every
// later host call and event raises it again, so a script cannot carry on.
inline constexpr HRESULT kExitRequested = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0E71);

// Fills `info` (when the caller gave one) so that the script sees an
// exception with number `code` and `description`; returns DISP_E_EXCEPTION.
inline HRESULT RaiseScriptError(EXCEPINFO* info, HRESULT code, std::wstring_view description) {
    if (!info) return code;
    *info = EXCEPINFO{};
    info->bstrSource = ::SysAllocString(L"pagehost");
    info->bstrDescription =
        ::SysAllocStringLen(description.data(), static_cast<UINT>(description.size()));
    info->scode = code;
    return DISP_E_EXCEPTION;
}

// The argument at `index` in call order (DISPPARAMS keeps them reversed),
// with a by-reference variant followed; nullptr when the caller passed fewer.
inline VARIANT* ArgAt(const DISPPARAMS* params, UINT index) {
    if (!params || index >= params->cArgs) return nullptr;
    VARIANT* arg = &params->rgvarg[params->cArgs - 1 - index];
    while (V_VT(arg) == (VT_BYREF | VT_VARIANT)) arg = V_VARIANTREF(arg);
    return arg;
}

}  // namespace pagehost
