#include "common/com_helpers.h"

#include "framework/handle.h"

#include <stdexcept>

namespace rig {

HRESULT CreateFromModuleFile(const std::wstring& path, REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    const HMODULE module = ::LoadLibraryW(path.c_str());
    if (!module) return HRESULT_FROM_WIN32(::GetLastError());
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    if (!get) return HRESULT_FROM_WIN32(::GetLastError());
    Microsoft::WRL::ComPtr<IClassFactory> factory;
    const HRESULT got = get(clsid, IID_PPV_ARGS(&factory));
    if (FAILED(got)) return got;
    return factory->CreateInstance(nullptr, iid, out);
}

ComApartment::ComApartment() {
    if (FAILED(::OleInitialize(nullptr))) throw std::runtime_error("OleInitialize failed");
}
ComApartment::~ComApartment() { ::OleUninitialize(); }

std::optional<std::wstring> ReadRegString(HKEY root, const std::wstring& path, const wchar_t* name) {
    zfw::unique_hkey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0, bytes = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                           &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    value.resize(bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return value;
}

bool RegKeyExists(HKEY root, const std::wstring& path) {
    zfw::unique_hkey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void CallByName(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args,
                CallResult& out, WORD flags) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    out.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (SUCCEEDED(out.hr)) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                          static_cast<UINT>(reversed.size()), 0};
        EXCEPINFO info{};
        out.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &out.result,
                                &info, &out.argErr);
        if (info.bstrDescription) out.description = info.bstrDescription;
        ::SysFreeString(info.bstrDescription);
        ::SysFreeString(info.bstrSource);
        ::SysFreeString(info.bstrHelpFile);
    }
    for (VARIANT& v : args) ::VariantClear(&v);
}

VARIANT Str(const wchar_t* text) {
    VARIANT v;
    ::VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = ::SysAllocString(text);
    return v;
}
VARIANT Int(int value) {
    VARIANT v;
    ::VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}
VARIANT Null() {
    VARIANT v;
    ::VariantInit(&v);
    V_VT(&v) = VT_NULL;
    return v;
}
VARIANT Missing() {
    VARIANT v;
    ::VariantInit(&v);
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
    return v;
}

RecordingSink::RecordingSink(const IID& eventIid,
                             std::vector<std::pair<RecordingSink*, Event>>* journal, bool fail)
    : eventIid_(eventIid), journal_(journal), fail_(fail) {}

STDMETHODIMP RecordingSink::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IDispatch) ||
        ::IsEqualIID(iid, eventIid_)) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP RecordingSink::GetTypeInfoCount(UINT* count) {
    *count = 0;
    return S_OK;
}

STDMETHODIMP RecordingSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) {
    Event event{id, {}};
    for (UINT i = params ? params->cArgs : 0; i-- > 0;) {
        const VARIANT& v = params->rgvarg[i];
        event.args.push_back(V_VT(&v) == VT_BSTR && V_BSTR(&v)
                                 ? std::wstring(V_BSTR(&v), ::SysStringLen(V_BSTR(&v)))
                                 : std::wstring(L"<vt ") + std::to_wstring(V_VT(&v)) + L">");
    }
    journal_->push_back({this, std::move(event)});
    return fail_ ? E_FAIL : S_OK;
}

}  // namespace rig
