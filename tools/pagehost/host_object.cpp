#include "tools/pagehost/host_object.h"

#include "framework/handle.h"
#include "tools/pagehost/event_sink.h"
#include "tools/pagehost/module_state.h"
#include "tools/pagehost/text.h"

#include <array>
#include <string>
#include <string_view>

namespace pagehost {
namespace {

// Script text of a value the way a page author expects to read it: numbers
// in the invariant locale, booleans as words, undefined and null by name.
std::wstring DisplayText(VARIANT* value) {
    switch (V_VT(value)) {
    case VT_EMPTY: return L"undefined";
    case VT_NULL: return L"null";
    case VT_BOOL: return V_BOOL(value) ? L"true" : L"false";
    case VT_BSTR: return std::wstring(V_BSTR(value) ? V_BSTR(value) : L"", ::SysStringLen(V_BSTR(value)));
    default: break;
    }
    VARIANT text;
    ::VariantInit(&text);
    if (FAILED(::VariantChangeTypeEx(&text, value, LOCALE_INVARIANT, 0, VT_BSTR)))
        return L"[object]";
    zfw::Bstr owned(V_BSTR(&text));
    return std::wstring(owned.view());
}

// Required text argument; a missing or unconvertible one is the caller's error.
HRESULT TextArg(const DISPPARAMS* params, UINT index, std::wstring& out) {
    VARIANT* arg = ArgAt(params, index);
    if (!arg) return DISP_E_BADPARAMCOUNT;
    if (V_VT(arg) == VT_BSTR) {
        out.assign(V_BSTR(arg) ? V_BSTR(arg) : L"", ::SysStringLen(V_BSTR(arg)));
        return S_OK;
    }
    VARIANT text;
    ::VariantInit(&text);
    const HRESULT hr = ::VariantChangeTypeEx(&text, arg, LOCALE_INVARIANT, 0, VT_BSTR);
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    zfw::Bstr owned(V_BSTR(&text));
    out.assign(owned.view());
    return S_OK;
}

HRESULT IntArg(const DISPPARAMS* params, UINT index, LONG& out) {
    VARIANT* arg = ArgAt(params, index);
    if (!arg) return DISP_E_BADPARAMCOUNT;
    VARIANT number;
    ::VariantInit(&number);
    if (FAILED(::VariantChangeTypeEx(&number, arg, LOCALE_INVARIANT, 0, VT_I4)))
        return DISP_E_TYPEMISMATCH;
    out = V_I4(&number);
    return S_OK;
}

HRESULT ObjectArg(const DISPPARAMS* params, UINT index, IDispatch*& out) {
    VARIANT* arg = ArgAt(params, index);
    if (!arg) return DISP_E_BADPARAMCOUNT;
    if (V_VT(arg) != VT_DISPATCH || !V_DISPATCH(arg)) return DISP_E_TYPEMISMATCH;
    out = V_DISPATCH(arg);
    return S_OK;
}

void SetText(VARIANT* result, std::wstring_view text) {
    if (!result) return;
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// Runs the thread's messages for `ms` milliseconds, so windows stay alive
// while the script waits.
void PumpMessages(DWORD ms, const PageContext& context) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end || context.exitRequested) return;
        ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now), QS_ALLINPUT,
                                      MWMO_INPUTAVAILABLE);
    }
}

// A minimal IDispatch over a fixed name table, for the objects below.
struct Member {
    const wchar_t* name;
    DISPID id;
};

template <size_t N>
HRESULT LookUp(const std::array<Member, N>& members, LPOLESTR* names, UINT count, DISPID* ids) {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (i > 0) {  // named arguments are not used by any member
            hr = DISP_E_UNKNOWNNAME;
            continue;
        }
        for (const auto& member : members)
            if (::_wcsicmp(member.name, names[i]) == 0) ids[i] = member.id;
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

// host.args: the command-line arguments after the script, read as
// host.args.length and host.args[i].
class ArgList final : public DispatchBase {
public:
    explicit ArgList(std::shared_ptr<PageContext> context) : context_(std::move(context)) {}

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!names || !ids) return E_POINTER;
        if (count != 1) return DISP_E_UNKNOWNNAME;
        const std::wstring_view name(names[0]);
        if (name == L"length") {
            ids[0] = kLength;
            return S_OK;
        }
        // Index names are the decimal digits of an argument's position.
        if (name.empty() || name.size() > 6 ||
            name.find_first_not_of(L"0123456789") != std::wstring_view::npos) {
            ids[0] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        const size_t index = std::stoul(std::wstring(name));
        if (index >= context_->args.size()) {
            ids[0] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        ids[0] = kFirstIndex + static_cast<DISPID>(index);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
        if (id == kLength) {
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = static_cast<LONG>(context_->args.size());
            }
            return S_OK;
        }
        const auto index = static_cast<size_t>(id - kFirstIndex);
        if (id < kFirstIndex || index >= context_->args.size()) return DISP_E_MEMBERNOTFOUND;
        SetText(result, context_->args[index]);
        return S_OK;
    }

private:
    static constexpr DISPID kLength = 1;
    static constexpr DISPID kFirstIndex = 1000;
    std::shared_ptr<PageContext> context_;
};

enum : DISPID {
    kPrint = 1, kExit, kConnect, kDisconnect, kCreate, kArg, kArgc, kArgs, kEnv, kSleep, kTick,
    kReadFile, kWriteFile,
    // timers and letting go of objects
    kSetTimeout = 100, kClearTimeout, kRelease, kCanUnload, kFreeModule, kModuleThreads,
};

constexpr std::array<Member, 19> kHostMembers{{
    {L"print", kPrint}, {L"exit", kExit}, {L"connect", kConnect}, {L"disconnect", kDisconnect},
    {L"create", kCreate}, {L"arg", kArg}, {L"argc", kArgc}, {L"args", kArgs}, {L"env", kEnv},
    {L"sleep", kSleep}, {L"tick", kTick}, {L"readFile", kReadFile}, {L"writeFile", kWriteFile},
    {L"setTimeout", kSetTimeout}, {L"clearTimeout", kClearTimeout}, {L"release", kRelease},
    {L"canUnload", kCanUnload}, {L"freeModule", kFreeModule}, {L"moduleThreads", kModuleThreads},
}};

class HostObject final : public DispatchBase {
public:
    explicit HostObject(std::shared_ptr<PageContext> context) : context_(std::move(context)) {}

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        return LookUp(kHostMembers, names, count, ids);
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* info, UINT*) override {
        if (context_->exitRequested) return RaiseScriptError(info, kExitRequested, L"host.exit");
        if (result) ::VariantInit(result);
        const bool property = id == kArgc || id == kArgs;
        if (property ? !(flags & DISPATCH_PROPERTYGET) : !(flags & DISPATCH_METHOD))
            return DISP_E_MEMBERNOTFOUND;
        try {
            return Call(id, params, result, info);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

private:
    HRESULT Call(DISPID id, DISPPARAMS* params, VARIANT* result, EXCEPINFO* info) {
        const UINT argc = params ? params->cArgs : 0;
        std::wstring text, other;
        LONG number = 0;
        IDispatch* object = nullptr;
        HRESULT hr = S_OK;

        switch (id) {
        case kPrint: {
            std::wstring line;
            for (UINT i = 0; i < argc; ++i) {
                if (i) line += L' ';
                line += DisplayText(ArgAt(params, i));
            }
            WriteLine(line);
            return S_OK;
        }
        case kExit:
            if (argc > 0 && FAILED(hr = IntArg(params, 0, number))) return hr;
            context_->exitRequested = true;
            context_->exitCode = number;
            return RaiseScriptError(info, kExitRequested, L"host.exit");

        case kConnect: {
            IDispatch* handler = nullptr;
            if (FAILED(hr = ObjectArg(params, 0, object)) || FAILED(hr = TextArg(params, 1, text)) ||
                FAILED(hr = ObjectArg(params, 2, handler)))
                return hr;
            DWORD cookie = 0;
            if (FAILED(hr = ConnectEvent(context_, object, text, handler, cookie, info))) return hr;
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = static_cast<LONG>(cookie);
            }
            return S_OK;
        }
        case kDisconnect:
            if (FAILED(hr = ObjectArg(params, 0, object)) || FAILED(hr = IntArg(params, 1, number)))
                return hr;
            return DisconnectEvent(*context_, object, static_cast<DWORD>(number), info);

        case kCreate: {
            if (FAILED(hr = TextArg(params, 0, text))) return hr;
            CLSID clsid{};
            if (FAILED(hr = ::CLSIDFromProgID(text.c_str(), &clsid)))
                return RaiseScriptError(info, hr, L"host.create: unknown ProgID " + text);
            ComPtr<IDispatch> created;
            hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&created));
            if (FAILED(hr)) return RaiseScriptError(info, hr, L"host.create: cannot create " + text);
            if (result) {
                V_VT(result) = VT_DISPATCH;
                V_DISPATCH(result) = created.Detach();
            }
            return S_OK;
        }
        case kArg:
            if (FAILED(hr = IntArg(params, 0, number))) return hr;
            if (number >= 0 && static_cast<size_t>(number) < context_->args.size())
                SetText(result, context_->args[static_cast<size_t>(number)]);
            return S_OK;  // past the end: undefined, as for an array
        case kArgc:
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = static_cast<LONG>(context_->args.size());
            }
            return S_OK;
        case kArgs:
            if (result) {
                V_VT(result) = VT_DISPATCH;
                V_DISPATCH(result) = MakeCom<ArgList>(context_).Detach();
            }
            return S_OK;

        case kEnv: {
            if (FAILED(hr = TextArg(params, 0, text))) return hr;
            std::wstring value;
            DWORD size = ::GetEnvironmentVariableW(text.c_str(), nullptr, 0);
            while (size > 0) {
                value.resize(size);
                const DWORD got = ::GetEnvironmentVariableW(text.c_str(), value.data(), size);
                if (got < size) {
                    value.resize(got);
                    break;
                }
                size = got;  // it grew in between; ask again with the new size
            }
            if (size == 0) value.clear();
            SetText(result, value);
            return S_OK;
        }
        case kSleep:
            if (FAILED(hr = IntArg(params, 0, number))) return hr;
            PumpMessages(number > 0 ? static_cast<DWORD>(number) : 0, *context_);
            if (context_->exitRequested) return RaiseScriptError(info, kExitRequested, L"host.exit");
            return S_OK;
        case kTick:
            if (result) {
                V_VT(result) = VT_R8;  // a DWORD does not fit a script integer
                V_R8(result) = static_cast<double>(::GetTickCount());
            }
            return S_OK;

        case kReadFile: {
            if (FAILED(hr = TextArg(params, 0, text))) return hr;
            DWORD error = 0;
            if (!ReadUtf8File(text, other, error))
                return RaiseScriptError(info, HRESULT_FROM_WIN32(error),
                                        L"host.readFile: cannot read " + text);
            SetText(result, other);
            return S_OK;
        }
        case kWriteFile: {
            if (FAILED(hr = TextArg(params, 0, text)) || FAILED(hr = TextArg(params, 1, other)))
                return hr;
            DWORD error = 0;
            if (!WriteUtf8File(text, other, error))
                return RaiseScriptError(info, HRESULT_FROM_WIN32(error),
                                        L"host.writeFile: cannot write " + text);
            return S_OK;
        }
        default:
            return CallMore(id, params, result, info);
        }
    }

    HRESULT CallMore(DISPID id, DISPPARAMS* params, VARIANT* result, EXCEPINFO* info) {
        std::wstring text;
        LONG number = 0;
        IDispatch* object = nullptr;
        HRESULT hr = S_OK;
        switch (id) {
        case kSetTimeout: {
            if (FAILED(hr = ObjectArg(params, 0, object)) || FAILED(hr = IntArg(params, 1, number)))
                return hr;
            const UINT timer = context_->timers.Set(ComPtr<IDispatch>(object),
                                                    number > 0 ? static_cast<UINT>(number) : 0);
            if (!timer) return RaiseScriptError(info, E_FAIL, L"host.setTimeout: no timer");
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = static_cast<LONG>(timer);
            }
            return S_OK;
        }
        case kClearTimeout:
            if (FAILED(hr = IntArg(params, 0, number))) return hr;
            context_->timers.Clear(static_cast<UINT>(number));
            return S_OK;
        case kRelease:
            if (FAILED(hr = ObjectArg(params, 0, object))) return hr;
            if (!context_->releaseElement || !context_->releaseElement(object))
                return RaiseScriptError(info, E_INVALIDARG,
                                        L"host.release: not the page's control");
            return S_OK;
        case kCanUnload:
            if (FAILED(hr = TextArg(params, 0, text))) return hr;
            SetText(result, CanUnloadModule(text));
            return S_OK;
        case kFreeModule:
            if (FAILED(hr = TextArg(params, 0, text))) return hr;
            SetText(result, FreeUnusedModule(text));
            return S_OK;
        case kModuleThreads:
            if (FAILED(hr = TextArg(params, 0, text))) return hr;
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = ModuleThreads(text);
            }
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

    std::shared_ptr<PageContext> context_;
};

}  // namespace

ComPtr<IDispatch> MakeHostObject(std::shared_ptr<PageContext> context) {
    return MakeCom<HostObject>(std::move(context));
}

}  // namespace pagehost
