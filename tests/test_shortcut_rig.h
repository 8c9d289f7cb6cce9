// What the shortcut suites share: the control driven through IDispatch the
// way a page's script engine drives it, and the files MakeShortCut leaves.
#pragma once

#include "common/rig.h"
#include "framework/handle.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <string>
#include <variant>
#include <vector>

namespace shortcut_rig {

using Microsoft::WRL::ComPtr;

// One script argument: text, a JScript integer or double, or null.
using Arg = std::variant<const wchar_t*, int, double, std::nullptr_t>;

struct CallResult {
    HRESULT hr = 0xdeadbeef;
    LONG value = 0x7eadbeef;  // the method's SCODE, when hr is S_OK
    std::wstring description;  // the scripting error's text, when hr is DISP_E_EXCEPTION
};

class Control {
public:
    Control() {
        CLSID clsid{};
        EXPECT_EQ(S_OK, ::CLSIDFromProgID(L"WEB_CONTROL.WebControlCtrl.1", &clsid));
        const HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IDispatch, &dispatch_);
        EXPECT_EQ(S_OK, hr) << "creating the control, got 0x" << std::hex << hr;
    }

    CallResult Call(const wchar_t* method, const std::vector<Arg>& args) {
        CallResult out;
        if (!dispatch_) return out;
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR name = const_cast<LPOLESTR>(method);
        out.hr = dispatch_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(out.hr)) return out;
        // DISPPARAMS lists the arguments last to first.
        std::vector<VARIANT> values(args.size());
        std::vector<zfw::Bstr> texts;
        texts.reserve(args.size());
        for (size_t i = 0; i < args.size(); ++i) {
            VARIANT& v = values[args.size() - 1 - i];
            ::VariantInit(&v);
            if (auto text = std::get_if<const wchar_t*>(&args[i])) {
                texts.emplace_back(std::wstring_view(*text));
                V_VT(&v) = VT_BSTR;
                V_BSTR(&v) = texts.back().get();
            } else if (auto number = std::get_if<int>(&args[i])) {
                V_VT(&v) = VT_I4;
                V_I4(&v) = *number;
            } else if (auto real = std::get_if<double>(&args[i])) {
                V_VT(&v) = VT_R8;
                V_R8(&v) = *real;
            } else {
                V_VT(&v) = VT_NULL;
            }
        }
        DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
        VARIANT result;
        ::VariantInit(&result);
        EXCEPINFO info{};
        UINT argErr = 0;
        out.hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                   &result, &info, &argErr);
        if (out.hr == S_OK && V_VT(&result) == VT_I4) out.value = V_I4(&result);
        zfw::Bstr description(info.bstrDescription), source(info.bstrSource),
            help(info.bstrHelpFile);
        out.description = std::wstring(description.view());
        ::VariantClear(&result);
        return out;
    }

    CallResult MakeShortCut(Arg url, Arg select) { return Call(L"MakeShortCut", {url, select}); }

private:
    ComPtr<IDispatch> dispatch_;
};

inline std::string ReadBytes(const std::wstring& path) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    if (!file) return "<missing>";
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return bytes;
}

inline bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Zarn.lnk on the prefix user's desktop. The rig points HOME under the build
// folder, and Wine links the desktop there, so this never reaches a real desktop.
inline std::wstring DesktopShortcut() {
    wchar_t desktop[MAX_PATH] = {};
    EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, desktop, CSIDL_DESKTOP, FALSE));
    return std::wstring(desktop) + L"\\Zarn.lnk";
}

// A new empty folder under the scratch area, ending with a backslash. The
// scratch folder's name is formed from the process ID, which Wine hands out
// again in the next run, so a GUID below it keeps leftovers out.
inline std::wstring FreshFolder(std::wstring_view name) {
    GUID guid{};
    EXPECT_EQ(S_OK, ::CoCreateGuid(&guid));
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
    const std::wstring folder = rig::ScratchDir(name) + L"\\" + text + L"\\";
    EXPECT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    return folder;
}

// Points this process's temporary folder (and so the control's shortcut
// folder) at `folder`, which must end with a backslash.
inline void SetTemporaryFolder(const std::wstring& folder) {
    ::SetEnvironmentVariableW(L"TMP", folder.c_str());
    ::SetEnvironmentVariableW(L"TEMP", folder.c_str());
    wchar_t seen[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, seen);
    EXPECT_EQ(folder, seen) << "the temporary folder did not follow TMP";
}

// COM on this thread for one test, with the page's apartment model.
class ComScope {
public:
    ComScope() { EXPECT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    ~ComScope() { ::CoUninitialize(); }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
};

}  // namespace shortcut_rig
