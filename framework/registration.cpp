#include "framework/registration.h"

#include "framework/com.h"
#include "framework/failure.h"
#include "framework/handle.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <cwchar>
#include <initializer_list>

namespace zfw {
namespace {

LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool KeyIsEmpty(HKEY root, const std::wstring& path) {
    unique_hkey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0, values = 0;
    if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                           &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    return subkeys == 0 && values == 0;
}

// `status` of `call` as an HRESULT; a failure is reported with the call.
HRESULT FromStatus(LSTATUS status, const Origin& call) {
    if (status == ERROR_SUCCESS) return S_OK;
    return LogIfFailed(HRESULT_FROM_WIN32(static_cast<DWORD>(status)), call);
}

}  // namespace

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(ModuleInstance(), path.data(),
                                             static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring LoadResourceString(UINT id) {
    const wchar_t* text = nullptr;
    const int n = ::LoadStringW(ModuleInstance(), id, reinterpret_cast<LPWSTR>(&text), 0);
    return n > 0 && text ? std::wstring(text, static_cast<size_t>(n)) : std::wstring();
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[64] = {};
    const int n = ::StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
    return n > 0 ? std::wstring(text) : std::wstring();
}

HRESULT RegisterModuleTypeLib() noexcept {
    try {
        Microsoft::WRL::ComPtr<ITypeLib> library;
        std::wstring path = ModulePath();
        ZFW_RETURN_IF_FAILED(::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library));
        ZFW_RETURN_IF_FAILED(::RegisterTypeLib(library.Get(), path.data(), nullptr));
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UnregisterModuleTypeLib(const GUID& libid, WORD major, WORD minor) noexcept {
#ifdef _WIN64
    constexpr SYSKIND kind = SYS_WIN64;
#else
    constexpr SYSKIND kind = SYS_WIN32;
#endif
    return ::UnRegisterTypeLib(libid, major, minor, 0, kind);
}

std::wstring ExpandRegistryText(const wchar_t* text) {
    std::wstring out;
    for (const wchar_t* p = text; *p;) {
        const wchar_t* close = *p == L'[' ? std::wcschr(p, L']') : nullptr;
        if (!close) {
            out += *p++;
            continue;
        }
        const std::wstring item(p + 1, close);
        if (item == L"module") {
            out += ModulePath();
        } else if (item == L"module_dir") {
            const std::wstring path = ModulePath();
            out += path.substr(0, path.find_last_of(L'\\'));
        } else if (item == L"typelib.platform") {
            out += sizeof(void*) == 8 ? L"win64" : L"win32";
        } else if (item.starts_with(L"string:")) {
            const std::wstring text = LoadResourceString(std::wcstoul(item.c_str() + 7, nullptr, 10));
            if (text.empty()) return {};
            out += text;
        } else {
            out.append(p, close + 1);  // not a placeholder: kept as written
        }
        p = close + 1;
    }
    return out;
}

HRESULT WriteRegistryEntry(const RegistryEntry& entry) noexcept {
    try {
        unique_hkey key;
        const LSTATUS created = ::RegCreateKeyExW(
            HKEY_CLASSES_ROOT, ExpandRegistryText(entry.key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
            nullptr, key.put(), nullptr);
        if (created != ERROR_SUCCESS) return FromStatus(created, ZFW_ORIGIN(0, "RegCreateKeyEx"));
        if (!entry.value) return S_OK;
        const std::wstring value = ExpandRegistryText(entry.value);
        if (value.empty() && *entry.value)  // a missing string resource
            return LogIfFailed(E_FAIL, ZFW_ORIGIN(0, "LoadString"));
        return FromStatus(SetString(key.get(), entry.name, value), ZFW_ORIGIN(0, "RegSetValueEx"));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UnregisterClass(const CLSID& clsid, const wchar_t* progId) noexcept {
    try {
        const std::wstring root = L"CLSID\\" + GuidText(clsid);
        for (const wchar_t* sub : {L"ProgID", L"InprocServer32", L"Control", L"MiscStatus",
                                   L"ToolboxBitmap32", L"TypeLib", L"Version"})
            ::RegDeleteTreeW(HKEY_CLASSES_ROOT, (root + L"\\" + sub).c_str());
        {
            unique_hkey key;
            if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, root.c_str(), 0, KEY_SET_VALUE, key.put()) ==
                ERROR_SUCCESS)
                ::RegDeleteValueW(key.get(), nullptr);
        }
        if (KeyIsEmpty(HKEY_CLASSES_ROOT, root)) ::RegDeleteKeyW(HKEY_CLASSES_ROOT, root.c_str());
        if (progId && *progId) {
            const LSTATUS status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, progId);
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
                return FromStatus(status, ZFW_ORIGIN(0, "RegDeleteTree"));
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace zfw
