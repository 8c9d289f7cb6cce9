// What the desktop suites share: the control driven through IDispatch the way
// a page's script engine drives it, and the files MakeShortCut leaves.
#pragma once

#include "common/rig.h"
#include "framework/handle.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <string>
#include <variant>
#include <vector>

namespace rig::desktop {

using Microsoft::WRL::ComPtr;

// One script argument: text, a JScript integer or double, or null.
using Arg = std::variant<const wchar_t*, int, double, std::nullptr_t>;

struct CallResult {
    rig::HResult hr = 0xdeadbeef;
    LONG value = 0x7eadbeef;   // the method's SCODE when hr is S_OK
    std::wstring description;  // the scripting error's text
    HRESULT scode = S_OK;      // and its code
};

// COM for one test on this thread, and the control created by its ProgID.
class Control {
public:
    Control() {
        EXPECT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        CLSID clsid{};
        ::CLSIDFromProgID(L"WEB_CONTROL.WebControlCtrl.1", &clsid);
        const HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_PPV_ARGS(&dispatch_));
        EXPECT_EQ(S_OK, hr) << "creating the control, got 0x" << std::hex << hr;
    }
    ~Control() {
        dispatch_.Reset();
        ::CoUninitialize();
    }

    CallResult Call(const wchar_t* method, const std::vector<Arg>& args) {
        CallResult out;
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR name = const_cast<LPOLESTR>(method);
        if (!dispatch_ || FAILED(out.hr = dispatch_->GetIDsOfNames(IID_NULL, &name, 1, 0, &id)))
            return out;
        std::vector<zfw::Bstr> texts(args.size());
        std::vector<VARIANT> values(args.size());  // last argument first
        for (size_t i = 0; i < args.size(); ++i) {
            VARIANT& v = values[args.size() - 1 - i];
            V_VT(&v) = VT_NULL;
            if (auto text = std::get_if<const wchar_t*>(&args[i])) {
                texts[i] = zfw::Bstr(std::wstring_view(*text));
                V_VT(&v) = VT_BSTR, V_BSTR(&v) = texts[i].get();
            } else if (auto number = std::get_if<int>(&args[i])) {
                V_VT(&v) = VT_I4, V_I4(&v) = *number;
            } else if (auto real = std::get_if<double>(&args[i])) {
                V_VT(&v) = VT_R8, V_R8(&v) = *real;
            }
        }
        DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
        VARIANT result{};
        EXCEPINFO info{};
        out.hr = dispatch_->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &info,
                                   nullptr);
        if (out.hr == S_OK && V_VT(&result) == VT_I4) out.value = V_I4(&result);
        zfw::Bstr description(info.bstrDescription), source(info.bstrSource),
            help(info.bstrHelpFile);
        out.description = description.view();
        out.scode = info.scode;
        return out;
    }

private:
    ComPtr<IDispatch> dispatch_;
};

inline std::string ReadBytes(const std::wstring& path) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    std::string bytes = file ? "" : "<missing>";
    char chunk[4096];
    DWORD got = 0;
    while (file && ::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return bytes;
}

inline bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Zarn.lnk on the prefix user's desktop, which Wine links to the rig's HOME
// under the build folder.
inline std::wstring DesktopShortcut() {
    wchar_t desktop[MAX_PATH] = {};
    EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, desktop, CSIDL_DESKTOP, FALSE));
    return std::wstring(desktop) + L"\\Zarn.lnk";
}

// A new folder ending with a backslash, made this process's (and so the
// control's) temporary folder. Scratch names repeat across runs (Wine reuses
// process IDs), hence the GUID.
inline std::wstring UseFreshTemporaryFolder(std::wstring_view name) {
    GUID guid{};
    wchar_t text[40] = {};
    ::CoCreateGuid(&guid);
    ::StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
    const std::wstring folder = rig::ScratchDir(name) + L"\\" + text + L"\\";
    EXPECT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ::SetEnvironmentVariableW(L"TMP", folder.c_str());
    return folder;
}

}  // namespace rig::desktop
