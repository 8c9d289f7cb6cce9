// What the module tells about itself: the registered type library read back
// on a Korean system, and the resources (strings, bitmap, dialog, version,
// manifest).
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <map>

#include "common/com_helpers.h"
#include "common/rig.h"
#include "control/identity.h"
#include "framework/handle.h"

using Microsoft::WRL::ComPtr;

namespace {

struct Doc {
    std::wstring name, help, helpFile;
};

Doc Documentation(ITypeLib* lib, INT index) {
    BSTR name = nullptr, help = nullptr, file = nullptr;
    DWORD context = 0;
    EXPECT_EQ(S_OK, lib->GetDocumentation(index, &name, &help, &context, &file));
    Doc d{name ? name : L"", help ? help : L"", file ? file : L""};
    zfw::Bstr n(name), h(help), f(file);
    return d;
}

struct Member {
    DISPID id;
    std::wstring help;
    VARTYPE result;
    std::vector<std::wstring> params;
    std::vector<VARTYPE> types;
};

std::map<std::wstring, Member> Members(ITypeInfo* info) {
    std::map<std::wstring, Member> out;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return out;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* f = nullptr;
        if (FAILED(info->GetFuncDesc(i, &f))) continue;
        BSTR names[16] = {};
        UINT count = 0;
        info->GetNames(f->memid, names, 16, &count);
        BSTR help = nullptr;
        info->GetDocumentation(f->memid, nullptr, &help, nullptr, nullptr);
        Member m{f->memid, help ? help : L"", f->elemdescFunc.tdesc.vt, {}, {}};
        for (UINT p = 1; p < count; ++p) m.params.push_back(names[p]);
        for (SHORT p = 0; p < f->cParams; ++p) m.types.push_back(f->lprgelemdescParam[p].tdesc.vt);
        out[names[0]] = m;
        for (UINT p = 0; p < count; ++p) ::SysFreeString(names[p]);
        ::SysFreeString(help);
        EXPECT_EQ(FUNC_DISPATCH, f->funckind);
        EXPECT_EQ(INVOKE_FUNC, f->invkind);
        info->ReleaseFuncDesc(f);
    }
    info->ReleaseTypeAttr(attr);
    return out;
}

TEST(TypeLibrary, IsRunningOnAKoreanSystem) {
    // The help texts below are stored in the reader's ANSI code page.
    ASSERT_EQ(949u, ::GetACP()) << "run this suite with LC_ALL=ko_KR.UTF-8";
}

TEST(TypeLibrary, LibraryAndInterfacesCarryTheirNamesAndKoreanHelpTexts) {
    rig::ComApartment apartment;
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_Web_ControlLib, 1, 0, 0, &lib));
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    lib->ReleaseTLibAttr(attr);

    const Doc library = Documentation(lib.Get(), -1);
    EXPECT_EQ(L"Web_ControlLib", library.name);
    EXPECT_EQ(L"Zarn ActiveX 컨트롤 모듈", library.help);
    EXPECT_NE(std::wstring::npos, library.helpFile.find(L"Web_Control.hlp"));

    const struct {
        const GUID* guid;
        const wchar_t* name;
        const wchar_t* help;
        TYPEKIND kind;
    } types[] = {
        {&DIID__DWeb_Control, L"_DWeb_Control", L"Zarn 컨트롤의 디스패치 인터페이스", TKIND_DISPATCH},
        {&DIID__DWeb_ControlEvents, L"_DWeb_ControlEvents", L"Zarn 컨트롤의 이벤트 인터페이스",
         TKIND_DISPATCH},
        {&CLSID_Web_Control, L"Web_Control", L"Zarn 컨트롤", TKIND_COCLASS},
    };
    for (const auto& t : types) {
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(*t.guid, &info)) << rig::Utf8(t.name);
        BSTR name = nullptr, help = nullptr;
        ASSERT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, &name, &help, nullptr, nullptr));
        zfw::Bstr n(name), h(help);
        EXPECT_EQ(std::wstring(t.name), std::wstring(n.view()));
        EXPECT_EQ(std::wstring(t.help), std::wstring(h.view()));
        TYPEATTR* ta = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&ta));
        EXPECT_EQ(t.kind, ta->typekind);
        if (t.kind == TKIND_COCLASS) {
            EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FCANCREATE) << std::hex << ta->wTypeFlags;
            EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FCONTROL) << std::hex << ta->wTypeFlags;
            ASSERT_EQ(2, ta->cImplTypes);
            INT flags0 = 0, flags1 = 0;
            info->GetImplTypeFlags(0, &flags0);
            info->GetImplTypeFlags(1, &flags1);
            EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags0);
            EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE, flags1);
        }
        info->ReleaseTypeAttr(ta);
    }
}

TEST(TypeLibrary, MethodsAndEventsHaveTheirIdsParametersAndHelp) {
    rig::ComApartment apartment;
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_Web_ControlLib, 1, 0, 0, &lib));
    ComPtr<ITypeInfo> dispatch, events;
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(DIID__DWeb_Control, &dispatch));
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(DIID__DWeb_ControlEvents, &events));

    using P = std::vector<std::wstring>;
    const std::map<std::wstring, std::pair<DISPID, P>> expected = {
        {L"CheckInstall", {1, {}}},
        {L"DownLoad", {2, {L"strUserID", L"strUserPW", L"strItem"}}},
        {L"AllowPopUp", {3, {L"strTemp"}}},
        {L"MakeShortCut", {4, {L"strTemp", L"strSelect"}}},
        {L"SelectComplete", {5, {L"strPath", L"strSize", L"strMode"}}},
        {L"ShowDlgFile", {6, {}}},
        {L"ShowDlgFolder", {7, {}}},
        {L"UpLoad", {8, {L"strUserID", L"strUserPW", L"strItem"}}},
    };
    const auto methods = Members(dispatch.Get());
    ASSERT_EQ(expected.size(), methods.size());
    for (const auto& [name, want] : expected) {
        const auto it = methods.find(name);
        ASSERT_NE(methods.end(), it) << rig::Utf8(name);
        EXPECT_EQ(want.first, it->second.id) << rig::Utf8(name);
        EXPECT_EQ(want.second, it->second.params) << rig::Utf8(name);
        EXPECT_EQ(L"메서드 " + name, it->second.help);
        for (VARTYPE vt : it->second.types) EXPECT_EQ(VT_BSTR, vt) << rig::Utf8(name);
        const bool returnsNothing = name == L"CheckInstall" || name == L"DownLoad";
        EXPECT_EQ(returnsNothing ? VT_VOID : VT_ERROR, it->second.result) << rig::Utf8(name);
    }

    const auto raised = Members(events.Get());
    ASSERT_EQ(2u, raised.size());
    EXPECT_EQ(1, raised.at(L"InstallCompleteEvent").id);
    EXPECT_EQ(VT_VOID, raised.at(L"InstallCompleteEvent").result);
    EXPECT_EQ(L"메서드 InstallCompleteEvent", raised.at(L"InstallCompleteEvent").help);
    EXPECT_EQ(2, raised.at(L"UpSelectComplete").id);
    EXPECT_EQ(VT_ERROR, raised.at(L"UpSelectComplete").result);
    EXPECT_EQ((P{L"strPath", L"strSize", L"strMode"}), raised.at(L"UpSelectComplete").params);
    EXPECT_EQ(L"메서드 UpSelectComplete", raised.at(L"UpSelectComplete").help);
}

class ModuleResources : public ::testing::Test {
protected:
    void SetUp() override {
        module_.reset(::LoadLibraryExW(rig::ModulePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module_);
    }
    std::wstring String(UINT id) {
        const wchar_t* text = nullptr;
        const int n = ::LoadStringW(module_.get(), id, reinterpret_cast<LPWSTR>(&text), 0);
        return n > 0 ? std::wstring(text, n) : L"<missing>";
    }
    zfw::unique_hmodule module_;
};

TEST_F(ModuleResources, StringsBitmapAndManifest) {
    EXPECT_EQ(L"Zarn 컨트롤", String(1));
    EXPECT_EQ(L"WebControl 속성 페이지", String(2));
    EXPECT_EQ(L"일반", String(200));

    HRSRC bitmap = ::FindResourceW(module_.get(), MAKEINTRESOURCEW(1), RT_BITMAP);
    ASSERT_NE(nullptr, bitmap);
    const auto* info = static_cast<const BITMAPINFOHEADER*>(
        ::LockResource(::LoadResource(module_.get(), bitmap)));
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(16, info->biWidth);
    EXPECT_EQ(15, info->biHeight);
    EXPECT_EQ(4, info->biBitCount);

    HRSRC manifest = ::FindResourceW(module_.get(), MAKEINTRESOURCEW(2), RT_MANIFEST);
    ASSERT_NE(nullptr, manifest);
    const std::string text(static_cast<const char*>(::LockResource(::LoadResource(module_.get(), manifest))),
                           ::SizeofResource(module_.get(), manifest));
    EXPECT_NE(std::string::npos,
              text.find("level=\"requireAdministrator\" uiAccess=\"false\""));

    HRSRC typelib = ::FindResourceW(module_.get(), MAKEINTRESOURCEW(1), L"TYPELIB");
    EXPECT_NE(nullptr, typelib);
}

TEST_F(ModuleResources, PropertyPageTemplateHoldsOneStaticText) {
    HRSRC dialog = ::FindResourceW(module_.get(), MAKEINTRESOURCEW(200), RT_DIALOG);
    ASSERT_NE(nullptr, dialog);
    // DLGTEMPLATEEX header: dlgVer, signature, helpID, exStyle, style, cDlgItems, x, y, cx, cy.
    const auto* words = static_cast<const WORD*>(::LockResource(::LoadResource(module_.get(), dialog)));
    ASSERT_EQ(1, words[0]);
    ASSERT_EQ(0xFFFF, words[1]);
    DWORD style = 0;
    memcpy(&style, words + 6, sizeof(style));
    EXPECT_TRUE(style & WS_CHILD);
    EXPECT_TRUE(style & DS_SETFONT);
    EXPECT_EQ(1, words[8]) << "one control";
    EXPECT_EQ(250, static_cast<SHORT>(words[11]));
    EXPECT_EQ(62, static_cast<SHORT>(words[12]));
}

TEST_F(ModuleResources, VersionIsKorean1006WithTheFileDescription) {
    const std::wstring path = rig::ModulePath();
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(6, 0), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);

    struct Translation {
        WORD language, codePage;
    }* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                                 reinterpret_cast<void**>(&translation), &len));
    EXPECT_EQ(0x0412, translation->language);
    wchar_t* text = nullptr;
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\StringFileInfo\\041203b5\\FileDescription",
                                 reinterpret_cast<void**>(&text), &len));
    EXPECT_STREQ(L"파일전송을 위한 웹컨트롤", text);
    ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\StringFileInfo\\041203b5\\InternalName",
                                 reinterpret_cast<void**>(&text), &len));
    EXPECT_STREQ(L"ZarnCtrl2.ocx", text);
}

}  // namespace
