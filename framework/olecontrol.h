// A small OLE control base: what a browser or another container asks of an
// ActiveX control, with the product class supplying only its identity, its
// dispatch table and its drawing.
//
// `Derived` derives from `OleControl<Derived>` and provides:
//   static const CLSID& ClassId();
//   static const IID& DispatchIid();      // its dispatch-only interface
//   static const IID& EventIid();         // its default source interface
//   static DWORD MiscStatus();
//   static const CLSID* PropertyPages(ULONG* count);
//   static const DispMethod<Derived>* DispatchTable();  // ended by DISPID_UNKNOWN
//   void OnDraw(HDC dc, const RECT& bounds);            // dc may be null
//
// Interfaces: IDispatch (also under DispatchIid), IConnectionPointContainer,
// IProvideClassInfo2, IOleObject, IOleInPlaceObject, IOleInPlaceActiveObject,
// IOleControl, IViewObject2, IPersistStreamInit, IPersistPropertyBag,
// ISpecifyPropertyPages, and any `Extra` interfaces, which Derived implements
// itself. In-place activation creates a child window of the site's window
// that paints through OnDraw.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include "framework/com.h"
#include "framework/dispatch.h"
#include "framework/events.h"
#include "framework/handle.h"

namespace zfw {

// Window plumbing shared by every control class (non-template part).
namespace control_window {
// Creates the in-place window; `owner` receives WM_PAINT through `paint`.
HWND Create(HWND parent, const RECT& position, void* owner,
            void (*paint)(void* owner, HDC dc, const RECT& bounds)) noexcept;
// Unregisters the window class; called when the module unloads.
void UnregisterClass() noexcept;
}  // namespace control_window

// Extent of a new control in HIMETRIC units (about 100 by 50 pixels).
inline constexpr SIZEL kDefaultExtent{2646, 1323};
// Stream layout of IPersistStreamInit: property-set version, then the extent.
inline constexpr DWORD kPropertySetVersion = 0x10000;

// The interfaces every control offers, then the control's own (`Extra`).
template <class Derived, class... Extra>
using OleControlInterfaces =
    ComObject<Derived, IDispatch, IConnectionPointContainer, IProvideClassInfo2,
              Via<IProvideClassInfo, IProvideClassInfo2>, IOleObject, IOleInPlaceObject,
              Via<IOleWindow, IOleInPlaceObject>, IOleInPlaceActiveObject, IOleControl,
              IViewObject2, Via<IViewObject, IViewObject2>, IPersistStreamInit,
              Via<IPersist, IPersistStreamInit>, IPersistPropertyBag, ISpecifyPropertyPages,
              Extra...>;

template <class Derived, class... Extra>
class OleControl : public OleControlInterfaces<Derived, Extra...> {
    using Base = OleControlInterfaces<Derived, Extra...>;

public:
    OleControl() noexcept : events_(this, Derived::EventIid()) {}
    ~OleControl() override { Deactivate(); }

    HRESULT FinalConstruct() {
        Microsoft::WRL::ComPtr<ITypeLib> library;
        HRESULT hr = ModuleTypeLib(&library);
        if (SUCCEEDED(hr)) hr = library->GetTypeInfoOfGuid(Derived::DispatchIid(), &dispatchInfo_);
        if (SUCCEEDED(hr)) hr = library->GetTypeInfoOfGuid(Derived::ClassId(), &classInfo_);
        return hr;
    }

    // The dispatch-only interface answers as IDispatch.
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out && ::IsEqualIID(iid, Derived::DispatchIid())) {
            *out = static_cast<IDispatch*>(this);
            this->AddRef();
            return S_OK;
        }
        return Base::QueryInterface(iid, out);
    }

    // The control's window while it is in-place active, else null.
    HWND ControlWindow() const noexcept { return window_.get(); }

    // Raises event `id` with `count` arguments in declaration order.
    void FireEvent(DISPID id, VARIANT* args, UINT count) noexcept { events_.Fire(id, args, count); }

    // ---- IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return dispatchInfo_.CopyTo(out);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                               DISPID* ids) override {
        if (!names || !ids) return E_POINTER;
        return dispatchInfo_->GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* info, UINT* argErr) override {
        if (!::IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        // Methods run modal loops in which the page's timers and events run:
        // the page may let go of the control before the method returns.
        const CallScope call(this->Unknown());
        return InvokeFromTable(static_cast<Derived&>(*this), Derived::DispatchTable(), id, lcid,
                               flags, params, result, info, argErr);
    }

    // ---- IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
        return EnumSingleConnectionPoint(events_, out);
    }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        return FindSingleConnectionPoint(events_, iid, out);
    }

    // ---- IProvideClassInfo2
    STDMETHODIMP GetClassInfo(ITypeInfo** out) override {
        if (!out) return E_POINTER;
        return classInfo_.CopyTo(out);
    }
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override {
        if (!guid) return E_POINTER;
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
        *guid = Derived::EventIid();
        return S_OK;
    }

    // ---- IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) override {
        site_ = site;
        return S_OK;
    }
    STDMETHODIMP GetClientSite(IOleClientSite** out) override {
        if (!out) return E_POINTER;
        return site_.CopyTo(out);
    }
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override {
        Deactivate();
        events_.DisconnectAll();
        adviseHolder_.Reset();
        viewSink_.Reset();
        return S_OK;
    }
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* active, LONG, HWND parent,
                        LPCRECT position) override {
        if (active && !site_) site_ = active;
        switch (verb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_UIACTIVATE:
            return Activate(true, parent, position);
        case OLEIVERB_INPLACEACTIVATE:
            return Activate(false, parent, position);
        case OLEIVERB_HIDE:
            if (window_) ::ShowWindow(window_.get(), SW_HIDE);
            return S_OK;
        case OLEIVERB_PROPERTIES:
            return ShowProperties(parent);
        default:
            return OLEOBJ_S_INVALIDVERB;
        }
    }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** out) override {
        if (out) *out = nullptr;
        return OLEOBJ_E_NOVERBS;
    }
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = Derived::ClassId();
        return S_OK;
    }
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* out) override {
        return ::OleRegGetUserType(Derived::ClassId(), form, out);
    }
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override {
        if (!size) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        extent_ = *size;
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override {
        if (!size) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        *size = extent_;
        return S_OK;
    }
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override {
        if (!adviseHolder_) {
            const HRESULT hr = ::CreateOleAdviseHolder(&adviseHolder_);
            if (FAILED(hr)) return hr;
        }
        return adviseHolder_->Advise(sink, cookie);
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        return adviseHolder_ ? adviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
    }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return adviseHolder_ ? adviseHolder_->EnumAdvise(out) : E_FAIL;
    }
    STDMETHODIMP GetMiscStatus(DWORD, DWORD* status) override {
        if (!status) return E_POINTER;
        *status = Derived::MiscStatus();
        return S_OK;
    }
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // ---- IOleWindow / IOleInPlaceObject
    STDMETHODIMP GetWindow(HWND* out) override {
        if (!out) return E_POINTER;
        *out = window_.get();
        return window_ ? S_OK : E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP InPlaceDeactivate() override {
        Deactivate();
        return S_OK;
    }
    STDMETHODIMP UIDeactivate() override {
        if (uiActive_) {
            uiActive_ = false;
            if (frame_) frame_->SetActiveObject(nullptr, nullptr);
            if (inPlaceSite_) inPlaceSite_->OnUIDeactivate(FALSE);
        }
        return S_OK;
    }
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT) override {
        if (!position) return E_POINTER;
        if (window_)
            ::MoveWindow(window_.get(), position->left, position->top,
                         position->right - position->left, position->bottom - position->top, TRUE);
        return S_OK;
    }
    STDMETHODIMP ReactivateAndUndo() override { return INPLACE_E_NOTUNDOABLE; }

    // ---- IOleInPlaceActiveObject
    STDMETHODIMP TranslateAccelerator(LPMSG) override { return S_FALSE; }
    STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }

    // ---- IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override {
        if (!info) return E_POINTER;
        info->hAccel = nullptr;
        info->cAccel = 0;
        info->dwFlags = 0;
        return S_OK;
    }
    STDMETHODIMP OnMnemonic(LPMSG) override { return S_OK; }
    STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
    STDMETHODIMP FreezeEvents(BOOL) override { return S_OK; }

    // ---- IViewObject2
    STDMETHODIMP Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds,
                      LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override {
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        if (dc && !bounds) return E_INVALIDARG;
        RECT rect{};
        if (bounds) rect = {bounds->left, bounds->top, bounds->right, bounds->bottom};
        static_cast<Derived*>(this)->OnDraw(dc, rect);
        return S_OK;
    }
    STDMETHODIMP GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** out) override {
        if (out) *out = nullptr;
        return S_FALSE;
    }
    STDMETHODIMP Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP Unfreeze(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override {
        viewSink_ = sink;
        viewAspects_ = aspects;
        viewFlags_ = flags;
        return S_OK;
    }
    STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override {
        if (aspects) *aspects = viewAspects_;
        if (flags) *flags = viewFlags_;
        if (sink) viewSink_.CopyTo(sink);
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) override {
        return GetExtent(aspect, size);
    }

    // ---- IPersistStreamInit / IPersist
    STDMETHODIMP GetClassID(CLSID* clsid) override { return GetUserClassID(clsid); }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(IStream* stream) override {
        if (!stream) return E_POINTER;
        DWORD version = 0;
        ULONG got = 0;
        HRESULT hr = stream->Read(&version, sizeof(version), &got);
        if (FAILED(hr) || got != sizeof(version)) return FAILED(hr) ? hr : STG_E_READFAULT;
        SIZEL extent{};
        hr = stream->Read(&extent, sizeof(extent), &got);
        if (SUCCEEDED(hr) && got == sizeof(extent) && extent.cx > 0 && extent.cy > 0)
            extent_ = extent;
        return S_OK;
    }
    STDMETHODIMP Save(IStream* stream, BOOL) override {
        if (!stream) return E_POINTER;
        HRESULT hr = stream->Write(&kPropertySetVersion, sizeof(kPropertySetVersion), nullptr);
        if (SUCCEEDED(hr)) hr = stream->Write(&extent_, sizeof(extent_), nullptr);
        return hr;
    }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override {
        if (!size) return E_POINTER;
        size->QuadPart = sizeof(kPropertySetVersion) + sizeof(extent_);
        return S_OK;
    }
    STDMETHODIMP InitNew() override { return S_OK; }

    // ---- IPersistPropertyBag (the control has no persistent properties)
    STDMETHODIMP Load(IPropertyBag*, IErrorLog*) override { return S_OK; }
    STDMETHODIMP Save(IPropertyBag*, BOOL, BOOL) override { return S_OK; }

    // ---- ISpecifyPropertyPages
    STDMETHODIMP GetPages(CAUUID* pages) override {
        if (!pages) return E_POINTER;
        ULONG count = 0;
        const CLSID* ids = Derived::PropertyPages(&count);
        pages->cElems = 0;
        pages->pElems = static_cast<GUID*>(::CoTaskMemAlloc(sizeof(GUID) * (count ? count : 1)));
        if (!pages->pElems) return E_OUTOFMEMORY;
        for (ULONG i = 0; i < count; ++i) pages->pElems[i] = ids[i];
        pages->cElems = count;
        return S_OK;
    }

private:
    static void PaintThunk(void* owner, HDC dc, const RECT& bounds) {
        static_cast<Derived*>(owner)->OnDraw(dc, bounds);
    }

    HRESULT Activate(bool uiActivate, HWND parentHint, LPCRECT positionHint) {
        if (!site_) return E_UNEXPECTED;
        if (!inPlaceActive_) {
            Microsoft::WRL::ComPtr<IOleInPlaceSite> site;
            HRESULT hr = site_.As(&site);
            if (FAILED(hr)) return hr;
            if (site->CanInPlaceActivate() != S_OK) return E_FAIL;
            hr = site->OnInPlaceActivate();
            if (FAILED(hr)) return hr;
            inPlaceSite_ = site;
            inPlaceActive_ = true;

            HWND parent = parentHint;
            if (FAILED(site->GetWindow(&parent)) || !parent) parent = parentHint;
            RECT position{}, clip{};
            OLEINPLACEFRAMEINFO frameInfo{};
            frameInfo.cb = sizeof(frameInfo);
            Microsoft::WRL::ComPtr<IOleInPlaceUIWindow> document;
            if (FAILED(site->GetWindowContext(&frame_, &document, &position, &clip, &frameInfo)) &&
                positionHint)
                position = *positionHint;
            if (::IsRectEmpty(&position) && positionHint) position = *positionHint;
            window_.reset(control_window::Create(parent, position, static_cast<Derived*>(this),
                                                 &OleControl::PaintThunk));
            if (!window_) {
                Deactivate();
                return E_FAIL;
            }
            ::ShowWindow(window_.get(), SW_SHOWNA);
        }
        if (uiActivate && !uiActive_) {
            uiActive_ = true;
            inPlaceSite_->OnUIActivate();
            if (frame_) frame_->SetActiveObject(static_cast<IOleInPlaceActiveObject*>(this), nullptr);
        }
        return S_OK;
    }

    void Deactivate() noexcept {
        UIDeactivate();
        window_.reset();
        frame_.Reset();
        if (inPlaceActive_) {
            inPlaceActive_ = false;
            if (inPlaceSite_) inPlaceSite_->OnInPlaceDeactivate();
        }
        inPlaceSite_.Reset();
    }

    HRESULT ShowProperties(HWND parent) {
        ULONG count = 0;
        const CLSID* pages = Derived::PropertyPages(&count);
        IUnknown* self = this->Unknown();
        return ::OleCreatePropertyFrame(parent, 0, 0, nullptr, 1, &self, count,
                                        const_cast<CLSID*>(pages), LOCALE_USER_DEFAULT, 0,
                                        nullptr);
    }

    ConnectionPoint events_;
    Microsoft::WRL::ComPtr<ITypeInfo> dispatchInfo_;
    Microsoft::WRL::ComPtr<ITypeInfo> classInfo_;
    Microsoft::WRL::ComPtr<IOleClientSite> site_;
    Microsoft::WRL::ComPtr<IOleInPlaceSite> inPlaceSite_;
    Microsoft::WRL::ComPtr<IOleInPlaceFrame> frame_;
    Microsoft::WRL::ComPtr<IOleAdviseHolder> adviseHolder_;
    Microsoft::WRL::ComPtr<IAdviseSink> viewSink_;
    DWORD viewAspects_ = 0;
    DWORD viewFlags_ = 0;
    unique_hwnd window_;
    SIZEL extent_ = kDefaultExtent;
    bool inPlaceActive_ = false;
    bool uiActive_ = false;
};

}  // namespace zfw
