// A property page shown from a dialog template of this module.
//
// `Derived` derives from `PropertyPage<Derived>` and provides
//   static UINT TemplateId();   // a child dialog template
//   static UINT CaptionId();    // string resource of the tab caption
// The page exchanges no data: it is never dirty and Apply has nothing to do.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <vector>

#include "framework/com.h"
#include "framework/handle.h"

namespace zfw {

namespace property_page {
// Creates the page's dialog from template `id` as a child of `parent`.
HWND CreatePageWindow(UINT templateId, HWND parent) noexcept;
// Size in pixels of the dialog made from template `id`.
SIZE TemplateSize(UINT templateId) noexcept;
// A CoTaskMemAlloc copy of string resource `id`.
LPOLESTR AllocResourceString(UINT id) noexcept;
}  // namespace property_page

template <class Derived>
class PropertyPage : public ComObject<Derived, IPropertyPage> {
public:
    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override {
        site_ = site;
        return S_OK;
    }
    STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL) override {
        window_.reset(property_page::CreatePageWindow(Derived::TemplateId(), parent));
        if (!window_) return E_FAIL;
        if (rect) Move(rect);
        return S_OK;
    }
    STDMETHODIMP Deactivate() override {
        window_.reset();
        return S_OK;
    }
    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override {
        if (!info) return E_POINTER;
        *info = PROPPAGEINFO{};
        info->cb = sizeof(PROPPAGEINFO);
        info->pszTitle = property_page::AllocResourceString(Derived::CaptionId());
        info->size = property_page::TemplateSize(Derived::TemplateId());
        return S_OK;
    }
    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override {
        if (count && !objects) return E_POINTER;
        try {
            objects_.assign(objects, objects + count);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    STDMETHODIMP Show(UINT command) override {
        if (!window_) return E_UNEXPECTED;
        ::ShowWindow(window_.get(), static_cast<int>(command));
        return S_OK;
    }
    STDMETHODIMP Move(LPCRECT rect) override {
        if (!rect) return E_POINTER;
        if (!window_) return E_UNEXPECTED;
        ::MoveWindow(window_.get(), rect->left, rect->top, rect->right - rect->left,
                     rect->bottom - rect->top, TRUE);
        return S_OK;
    }
    STDMETHODIMP IsPageDirty() override { return S_FALSE; }
    STDMETHODIMP Apply() override { return S_OK; }
    STDMETHODIMP Help(LPCOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG* message) override {
        return window_ && message && ::IsDialogMessageW(window_.get(), message) ? S_OK : S_FALSE;
    }

    HWND PageWindow() const noexcept { return window_.get(); }

private:
    Microsoft::WRL::ComPtr<IPropertyPageSite> site_;
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> objects_;
    unique_hwnd window_;
};

}  // namespace zfw
