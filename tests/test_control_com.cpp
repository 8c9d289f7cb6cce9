// The control driven through COM the way a script engine drives it: created
// by ProgID from the registered module, called through IDispatch, events
// received by sinks on its connection point.
#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>

#include "common/com_helpers.h"
#include "common/rig.h"
#include "control/identity.h"

using Microsoft::WRL::ComPtr;
using rig::CallByName;
using rig::CallResult;
using Journal = std::vector<std::pair<rig::RecordingSink*, rig::RecordingSink::Event>>;

namespace {

class ControlCom : public ::testing::Test {
protected:
    void SetUp() override {
        CLSID clsid{};
        ASSERT_EQ(S_OK, ::CLSIDFromProgID(L"WEB_CONTROL.WebControlCtrl.1", &clsid));
        ASSERT_TRUE(::IsEqualCLSID(clsid, CLSID_Web_Control));
        const HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_PPV_ARGS(&control_));
        ASSERT_EQ(S_OK, hr) << std::hex << "got 0x" << hr;
    }

    DWORD Connect(rig::RecordingSink& sink) {
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(S_OK, control_.As(&container));
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(S_OK, container->FindConnectionPoint(DIID__DWeb_ControlEvents, &point));
        DWORD cookie = 0xdeadbeef;
        EXPECT_EQ(S_OK, point->Advise(static_cast<IDispatch*>(&sink), &cookie));
        return cookie;
    }

    HRESULT Disconnect(DWORD cookie) {
        ComPtr<IConnectionPointContainer> container;
        control_.As(&container);
        ComPtr<IConnectionPoint> point;
        container->FindConnectionPoint(DIID__DWeb_ControlEvents, &point);
        return point->Unadvise(cookie);
    }

    // The sinks outlive the control (members end in reverse order), so the
    // control never holds a sink that has gone.
    rig::ComApartment apartment_;
    Journal journal;
    rig::RecordingSink sink{DIID__DWeb_ControlEvents, &journal};
    rig::RecordingSink second{DIID__DWeb_ControlEvents, &journal};
    rig::RecordingSink failing{DIID__DWeb_ControlEvents, &journal, /*fail=*/true};
    rig::RecordingSink wrongInterface{IID_IPersist, &journal};  // IDispatch, but not the events
    ComPtr<IDispatch> control_;
};

TEST_F(ControlCom, EveryMethodIsFoundByNameWithItsDispatchId) {
    const struct {
        const wchar_t* name;
        DISPID id;
    } methods[] = {{L"CheckInstall", 1}, {L"DownLoad", 2},      {L"AllowPopUp", 3},
                   {L"MakeShortCut", 4}, {L"SelectComplete", 5}, {L"ShowDlgFile", 6},
                   {L"ShowDlgFolder", 7}, {L"UpLoad", 8},       {L"upload", 8}};
    for (const auto& m : methods) {
        DISPID id = 0xdeadbeef;
        LPOLESTR names[1] = {const_cast<LPOLESTR>(m.name)};
        EXPECT_EQ(S_OK, control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))
            << rig::Utf8(m.name);
        EXPECT_EQ(m.id, id) << rig::Utf8(m.name);
    }
    DISPID id = 0xdeadbeef;
    LPOLESTR unknown[1] = {const_cast<LPOLESTR>(L"NoSuchMethod")};
    EXPECT_EQ(DISP_E_UNKNOWNNAME,
              control_->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id));
}

TEST_F(ControlCom, ResultsAreNumbersAndCheckInstallHasNone) {
    CallResult check;
    CallByName(control_.Get(), L"CheckInstall", {}, check);
    EXPECT_EQ(S_OK, check.hr);
    EXPECT_EQ(VT_EMPTY, V_VT(&check.result));

    CallResult select;
    CallByName(control_.Get(), L"SelectComplete", {rig::Str(L"a"), rig::Str(L"b"), rig::Str(L"c")},
               select);
    ASSERT_EQ(S_OK, select.hr);
    ASSERT_EQ(VT_I4, V_VT(&select.result));
    EXPECT_EQ(0, V_I4(&select.result));
}

TEST_F(ControlCom, SelectCompleteEchoesItsStringsToTheSink) {
    Connect(sink);

    CallResult r1, r2;
    CallByName(control_.Get(), L"SelectComplete",
               {rig::Str(L"D:\\Photos\\b.png"), rig::Str(L"10"), rig::Str(L"D:\\Photos")}, r1);
    CallByName(control_.Get(), L"SelectComplete", {rig::Str(L""), rig::Str(L""), rig::Str(L"")},
               r2);
    // A whole character outside the basic plane passes as its pair.
    CallResult r3;
    CallByName(control_.Get(), L"SelectComplete",
               {rig::Str(L"\xD83D\xDE00.png"), rig::Str(L"1"), rig::Str(L"-1")}, r3);
    EXPECT_EQ(S_OK, r1.hr);
    EXPECT_EQ(S_OK, r2.hr);
    EXPECT_EQ(S_OK, r3.hr);
    ASSERT_EQ(3u, journal.size());
    EXPECT_EQ(2, journal[0].second.id);
    EXPECT_EQ((std::vector<std::wstring>{L"D:\\Photos\\b.png", L"10", L"D:\\Photos"}),
              journal[0].second.args);
    EXPECT_EQ((std::vector<std::wstring>{L"", L"", L""}), journal[1].second.args);
    EXPECT_EQ(L"\xD83D\xDE00.png", journal[2].second.args[0]);
}

TEST_F(ControlCom, ScriptValuesAreCoercedToText) {
    Connect(sink);

    VARIANT real;
    ::VariantInit(&real);
    V_VT(&real) = VT_R8;
    V_R8(&real) = 2.5;
    VARIANT empty;
    ::VariantInit(&empty);
    CallResult r;
    CallByName(control_.Get(), L"SelectComplete", {rig::Int(1234), rig::Null(), empty}, r);
    ASSERT_EQ(S_OK, r.hr);
    CallResult r2;
    CallByName(control_.Get(), L"SelectComplete", {real, rig::Int(-1), rig::Str(L"x")}, r2);
    ASSERT_EQ(S_OK, r2.hr);

    // A value passed by reference (a VBScript variable) is read through.
    VARIANT inner = rig::Str(L"by ref");
    VARIANT byRef;
    ::VariantInit(&byRef);
    V_VT(&byRef) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byRef) = &inner;
    CallResult r3;
    CallByName(control_.Get(), L"SelectComplete", {byRef, rig::Str(L"1"), rig::Str(L"2")}, r3);
    ::VariantClear(&inner);
    ASSERT_EQ(S_OK, r3.hr);

    ASSERT_EQ(3u, journal.size());
    EXPECT_EQ((std::vector<std::wstring>{L"1234", L"", L""}), journal[0].second.args);
    EXPECT_EQ(L"2.5", journal[1].second.args[0]);
    EXPECT_EQ(L"-1", journal[1].second.args[1]);
    EXPECT_EQ(L"by ref", journal[2].second.args[0]);
}

TEST_F(ControlCom, BadCallsFailWithDispatchErrorsAndRaiseNothing) {
    Connect(sink);

    CallResult tooFew;
    CallByName(control_.Get(), L"SelectComplete", {rig::Str(L"a")}, tooFew);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, tooFew.hr);

    CallResult tooMany;
    CallByName(control_.Get(), L"CheckInstall", {rig::Str(L"extra")}, tooMany);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, tooMany.hr);

    CallResult omitted;
    CallByName(control_.Get(), L"SelectComplete", {rig::Str(L"a"), rig::Missing(), rig::Str(L"c")},
               omitted);
    EXPECT_EQ(DISP_E_PARAMNOTOPTIONAL, omitted.hr);
    EXPECT_EQ(1u, omitted.argErr) << "the second argument sits at index 1 of the reversed list";

    // An array has no text form.
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_I4, 0, 3);
    VARIANT arrayArg;
    ::VariantInit(&arrayArg);
    V_VT(&arrayArg) = VT_ARRAY | VT_I4;
    V_ARRAY(&arrayArg) = array;
    CallResult mismatch;
    CallByName(control_.Get(), L"SelectComplete", {arrayArg, rig::Str(L"b"), rig::Str(L"c")},
               mismatch);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, mismatch.hr);
    EXPECT_EQ(2u, mismatch.argErr);

    CallResult asProperty;
    CallByName(control_.Get(), L"CheckInstall", {}, asProperty, DISPATCH_PROPERTYGET);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, asProperty.hr);

    VARIANT unused;
    ::VariantInit(&unused);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, control_->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &none,
                                                      &unused, nullptr, nullptr));
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, control_->Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD,
                                                        &none, &unused, nullptr, nullptr));

    VARIANT arg = rig::Str(L"x");
    DISPID named = 0;
    DISPPARAMS namedParams{&arg, &named, 1, 1};
    EXPECT_EQ(DISP_E_NONAMEDARGS, control_->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &namedParams,
                                                   &unused, nullptr, nullptr));
    ::VariantClear(&arg);

    // A text with half of a character, wherever it sits, fails the call as
    // a scripting error and does nothing.
    VARIANT halfInner = rig::Str(L"b\xDC00");
    VARIANT halfByRef;
    ::VariantInit(&halfByRef);
    V_VT(&halfByRef) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&halfByRef) = &halfInner;
    const std::vector<std::vector<VARIANT>> halves = {
        {rig::Str(L"a\xD83D"), rig::Str(L"1"), rig::Str(L"-1")},
        {rig::Str(L"a"), rig::Str(L"1"), rig::Str(L"\xDE00\xD83D")},
        {rig::Str(L"\xD800"), rig::Str(L"1"), rig::Str(L"-1")},
        {halfByRef, rig::Str(L"1"), rig::Str(L"-1")},
    };
    for (const std::vector<VARIANT>& args : halves) {
        CallResult half;
        CallByName(control_.Get(), L"SelectComplete", args, half);
        EXPECT_EQ(DISP_E_EXCEPTION, half.hr);
        EXPECT_EQ(L"A text holds half of a character (an unpaired surrogate); nothing was done.",
                  half.description);
    }
    ::VariantClear(&halfInner);

    EXPECT_TRUE(journal.empty()) << "a refused call must not raise the event";
}

TEST_F(ControlCom, HugeStringsPassThroughWhole) {
    Connect(sink);
    const std::wstring huge(1 << 20, L'\xD55C');  // 1 M characters of Hangul
    CallResult r;
    CallByName(control_.Get(), L"SelectComplete",
               {rig::Str(huge.c_str()), rig::Str(L"1"), rig::Str(L"-1")}, r);
    ASSERT_EQ(S_OK, r.hr);
    ASSERT_EQ(1u, journal.size());
    EXPECT_EQ(huge.size(), journal[0].second.args[0].size());
    EXPECT_TRUE(journal[0].second.args[0] == huge);
}

TEST_F(ControlCom, TwoSinksHearEveryEventInOrderAndAFailingSinkDoesNotStopTheNext) {
    const DWORD c1 = Connect(failing);
    const DWORD c2 = Connect(second);
    EXPECT_EQ(1u, c1);
    EXPECT_EQ(2u, c2);

    CallResult a, b;
    CallByName(control_.Get(), L"SelectComplete", {rig::Str(L"1"), rig::Str(L"1"), rig::Str(L"1")},
               a);
    CallByName(control_.Get(), L"SelectComplete", {rig::Str(L"2"), rig::Str(L"2"), rig::Str(L"2")},
               b);
    EXPECT_EQ(S_OK, a.hr) << "a sink's failure is not the caller's";
    ASSERT_EQ(4u, journal.size());
    EXPECT_EQ(&failing, journal[0].first);
    EXPECT_EQ(&second, journal[1].first);
    EXPECT_EQ(&failing, journal[2].first);
    EXPECT_EQ(&second, journal[3].first);
    EXPECT_EQ(L"1", journal[1].second.args[0]);
    EXPECT_EQ(L"2", journal[2].second.args[0]);

    // After disconnecting, only the other sink hears; bad cookies are refused.
    EXPECT_EQ(S_OK, Disconnect(c1));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, Disconnect(c1));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, Disconnect(0));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, Disconnect(77));
    journal.clear();
    CallResult c;
    CallByName(control_.Get(), L"SelectComplete", {rig::Str(L"3"), rig::Str(L"3"), rig::Str(L"3")},
               c);
    ASSERT_EQ(1u, journal.size());
    EXPECT_EQ(&second, journal[0].first);
    EXPECT_EQ(S_OK, Disconnect(c2));
    EXPECT_EQ(1u, failing.refs()) << "the control must let go of a disconnected sink";
    EXPECT_EQ(1u, second.refs());
}

TEST_F(ControlCom, ConnectionPointRefusesForeignSinksAndInterfaces) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, control_.As(&container));
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, &point));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__DWeb_ControlEvents, &point));
    IID iid{};
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(::IsEqualIID(iid, DIID__DWeb_ControlEvents));

    DWORD cookie = 0xdeadbeef;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(static_cast<IDispatch*>(&wrongInterface), &cookie));
    EXPECT_EQ(0u, cookie);

    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));
    IConnectionPoint* got[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, got, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(point.Get(), got[0]);
    got[0]->Release();
}

TEST_F(ControlCom, ClassInfoNamesTheEventInterfaceAndOnePropertyPage) {
    ComPtr<IProvideClassInfo2> info;
    ASSERT_EQ(S_OK, control_.As(&info));
    GUID guid{};
    ASSERT_EQ(S_OK, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid));
    EXPECT_TRUE(::IsEqualGUID(guid, DIID__DWeb_ControlEvents));
    ComPtr<ITypeInfo> classInfo;
    ASSERT_EQ(S_OK, info->GetClassInfo(&classInfo));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, classInfo->GetTypeAttr(&attr));
    EXPECT_TRUE(::IsEqualGUID(attr->guid, CLSID_Web_Control));
    classInfo->ReleaseTypeAttr(attr);

    ComPtr<ISpecifyPropertyPages> pages;
    ASSERT_EQ(S_OK, control_.As(&pages));
    CAUUID ids{};
    ASSERT_EQ(S_OK, pages->GetPages(&ids));
    ASSERT_EQ(1u, ids.cElems);
    EXPECT_TRUE(::IsEqualCLSID(ids.pElems[0], zarn::CLSID_WebControlPropPage));
    ::CoTaskMemFree(ids.pElems);

    ComPtr<IOleObject> ole;
    ASSERT_EQ(S_OK, control_.As(&ole));
    DWORD status = 0xdeadbeef;
    EXPECT_EQ(S_OK, ole->GetMiscStatus(DVASPECT_CONTENT, &status));
    EXPECT_EQ(0x20191u, status);
}

TEST_F(ControlCom, PersistedStateIsThePropertySetVersionAndLoadsBack) {
    ComPtr<IPersistStreamInit> persist;
    ASSERT_EQ(S_OK, control_.As(&persist));
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    ASSERT_EQ(S_OK, persist->Save(stream.Get(), TRUE));
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    DWORD version = 0;
    ULONG got = 0;
    stream->Read(&version, sizeof(version), &got);
    EXPECT_EQ(0x10000u, version);
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    EXPECT_EQ(S_OK, persist->Load(stream.Get()));

    ComPtr<IStream> empty;
    ASSERT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &empty));
    EXPECT_TRUE(FAILED(persist->Load(empty.Get()))) << "a stream without the version is refused";
}

TEST(ControlLifetime, ReleasingTheLastObjectLetsTheModuleUnload) {
    rig::ComApartment apartment;
    ComPtr<IDispatch> control;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_Web_Control, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(&control)));
    HMODULE module = ::GetModuleHandleW(rig::ModulePath().c_str());
    ASSERT_NE(nullptr, module);
    using CanUnload = HRESULT(WINAPI*)();
    const auto canUnload = reinterpret_cast<CanUnload>(
        reinterpret_cast<void*>(::GetProcAddress(module, "DllCanUnloadNow")));
    ASSERT_NE(nullptr, canUnload);
    EXPECT_EQ(S_FALSE, canUnload());
    control->AddRef();
    EXPECT_EQ(1u, control->Release());
    control.Reset();
    EXPECT_EQ(S_OK, canUnload());
}

TEST(ControlLifetime, ClassFactoryRefusesAggregationAndUnknownClasses) {
    rig::ComApartment apartment;
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(CLSID_Web_Control, CLSCTX_INPROC_SERVER, nullptr,
                                       IID_PPV_ARGS(&factory)));
    ComPtr<IUnknown> outer;
    ::CoCreateInstance(CLSID_Web_Control, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&outer));
    IUnknown* out = reinterpret_cast<IUnknown*>(0xdeadbeef);
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(outer.Get(), IID_IUnknown, reinterpret_cast<void**>(&out)));
    EXPECT_EQ(nullptr, out);

    HMODULE module = ::GetModuleHandleW(rig::ModulePath().c_str());
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    ASSERT_NE(nullptr, get);
    void* none = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, get(IID_IDispatch, IID_IClassFactory, &none));
    EXPECT_EQ(nullptr, none);
}

}  // namespace
