// IDispatch for dispatch-only interfaces, driven by the module's embedded type
// library, and the boundary that turns errors escaping a scripting method into
// DISP_E_EXCEPTION with a description.
//
// A class lists its methods in a `DispMethod<T>` table with `ZFW_DISP_METHOD`.
// Methods take BSTR parameters and return void or SCODE; the dispatcher checks
// the argument count and coerces every argument to text the way a scripting
// host expects (numbers and booleans become their text, null and undefined
// the empty string), so a method never sees anything but a valid BSTR.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "framework/failure.h"
#include "framework/handle.h"

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace zfw {

// Fills `info` (when given) and returns DISP_E_EXCEPTION; without `info`
// the plain `code` is returned, as the caller asked for no details.
HRESULT RaiseScriptException(EXCEPINFO* info, HRESULT code, std::wstring_view description) noexcept;

// Runs `body` (returning an HRESULT); no C++ exception crosses the boundary.
template <class F>
HRESULT ScriptCallBoundary(EXCEPINFO* info, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return ReportCurrentFailure([info](HRESULT code, std::wstring_view description) noexcept {
            return RaiseScriptException(info, code, description);
        });
    }
}

// Loads the type library embedded in this module (resource TYPELIB 1).
HRESULT LoadModuleTypeLib(ITypeLib** out) noexcept;

// The module's type library, loaded once and shared by all its objects (the
// system reads the library afresh once its last reference goes, so loading
// it per object would parse it at every creation). Thread-safe.
HRESULT ModuleTypeLib(ITypeLib** out) noexcept;
// Lets go of the shared type library; DllCanUnloadNow calls it when the
// module may unload. A later ModuleTypeLib loads it again.
void ReleaseModuleTypeLib() noexcept;

// Coerces one script argument to a BSTR. Empty and null become the empty
// text. Returns DISP_E_PARAMNOTOPTIONAL for a missing argument, and
// DISP_E_TYPEMISMATCH when the value has no text form.
HRESULT CoerceToBstr(const VARIANT& in, LCID lcid, BSTR* out) noexcept;

// One entry of a dispatch table.
template <class T>
struct DispMethod {
    DISPID id;
    unsigned argc;
    // Calls the method with `argc` coerced arguments in declaration order.
    HRESULT (*call)(T& object, BSTR* args, VARIANT* result);
};

namespace detail {
template <auto Member, class T, class R, class... A, std::size_t... I>
HRESULT CallMember(T& object, BSTR* args, VARIANT* result, std::index_sequence<I...>) {
    static_assert((std::is_same_v<A, BSTR> && ...), "scripting methods take BSTR parameters");
    if constexpr (std::is_void_v<R>) {
        (object.*Member)(args[I]...);
        if (result) ::VariantInit(result);
    } else {
        static_assert(std::is_same_v<R, SCODE>, "scripting methods return void or SCODE");
        const SCODE value = (object.*Member)(args[I]...);
        if (result) {
            // Script engines read numbers, not VT_ERROR, so the result
            // travels as a plain 32-bit integer.
            ::VariantInit(result);
            V_VT(result) = VT_I4;
            V_I4(result) = value;
        }
    }
    return S_OK;
}

template <auto Member, class T, class R, class... A>
constexpr DispMethod<T> MakeEntry(DISPID id, R (T::*)(A...)) {
    return {id, sizeof...(A), [](T& object, BSTR* args, VARIANT* result) {
                return CallMember<Member, T, R, A...>(object, args, result,
                                                      std::index_sequence_for<A...>{});
            }};
}
}  // namespace detail

// Table entry for member function `Member` with dispatch ID `id`.
#define ZFW_DISP_METHOD(id, Member) ::zfw::detail::MakeEntry<&Member>(id, &Member)

// Largest argument count a dispatch table may use.
inline constexpr unsigned kMaxDispArgs = 8;

// Invokes `id` on `object` from `table` (ended by an entry with id DISPID_UNKNOWN).
// Validates flags, named arguments and the count, coerces the arguments and
// runs the method inside the script-call boundary.
template <class T>
HRESULT InvokeFromTable(T& object, const DispMethod<T>* table, DISPID id, LCID lcid, WORD flags,
                        DISPPARAMS* params, VARIANT* result, EXCEPINFO* info, UINT* argErr) noexcept;

// Shared, non-template part of InvokeFromTable.
HRESULT CheckInvokeArguments(unsigned argc, WORD flags, const DISPPARAMS* params, LCID lcid,
                             Bstr* coerced, UINT* argErr) noexcept;

template <class T>
HRESULT InvokeFromTable(T& object, const DispMethod<T>* table, DISPID id, LCID lcid, WORD flags,
                        DISPPARAMS* params, VARIANT* result, EXCEPINFO* info, UINT* argErr) noexcept {
    const DispMethod<T>* method = nullptr;
    for (const DispMethod<T>* e = table; e->id != DISPID_UNKNOWN; ++e)
        if (e->id == id) method = e;
    if (!method) return DISP_E_MEMBERNOTFOUND;

    Bstr owned[kMaxDispArgs];
    const HRESULT checked = CheckInvokeArguments(method->argc, flags, params, lcid, owned, argErr);
    if (FAILED(checked)) return checked;
    BSTR args[kMaxDispArgs] = {};
    for (unsigned i = 0; i < method->argc; ++i) args[i] = owned[i].get();
    return ScriptCallBoundary(info, [&] { return method->call(object, args, result); });
}

}  // namespace zfw
