// The control's dispatch table against the type library it ships: a script
// host reads the IDs and argument counts from the type library, and the
// control dispatches by its own table, so the two must agree entry by entry.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>

#include "common/rig.h"
#include "control/web_control.h"
#include "framework/dispatch.h"
#include "framework/handle.h"

using Microsoft::WRL::ComPtr;
using zarn::CWebControlCtrl;

namespace {

struct TypeLibMethod {
    std::wstring name;
    SHORT params = 0;
    SHORT optionalParams = 0;
    FUNCKIND kind = FUNC_DISPATCH;
    INVOKEKIND invoke = INVOKE_FUNC;
};

// Every function description of the control's dispatch interface in the
// type library embedded in the built module, by DISPID.
std::map<DISPID, TypeLibMethod> TypeLibMethods() {
    std::map<DISPID, TypeLibMethod> methods;
    ComPtr<ITypeLib> library;
    const HRESULT loaded = ::LoadTypeLibEx(rig::ModulePath().c_str(), REGKIND_NONE, &library);
    EXPECT_EQ(S_OK, loaded) << "LoadTypeLibEx: got 0x" << std::hex << loaded;
    if (FAILED(loaded)) return methods;
    ComPtr<ITypeInfo> info;
    const HRESULT found = library->GetTypeInfoOfGuid(DIID__DWeb_Control, &info);
    EXPECT_EQ(S_OK, found) << "GetTypeInfoOfGuid: got 0x" << std::hex << found;
    if (FAILED(found)) return methods;
    TYPEATTR* attr = nullptr;
    EXPECT_EQ(S_OK, info->GetTypeAttr(&attr));
    if (!attr) return methods;
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    const WORD count = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < count; ++i) {
        FUNCDESC* desc = nullptr;
        const HRESULT got = info->GetFuncDesc(i, &desc);
        EXPECT_EQ(S_OK, got) << "GetFuncDesc(" << i << "): got 0x" << std::hex << got;
        if (!desc) continue;
        BSTR name = nullptr;
        UINT names = 0;
        info->GetNames(desc->memid, &name, 1, &names);
        const zfw::Bstr owned(name);
        TypeLibMethod method{name ? name : L"", desc->cParams, desc->cParamsOpt,
                             desc->funckind, desc->invkind};
        EXPECT_TRUE(methods.emplace(desc->memid, method).second)
            << "DISPID " << desc->memid << " twice in the type library";
        info->ReleaseFuncDesc(desc);
    }
    return methods;
}

std::string Narrow(const std::wstring& text) { return rig::Utf8(text); }

TEST(DispatchTable, EveryTypeLibraryMethodIsInTheTableWithItsArgumentCount) {
    const std::map<DISPID, TypeLibMethod> methods = TypeLibMethods();
    // The eight scripting methods: a type library that lost one is a fault
    // the comparison alone would not see.
    ASSERT_EQ(8u, methods.size());

    std::map<DISPID, unsigned> table;
    for (const zfw::DispMethod<CWebControlCtrl>* entry = CWebControlCtrl::DispatchTable();
         entry->id != DISPID_UNKNOWN; ++entry)
        EXPECT_TRUE(table.emplace(entry->id, entry->argc).second)
            << "DISPID " << entry->id << " twice in the dispatch table";

    for (const auto& [id, method] : methods) {
        SCOPED_TRACE(Narrow(method.name));
        EXPECT_EQ(FUNC_DISPATCH, method.kind);
        EXPECT_EQ(INVOKE_FUNC, method.invoke);
        EXPECT_EQ(0, method.optionalParams);
        const auto entry = table.find(id);
        ASSERT_NE(table.end(), entry) << "DISPID " << id << " is not in the dispatch table";
        EXPECT_EQ(static_cast<unsigned>(method.params), entry->second)
            << "DISPID " << id << ": the type library has " << method.params
            << " parameters, the table " << entry->second;
    }
    for (const auto& [id, argc] : table)
        EXPECT_TRUE(methods.count(id)) << "DISPID " << id << " (" << argc
                                       << " arguments) is in the table but not in the type library";
}

// What escapes a method reaches the script as one code and text; the bridge
// host answers a page from the same mapping, with the same text.
TEST(DispatchTable, EveryFailureReachesTheScriptWithItsCodeAndText) {
    const struct {
        const char* name;
        std::function<void()> fail;
        HRESULT code;
        const wchar_t* text;
    } rows[] = {
        {"a library's stated failure",
         [] { throw zfw::CallFailure(L"No lines may be added.", E_ACCESSDENIED); }, E_ACCESSDENIED,
         L"No lines may be added."},
        {"stated without a code", [] { throw zfw::CallFailure(L"Cannot write."); }, E_FAIL,
         L"Cannot write."},
        {"out of memory", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY, L"Out of memory."},
        {"a failure with its origin, as the call's text",
         [] { ZFW_THROW_WIN32(zfw::Failure, ERROR_DISK_FULL, "WriteFile"); }, E_FAIL, L"WriteFile"},
        {"other bytes widened one by one", [] { throw std::runtime_error("caf\xe9"); }, E_FAIL,
         L"caf\u00e9"},
        {"not a std::exception", [] { throw 7; }, E_UNEXPECTED, L"Unexpected error."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXCEPINFO info{};
        const HRESULT hr = zfw::ScriptCallBoundary(&info, [&]() -> HRESULT {
            row.fail();
            return S_OK;
        });
        const zfw::Bstr source(info.bstrSource), description(info.bstrDescription);
        EXPECT_EQ(DISP_E_EXCEPTION, hr);
        EXPECT_EQ(row.code, info.scode) << std::hex << info.scode;
        EXPECT_EQ(std::wstring_view(row.text), description.view());
    }
}

}  // namespace
