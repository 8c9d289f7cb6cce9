// Shared by the picker and walk suites: the control created in-process with
// an event recorder connected, a watcher thread that drives a modal dialog
// the way a person would, and the remembered upload folder.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <atomic>
#include <ostream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/dialog_watcher.h"
#include "common/rig.h"
#include "control/identity.h"
#include "framework/handle.h"

namespace rig::selection {

using Microsoft::WRL::ComPtr;

struct Item {
    std::wstring path, size, mode;
    bool operator==(const Item&) const = default;
};

inline void PrintTo(const Item& item, std::ostream* out) {
    *out << "(" << rig::Utf8(item.path) << ", " << rig::Utf8(item.size) << ", "
         << rig::Utf8(item.mode) << ")";
}

inline std::string Describe(const std::vector<Item>& items) {
    std::string out;
    for (const Item& item : items)
        out += "  (" + rig::Utf8(item.path) + ", " + rig::Utf8(item.size) + ", " +
               rig::Utf8(item.mode) + ")\n";
    return out;
}

// A sink of the control's event interface that records UpSelectComplete.
class Recorder final : public IDispatch {
public:
    std::vector<Item> items;
    std::function<void(const Item&)> onItem;  // runs inside the event, like a page handler

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DWeb_ControlEvents) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (id != 2 || params->cArgs != 3) return S_OK;
        auto text = [&](UINT i) {  // arguments arrive last first
            const VARIANT& v = params->rgvarg[2 - i];
            return V_VT(&v) == VT_BSTR && V_BSTR(&v) ? std::wstring(V_BSTR(&v), ::SysStringLen(V_BSTR(&v)))
                                                     : std::wstring(L"<not a string>");
        };
        items.push_back(Item{text(0), text(1), text(2)});
        if (onItem) onItem(items.back());
        return S_OK;
    }

private:
    ULONG refs_ = 1;
};

// The control, created from its registration, with a Recorder connected.
class Control {
public:
    Recorder events;

    Control() {
        HRESULT hr = ::CoCreateInstance(CLSID_Web_Control, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_PPV_ARGS(&dispatch_));
        if (FAILED(hr)) throw std::runtime_error("cannot create the control");
        ComPtr<IConnectionPointContainer> container;
        dispatch_.As(&container);
        container->FindConnectionPoint(DIID__DWeb_ControlEvents, &point_);
        point_->Advise(&events, &cookie_);
    }
    ~Control() {
        if (point_) point_->Unadvise(cookie_);
    }

    struct Result {
        rig::HResult hr = 0xdeadbeef;
        LONG value = 0xdeadbeef;
        std::wstring error;  // description of a script error
    };

    // Calls a method with no arguments, as script would.
    Result Call(const wchar_t* name) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        Result result;
        result.hr = dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(result.hr)) return result;
        DISPPARAMS none{};
        VARIANT value;
        ::VariantInit(&value);
        EXCEPINFO info{};
        result.hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none,
                                      &value, &info, nullptr);
        if (SUCCEEDED(result.hr) && SUCCEEDED(::VariantChangeType(&value, &value, 0, VT_I4)))
            result.value = V_I4(&value);
        ::VariantClear(&value);
        if (info.bstrDescription) result.error = info.bstrDescription;
        ::SysFreeString(info.bstrDescription);
        ::SysFreeString(info.bstrSource);
        ::SysFreeString(info.bstrHelpFile);
        return result;
    }

private:
    ComPtr<IDispatch> dispatch_;
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
};

// ---- the remembered upload folder

inline constexpr wchar_t kKey[] = L"Software\\Zarn";
inline constexpr wchar_t kValue[] = L"sWebControlPath";

inline void SetRemembered(const std::wstring& text) {
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr);
    ::RegSetValueExW(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
}
inline void ForgetRemembered() { ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, kValue); }
// The stored text, or "<absent>".
inline std::wstring Remembered() {
    wchar_t buffer[4096] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    if (::RegGetValueW(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_SZ, nullptr, buffer, &bytes) !=
        ERROR_SUCCESS)
        return L"<absent>";
    return buffer;
}

inline std::wstring Desktop() {
    wchar_t path[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, path, CSIDL_DESKTOP, FALSE);
    return path;
}

// ---- driving a dialog from a watcher thread (the rig's DialogWatcher)

using rig::ClassOf;
using rig::Click;
using rig::Descendants;
using rig::WindowText;

// The first visible dialog window (#32770) of this process (of any process
// when `anyProcess`, for dialogs the page host shows), or null.
inline HWND FindOurDialog(bool anyProcess = false) {
    const DWORD self = ::GetCurrentProcessId();
    for (HWND w = ::FindWindowExW(nullptr, nullptr, L"#32770", nullptr); w;
         w = ::FindWindowExW(nullptr, w, L"#32770", nullptr)) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(w, &pid);
        if ((anyProcess || pid == self) && ::IsWindowVisible(w)) return w;
    }
    return nullptr;
}

// Runs `drive` on the watcher's thread for the first dialog of this process
// (of any process when `anyProcess`) that shows within `limitMs`, once it
// is in its modal loop. The test's thread meanwhile runs the modal dialog.
// If no dialog comes in time, `appeared` stays false.
class Watcher {
public:
    explicit Watcher(std::function<void(HWND)> drive, DWORD limitMs = 20000,
                     bool anyProcess = false)
        : start_(::GetTickCount64()) {
        watcher_
            .On(L"",
                [this, drive = std::move(drive), limitMs](HWND dialog) {
                    if (appeared || ::GetTickCount64() - start_ > limitMs) return;
                    appeared = true;
                    drive(dialog);
                },
                anyProcess ? rig::Owner::AnyProcess : rig::Owner::ThisProcess)
            .Start();
    }
    std::atomic<bool> appeared{false};

private:
    ULONGLONG start_;
    rig::DialogWatcher watcher_{50};
};

// Writes a file of `bytes` bytes (sparse above what is written).
inline void MakeFile(const std::wstring& path, unsigned long long bytes = 0) {
    zfw::unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("cannot create " + rig::Utf8(path));
    if (bytes > 0) {
        DWORD ignored = 0;
        ::DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(bytes);
        ::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN);
        ::SetEndOfFile(file.get());
    }
}

inline void MakeFolder(const std::wstring& path) { ::CreateDirectoryW(path.c_str(), nullptr); }

// A fresh folder at the root of drive C:. Wine's folder browser does not
// reliably select folders deep below Z:\ (the host's root) or folders
// created below a folder that an earlier browser of the process had listed,
// so trees that a browser must open on live here, one level down.
inline std::wstring DriveCScratch(const std::wstring& name) {
    static int counter = 0;
    const std::wstring path = L"C:\\zs-" + name + L"-" + std::to_wstring(::GetCurrentProcessId()) +
                              L"-" + std::to_wstring(counter++) + L"-" +
                              std::to_wstring(::GetTickCount() % 100000);
    MakeFolder(path);
    return path;
}

}  // namespace rig::selection
