#include "support/elevation.h"

#include "framework/failure.h"
#include "framework/handle.h"
#include "support/module_name.h"
#include "support/os_version.h"

#include <comcat.h>
#include <objbase.h>
#include <strsafe.h>
#include <wrl/client.h>

#include <cwchar>

namespace zarn {

using Microsoft::WRL::ComPtr;

namespace {

void ShowFailure(const wchar_t* text) {
    ::MessageBoxW(nullptr, text, ModuleBaseName().c_str(), MB_OK | MB_APPLMODAL);
}

HRESULT GetCategoryManager(ComPtr<ICatRegister>& manager) {
    return CreateElevatedOrInProcess(nullptr, CLSID_StdComponentCategoriesMgr, IID_ICatRegister,
                                     reinterpret_cast<void**>(manager.ReleaseAndGetAddressOf()));
}

}  // namespace

HRESULT CoCreateInstanceAsAdmin(HWND owner, REFCLSID clsid, REFIID iid, void** out) {
    wchar_t clsidText[50] = {};
    ::StringFromGUID2(clsid, clsidText, static_cast<int>(std::size(clsidText)));
    wchar_t monikerName[300] = {};
    const HRESULT printed = ::StringCchPrintfW(monikerName, std::size(monikerName),
                                               L"Elevation:Administrator!new:%s", clsidText);
    if (FAILED(printed)) {
        ShowFailure(L"Fail to CoCreateInstanceAsAdmin::StringCchPrintf");
        return printed;
    }
    BIND_OPTS3 options{};
    options.cbStruct = sizeof(options);
    options.hwnd = owner;
    options.dwClassContext = CLSCTX_LOCAL_SERVER;
    return ::CoGetObject(monikerName, &options, iid, out);
}

HRESULT CreateElevatedOrInProcess(HWND owner, REFCLSID clsid, REFIID iid, void** out) {
    if (IsVistaOrLater()) {
        const HRESULT elevated = CoCreateInstanceAsAdmin(owner, clsid, iid, out);
        if (SUCCEEDED(elevated)) return elevated;
    }
    return ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
}

HRESULT CreateComponentCategory(REFGUID catid, const wchar_t* description) {
    ComPtr<ICatRegister> manager;
    const HRESULT created = ZFW_LOG_IF_FAILED(GetCategoryManager(manager));
    if (FAILED(created)) {
        ShowFailure(L"Fail to CreateComponentCategory::CoCreateInstance");
        return created;
    }
    CATEGORYINFO info{};
    info.catid = catid;
    info.lcid = 0x409;
    // The description field holds 127 characters and the terminator.
    size_t length = std::wcslen(description);
    if (length > 127) length = 127;
    if (FAILED(::StringCchCopyW(info.szDescription, length + 1, description)))
        ShowFailure(L"Fail to CreateComponentCategory::StringCchCopy");
    const HRESULT registered = ZFW_LOG_IF_FAILED(manager->RegisterCategories(1, &info));
    if (FAILED(registered)) ShowFailure(L"Fail to CreateComponentCategory::RegisterCategories");
    return registered;
}

HRESULT AddClassToCategory(REFCLSID clsid, REFGUID catid) {
    ComPtr<ICatRegister> manager;
    ZFW_RETURN_IF_FAILED(GetCategoryManager(manager));
    CATID categories[1] = {catid};
    return ZFW_LOG_IF_FAILED(manager->RegisterClassImplCategories(clsid, 1, categories));
}

}  // namespace zarn
