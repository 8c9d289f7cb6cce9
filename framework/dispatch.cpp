#include "framework/dispatch.h"

#include "framework/com.h"

#include <utility>

namespace zfw {
namespace {

std::wstring ModuleBaseName() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
    std::wstring name(path, n < MAX_PATH ? n : 0);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    const size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return name;
}

}  // namespace

HRESULT RaiseScriptException(EXCEPINFO* info, HRESULT code, std::wstring_view description) noexcept {
    if (!info) return FAILED(code) ? code : E_FAIL;
    *info = EXCEPINFO{};
    try {
        info->bstrSource = Bstr(ModuleBaseName()).release();
    } catch (...) {
    }
    info->bstrDescription =
        ::SysAllocStringLen(description.data(), static_cast<UINT>(description.size()));
    info->scode = FAILED(code) ? code : E_FAIL;
    return DISP_E_EXCEPTION;
}

HRESULT LoadModuleTypeLib(ITypeLib** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    return ::LoadTypeLibEx(path, REGKIND_NONE, out);
}

namespace {
SRWLOCK g_typeLibLock = SRWLOCK_INIT;
// One reference, under g_typeLibLock. Not a ComPtr: a static's destructor
// would call into the system while the process exits; ReleaseModuleTypeLib
// lets go of it instead.
ITypeLib* g_typeLib = nullptr;
}  // namespace

HRESULT ModuleTypeLib(ITypeLib** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    ::AcquireSRWLockExclusive(&g_typeLibLock);
    scope_exit unlock([] { ::ReleaseSRWLockExclusive(&g_typeLibLock); });
    if (!g_typeLib) {
        const HRESULT hr = LoadModuleTypeLib(&g_typeLib);
        if (FAILED(hr)) return hr;
    }
    g_typeLib->AddRef();
    *out = g_typeLib;
    return S_OK;
}

void ReleaseModuleTypeLib() noexcept {
    ITypeLib* library = nullptr;
    ::AcquireSRWLockExclusive(&g_typeLibLock);
    std::swap(library, g_typeLib);
    ::ReleaseSRWLockExclusive(&g_typeLibLock);
    if (library) library->Release();
}

HRESULT CoerceToBstr(const VARIANT& in, LCID lcid, BSTR* out) noexcept {
    *out = nullptr;
    VARIANT value;
    ::VariantInit(&value);
    // Arguments passed by reference (VBScript variables) are read through.
    HRESULT hr = ::VariantCopyInd(&value, const_cast<VARIANT*>(&in));
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    scope_exit clear([&] { ::VariantClear(&value); });

    switch (V_VT(&value)) {
    case VT_EMPTY:
    case VT_NULL:
        *out = ::SysAllocString(L"");
        return *out ? S_OK : E_OUTOFMEMORY;
    case VT_ERROR:
        if (V_ERROR(&value) == DISP_E_PARAMNOTFOUND) return DISP_E_PARAMNOTOPTIONAL;
        break;
    case VT_BSTR:
        *out = V_BSTR(&value) ? ::SysAllocStringLen(V_BSTR(&value), ::SysStringLen(V_BSTR(&value)))
                              : ::SysAllocString(L"");
        return *out ? S_OK : E_OUTOFMEMORY;
    default:
        break;
    }
    VARIANT text;
    ::VariantInit(&text);
    hr = ::VariantChangeTypeEx(&text, &value, lcid, 0, VT_BSTR);
    if (FAILED(hr) || V_VT(&text) != VT_BSTR) {
        ::VariantClear(&text);
        return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
    }
    *out = V_BSTR(&text) ? V_BSTR(&text) : ::SysAllocString(L"");
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CheckInvokeArguments(unsigned argc, WORD flags, const DISPPARAMS* params, LCID lcid,
                             Bstr* coerced, UINT* argErr) noexcept {
    // Every member is a method: reading or assigning it as a property fails.
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    const DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (!params) params = &none;
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (params->cArgs != argc || argc > kMaxDispArgs) return DISP_E_BADPARAMCOUNT;
    if (argc > 0 && !params->rgvarg) return E_INVALIDARG;
    for (unsigned i = 0; i < argc; ++i) {
        // Arguments arrive last first.
        const UINT position = argc - 1 - i;
        BSTR text = nullptr;
        const HRESULT hr = CoerceToBstr(params->rgvarg[position], lcid, &text);
        if (FAILED(hr)) {
            if (argErr) *argErr = position;
            return hr;
        }
        coerced[i].reset(text);
    }
    return S_OK;
}

}  // namespace zfw
