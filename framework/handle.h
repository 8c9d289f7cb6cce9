// RAII owners for Windows handles and COM allocations.
//
// One move-only owner template, `unique_resource<Traits>`, covers every handle
// kind; each concrete owner below is a one-line alias over a traits struct
// that names the handle type, its invalid value and how to close it.
//   - put() releases what the owner held and returns the address of the raw
//     handle, for Windows out-parameters: a reused owner never leaks.
//   - The destructor keeps the caller's GetLastError() value.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wininet.h>
#include <io.h>

#include <string>
#include <string_view>
#include <utility>

namespace zfw {

template <typename Traits>
class unique_resource {
public:
    using pointer = typename Traits::type;

    unique_resource() noexcept = default;
    explicit unique_resource(pointer value) noexcept : value_(value) {}
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_resource() { reset(); }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    // Close what is held (keeping the thread's last-error value) and take `value`.
    void reset(pointer value = Traits::invalid()) noexcept {
        if (value_ != Traits::invalid()) {
            const DWORD lastError = ::GetLastError();
            Traits::close(value_);
            ::SetLastError(lastError);
        }
        value_ = value;
    }
    [[nodiscard]] pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }
    pointer* put() noexcept {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::invalid();
};

#define ZFW_HANDLE_TRAITS(Name, Type, Invalid, Close)             \
    struct Name {                                                 \
        using type = Type;                                        \
        static type invalid() noexcept { return Invalid; }        \
        static void close(type value) noexcept { Close(value); }  \
    }

namespace traits {
ZFW_HANDLE_TRAITS(handle, HANDLE, nullptr, ::CloseHandle);
ZFW_HANDLE_TRAITS(file, HANDLE, INVALID_HANDLE_VALUE, ::CloseHandle);
ZFW_HANDLE_TRAITS(find, HANDLE, INVALID_HANDLE_VALUE, ::FindClose);
ZFW_HANDLE_TRAITS(hkey, HKEY, nullptr, ::RegCloseKey);
ZFW_HANDLE_TRAITS(heap, HANDLE, nullptr, ::HeapDestroy);
ZFW_HANDLE_TRAITS(hmodule, HMODULE, nullptr, ::FreeLibrary);
ZFW_HANDLE_TRAITS(hinternet, HINTERNET, nullptr, ::InternetCloseHandle);
ZFW_HANDLE_TRAITS(hwnd, HWND, nullptr, ::DestroyWindow);
ZFW_HANDLE_TRAITS(hdc, HDC, nullptr, ::DeleteDC);
ZFW_HANDLE_TRAITS(gdiobj, HGDIOBJ, nullptr, ::DeleteObject);
ZFW_HANDLE_TRAITS(cotaskmem, void*, nullptr, ::CoTaskMemFree);
ZFW_HANDLE_TRAITS(bstr, BSTR, nullptr, ::SysFreeString);
ZFW_HANDLE_TRAITS(localmem, HLOCAL, nullptr, ::LocalFree);
ZFW_HANDLE_TRAITS(crtfile, int, -1, ::_close);
ZFW_HANDLE_TRAITS(mapview, void*, nullptr, ::UnmapViewOfFile);
}  // namespace traits

using unique_handle = unique_resource<traits::handle>;      // process, thread, event
using unique_file = unique_resource<traits::file>;          // CreateFileW
using unique_find = unique_resource<traits::find>;          // FindFirstFileExW
using unique_hkey = unique_resource<traits::hkey>;          // RegOpenKeyExW
using unique_heap = unique_resource<traits::heap>;          // HeapCreate
using unique_hmodule = unique_resource<traits::hmodule>;    // LoadLibraryW
using unique_hinternet = unique_resource<traits::hinternet>;  // InternetOpenW, ...
using unique_hwnd = unique_resource<traits::hwnd>;          // CreateWindowExW
using unique_hdc = unique_resource<traits::hdc>;            // CreateCompatibleDC
using unique_gdiobj = unique_resource<traits::gdiobj>;      // bitmaps, brushes, pens
using unique_cotaskmem = unique_resource<traits::cotaskmem>;  // CoTaskMemAlloc
using unique_localmem = unique_resource<traits::localmem>;  // LocalAlloc
using unique_crtfile = unique_resource<traits::crtfile>;    // _wopen
using unique_mapview = unique_resource<traits::mapview>;    // MapViewOfFile

// An owned BSTR.
class Bstr : public unique_resource<traits::bstr> {
public:
    Bstr() noexcept = default;
    explicit Bstr(BSTR owned) noexcept : unique_resource(owned) {}
    explicit Bstr(std::wstring_view text)
        : unique_resource(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    UINT length() const noexcept { return ::SysStringLen(get()); }
    // The text, empty for a null BSTR (script treats both alike).
    std::wstring_view view() const noexcept {
        return get() ? std::wstring_view(get(), length()) : std::wstring_view();
    }
};

// Runs a callable when the scope ends, unless released.
template <typename F>
class scope_exit {
public:
    explicit scope_exit(F f) : f_(std::move(f)) {}
    scope_exit(const scope_exit&) = delete;
    scope_exit& operator=(const scope_exit&) = delete;
    ~scope_exit() {
        if (armed_) f_();
    }
    void release() noexcept { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

}  // namespace zfw
