// Helpers for tests that drive COM objects directly: apartment set-up,
// registry reads, dispatch calls by name and an event sink that records.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include "common/expect.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rig {

// Creates the object of class `clsid` from the module file `path` through the
// module's own class factory, not the registration: another build of the
// control beside the registered one. The module stays loaded for the rest of
// the process (its threads may outlive the object).
HRESULT CreateFromModuleFile(const std::wstring& path, REFCLSID clsid, REFIID iid, void** out);

// Initialises COM (apartment-threaded) for the lifetime of the object.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

std::optional<std::wstring> ReadRegString(HKEY root, const std::wstring& path,
                                          const wchar_t* name = nullptr);
bool RegKeyExists(HKEY root, const std::wstring& path);

// Result of a dispatch call made the way a script engine makes it.
struct CallResult {
    HResult hr = 0xdeadbeef;
    VARIANT result{};
    std::wstring description;  // from EXCEPINFO when hr is DISP_E_EXCEPTION
    UINT argErr = 0xdeadbeef;
    CallResult() { ::VariantInit(&result); }
    ~CallResult() { ::VariantClear(&result); }
    CallResult(const CallResult&) = delete;
    CallResult& operator=(const CallResult&) = delete;
};

// Looks `name` up with GetIDsOfNames and invokes it as a method with `args`
// in declaration order (they are passed last first, as scripts do).
void CallByName(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args,
                CallResult& out, WORD flags = DISPATCH_METHOD);

VARIANT Str(const wchar_t* text);  // caller clears (VT_BSTR)
VARIANT Int(int value);
VARIANT Null();
VARIANT Missing();  // VT_ERROR DISP_E_PARAMNOTFOUND, as VBScript passes an omitted argument

// An event sink that records every call (dispatch ID and text arguments).
// With `fail` set its Invoke reports failure after recording.
class RecordingSink : public IDispatch {
public:
    struct Event {
        DISPID id;
        std::vector<std::wstring> args;
    };
    RecordingSink(const IID& eventIid, std::vector<std::pair<RecordingSink*, Event>>* journal,
                  bool fail = false);

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override;

    ULONG refs() const { return refs_; }

private:
    IID eventIid_;
    std::vector<std::pair<RecordingSink*, Event>>* journal_;
    bool fail_;
    ULONG refs_ = 1;
};

}  // namespace rig
