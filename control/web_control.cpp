#include "control/web_control.h"

#include "control/install_folder.h"
#include "control/os_version.h"
#include "framework/handle.h"

namespace {

// Lets this process receive WM_COPYDATA (the transfer programs' answers)
// from processes of lower integrity. The call does not exist before
// Windows 6, so it is looked up at run time.
void AllowCopyDataFromLowerIntegrity() {
    if (!IsVistaOrLater()) return;
    zfw::unique_hmodule user32(::LoadLibraryW(L"USER32.DLL"));
    if (!user32) return;
    using ChangeFilter = BOOL(WINAPI*)(UINT, DWORD);
    const auto change = reinterpret_cast<ChangeFilter>(
        reinterpret_cast<void*>(::GetProcAddress(user32.get(), "ChangeWindowMessageFilter")));
    if (change) change(WM_COPYDATA, 1 /* MSGFLT_ADD */);
}

}  // namespace

CWebControlCtrl::CWebControlCtrl() {
    AllowCopyDataFromLowerIntegrity();
    m_installFolder = ResolveInstallFolder();
}

CWebControlCtrl::~CWebControlCtrl() = default;

const CLSID* CWebControlCtrl::PropertyPages(ULONG* count) {
    static const CLSID pages[] = {CLSID_WebControlPropPage};
    *count = 1;
    return pages;
}

const zfw::DispMethod<CWebControlCtrl>* CWebControlCtrl::DispatchTable() {
    static const zfw::DispMethod<CWebControlCtrl> table[] = {
        ZFW_DISP_METHOD(1, CWebControlCtrl::CheckInstall),
        ZFW_DISP_METHOD(2, CWebControlCtrl::DownLoad),
        ZFW_DISP_METHOD(3, CWebControlCtrl::AllowPopUp),
        ZFW_DISP_METHOD(4, CWebControlCtrl::MakeShortCut),
        ZFW_DISP_METHOD(5, CWebControlCtrl::SelectComplete),
        ZFW_DISP_METHOD(6, CWebControlCtrl::ShowDlgFile),
        ZFW_DISP_METHOD(7, CWebControlCtrl::ShowDlgFolder),
        ZFW_DISP_METHOD(8, CWebControlCtrl::UpLoad),
        {DISPID_UNKNOWN, 0, nullptr},
    };
    return table;
}

void CWebControlCtrl::OnDraw(HDC dc, const RECT& bounds) {
    if (!dc) return;
    ::FillRect(dc, &bounds, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    ::Ellipse(dc, bounds.left, bounds.top, bounds.right, bounds.bottom);
}

namespace {

// Which of the lock's interface families `iid` belongs to; false for an
// interface the control does not offer as safe.
bool SafetyFamily(REFIID iid, SiteLock::Family& family) {
    if (::IsEqualIID(iid, IID_IDispatch) || ::IsEqualIID(iid, DIID__DWeb_Control)) {
        family = SiteLock::Family::Scripting;
        return true;
    }
    if (::IsEqualIID(iid, IID_IPersistStreamInit) || ::IsEqualIID(iid, IID_IPersistPropertyBag) ||
        ::IsEqualIID(iid, IID_IPersist)) {
        family = SiteLock::Family::Persistence;
        return true;
    }
    return false;
}

}  // namespace

STDMETHODIMP CWebControlCtrl::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported,
                                                         DWORD* enabled) {
    if (!supported || !enabled) return E_POINTER;
    *supported = *enabled = 0;
    SiteLock::Family family;
    if (!SafetyFamily(iid, family)) return E_NOINTERFACE;
    m_siteLock.GetOptions(family, supported, enabled);
    return S_OK;
}

STDMETHODIMP CWebControlCtrl::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) {
    SiteLock::Family family;
    if (!SafetyFamily(iid, family)) return E_NOINTERFACE;
    Microsoft::WRL::ComPtr<IOleClientSite> site;
    GetClientSite(&site);
    return m_siteLock.SetOptions(site.Get(), family, mask, enabled);
}

STDMETHODIMP CWebControlCtrl::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                                     UINT* argErr) {
    if (m_siteLock.Engaged()) {
        // The first argument as the method will see it: the lock judges the
        // address or host that MakeShortCut and AllowPopUp would use.
        zfw::Bstr first;
        if (SiteLock::ChecksFirstArgument(id) && params && params->cArgs > 0 &&
            params->cNamedArgs == 0 && params->rgvarg) {
            BSTR text = nullptr;
            if (SUCCEEDED(zfw::CoerceToBstr(params->rgvarg[params->cArgs - 1], lcid, &text)))
                first = zfw::Bstr(text);
        }
        Microsoft::WRL::ComPtr<IOleClientSite> site;
        GetClientSite(&site);
        std::wstring reason;  // says why, for a refused call
        if (!m_siteLock.AdmitCall(site.Get(), id, first.get(), reason))
            return zfw::RaiseScriptException(info, E_ACCESSDENIED, reason);
    }
    return OleControl::Invoke(id, iid, lcid, flags, params, result, info, argErr);
}

void CWebControlCtrl::CheckInstall() {
    // The installation check happens inside DownLoad and UpLoad.
}
